#!/usr/bin/env bash
# The whole update through a paced null-modem: trasmod-sim on one end of linesim, quarn-updater
# on the other, both at 57600 bit/s 8N1. Measures the wall time of each upload, from the
# transfer's start (" Initialization transfer ...") to its end (" Uploading end."), against
# the line time of the bytes that upload puts on the wire (every block is 1029 bytes: 10 bits
# a byte). Goal: within 1.05 of the line time.
#
# Usage: bench/update_bench.sh [build-dir]     (builds quarn-updater, trasmod-sim and linesim)
# On demand only: it takes about six minutes.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
BAUD=57600

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --parallel 2 --target quarn-updater trasmod-sim linesim >/dev/null

WORK="$(mktemp -d "${TMPDIR:-/tmp}/update-bench.XXXXXX")"
LINESIM_PID="" DEVICE_PID="" UPDATER_PID="" STAMP_PID=""
cleanup() {
  { exec 3>&-; } 2>/dev/null || true
  for pid in $UPDATER_PID $STAMP_PID $DEVICE_PID $LINESIM_PID; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT

"$BUILD/tools/linesim/linesim" --baud "$BAUD" >"$WORK/linesim.out" 2>"$WORK/linesim.err" &
LINESIM_PID=$!
for _ in $(seq 50); do
  [ "$(grep -c '^[AB] ' "$WORK/linesim.out" || true)" -ge 2 ] && break
  sleep 0.1
done
A="$(sed -n 's/^A //p' "$WORK/linesim.out")"
B="$(sed -n 's/^B //p' "$WORK/linesim.out")"
[ -n "$A" ] && [ -n "$B" ] || { cat "$WORK/linesim.err" >&2; exit 1; }

"$BUILD/tools/trasmod-sim/trasmod-sim" --port "$A" --baud "$BAUD" --hardware 6.5 \
  --new-hardware 7.0 --firmware 7.10 --save-dir "$WORK" >/dev/null 2>"$WORK/device.err" &
DEVICE_PID=$!
sleep 0.5  # the device opens its end at once; it prints nothing when it is ready

mkfifo "$WORK/commands" "$WORK/output"
# Every output line with the time it was read, in seconds since the epoch.
while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N)" "$line"; done \
  <"$WORK/output" >"$WORK/log" &
STAMP_PID=$!
CHANFOLD_COM_DEFAULTS=0 CHANFOLD_COM1="$B" "$BUILD/updater/console/quarn-updater" \
  <"$WORK/commands" >"$WORK/output" 2>"$WORK/updater.err" &
UPDATER_PID=$!
exec 3>"$WORK/commands"

wait_for() {  # pattern, limit in seconds
  local start=$SECONDS
  until grep -qF -- "$1" "$WORK/log"; do
    (( SECONDS - start < $2 )) || { echo "timed out waiting for: $1" >&2; tail "$WORK/log" >&2; exit 1; }
    sleep 0.2
  done
}
wait_for "@ frmMain visible=1" 60
echo update >&3
wait_for " End." 900
echo close >&3
exec 3>&-
wait "$UPDATER_PID" 2>/dev/null || true
wait "$STAMP_PID" 2>/dev/null || true
UPDATER_PID="" STAMP_PID=""

cmp -s "$WORK/bitstream-1.bin" "$ROOT/updater/images/bitstream.bin"
cmp -s "$WORK/firmware-1.bin" "$ROOT/updater/images/firmware.bin"

# Times of the n-th line equal to `text`.
at() { grep -F -- " $1" "$WORK/log" | awk -v t="$1" -v n="$2" \
  '{ s = substr($0, index($0, " ") + 1); if (s == t && ++k == n) { print $1; exit } }'; }
report() {  # name, size, n
  local start end blocks wire_s wall_s
  start=$(at " Initialization transfer ..." "$3")
  end=$(at " Uploading end." "$3")
  blocks=$(( ($2 + 1023) / 1024 ))
  wire_s=$(awk -v b="$blocks" -v baud="$BAUD" 'BEGIN { printf "%.2f", b * 1029 * 10 / baud }')
  wall_s=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
  awk -v n="$1" -v s="$2" -v bl="$blocks" -v w="$wall_s" -v l="$wire_s" \
    'BEGIN { printf "%-10s %8d bytes %5d blocks  wall %7.2f s  line %7.2f s  ratio %.3f\n", n, s, bl, w, l, w / l }'
}
echo "upload phases at $BAUD bit/s through linesim (images received byte for byte):"
report bitstream "$(stat -c %s "$ROOT/updater/images/bitstream.bin")" 1
report firmware "$(stat -c %s "$ROOT/updater/images/firmware.bin")" 2
