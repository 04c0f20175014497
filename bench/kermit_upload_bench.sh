#!/bin/bash
# Kermit upload benchmark: one random file through linesim at a real line rate, sent by
# chanfold-xfer, by C-Kermit and by G-Kermit in the same run, all with 94-byte packets and no
# sliding windows: chanfold-xfer (its MAXL is 94) and C-Kermit ("send packet-length 94",
# "window 1") send to G-Kermit's receiver; G-Kermit, which takes its packet length from the
# receiver, sends to C-Kermit's receiver set to "receive packet-length 94" and "window 1".
# (G-Kermit's receiver with -e 94 stalled a G-Kermit sender here, and C-Kermit to C-Kermit on
# these ptys failed, so each sender gets the receiver it works with.) Prints the
# time and the efficiency against the line rate (file bits / (seconds * baud), 10 bits per byte).
#
#   bench/kermit_upload_bench.sh [BUILD_DIR] [SIZE_BYTES] [BAUD]
set -u
build=${1:-$(dirname "$0")/../build-kermit}
size=${2:-1048576}
baud=${3:-57600}
xfer=$build/tools/chanfold-xfer/chanfold-xfer
linesim=$build/tools/linesim/linesim
for p in "$xfer" "$linesim"; do [ -x "$p" ] || { echo "missing $p (build it first)"; exit 2; }; done
for p in kermit gkermit; do command -v $p >/dev/null || { echo "missing $p (apt-get install ${p/kermit/ckermit})"; exit 2; }; done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src"
head -c "$size" /dev/urandom > "$work/src/data.bin"

run() {  # name, then the sender's command as a function of $A
  local name=$1
  rm -rf "$work/dst"; mkdir -p "$work/dst"
  "$linesim" --baud "$baud" --quiet --paths-file "$work/paths" > /dev/null 2>&1 &
  local ls_pid=$!
  for _ in $(seq 50); do [ -s "$work/paths" ] && break; sleep 0.1; done
  local A B
  A=$(awk '$1=="A"{print $2}' "$work/paths"); B=$(awk '$1=="B"{print $2}' "$work/paths")
  printf 'set carrier-watch off\nset line %s\nset speed %s\nset flow none\nset parity none\nset file names literal\nset transfer mode manual\nset file type binary\nset file collision overwrite\nset receive packet-length 94\nset window 1\nreceive\nexit\n' "$B" "$baud" > "$work/r.ksc"
  if [ "$name" = g-kermit ]; then
    (cd "$work/dst" && exec kermit "$work/r.ksc" -Y -B > /dev/null 2>&1) &
  else
    (cd "$work/dst" && exec gkermit -r -P -i < "$B" > "$B" 2>/dev/null) &
  fi
  local rx_pid=$!
  sleep 0.3
  local t0 t1
  t0=$(date +%s.%N)
  case $name in
    chanfold)
      "$xfer" send --port "$A" --baud "$baud" --protocol kermit --dir "$work/src" -q data.bin ;;
    c-kermit)
      printf 'set carrier-watch off\nset line %s\nset speed %s\nset flow none\nset parity none\nset file names literal\nset transfer mode manual\nset file type binary\nset send packet-length 94\nset window 1\nsend data.bin\nexit\n' "$A" "$baud" > "$work/s.ksc"
      (cd "$work/src" && kermit "$work/s.ksc" -Y -B > /dev/null 2>&1) ;;
    g-kermit)
      (cd "$work/src" && gkermit -s data.bin -P -i < "$A" > "$A" 2>/dev/null) ;;
  esac
  local rc=$?
  t1=$(date +%s.%N)
  wait $rx_pid 2>/dev/null
  kill $ls_pid 2>/dev/null; wait $ls_pid 2>/dev/null
  rm -f "$work/paths"
  local same=no
  cmp -s "$work/src/data.bin" "$work/dst/data.bin" && same=yes
  awk -v n="$name" -v s="$size" -v a="$t0" -v b="$t1" -v baud="$baud" -v rc="$rc" -v same="$same" \
    'BEGIN { t = b - a; printf "%-9s %9d bytes %8.1f s %8.0f B/s  efficiency %5.1f %%  exit %d  identical %s\n", n, s, t, s / t, 100 * s * 10 / (t * baud), rc, same }'
}

echo "Kermit upload, $size random bytes, $baud bit/s, 94-byte packets, no windows"
run chanfold
run c-kermit
run g-kermit
