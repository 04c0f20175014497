#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Safe to run again: with everything present it only checks.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ python3 pkg-config
  libgtest-dev libgmock-dev googletest libcli11-dev
  lrzsz ckermit gkermit socat
  g++-mingw-w64-x86-64 mingw-w64-tools wine64 xvfb
  clang-format cppcheck locales
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them as root (apt-get install ${missing[*]}) or run this script as root." >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 update -qq
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
