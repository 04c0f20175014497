#!/usr/bin/env bash
# ZModem throughput through linesim at 115200 bit/s (8N1, 11520 bytes/s on the line): upload
# and download of a 1 MB random file, ours and lrzsz's in the same run. Efficiency is the file
# size over (seconds x line rate), timed from the sender's start to the receiver's exit.
#
#   bench/zmodem_bench.sh [BUILD_DIR]      (default: build-zmodem beside this folder)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-zmodem}
xfer=$build/tools/chanfold-xfer/chanfold-xfer
linesim=$build/tools/linesim/linesim
for p in "$xfer" "$linesim"; do [ -x "$p" ] || { echo "missing $p: build it first" >&2; exit 1; }; done
command -v sz >/dev/null && command -v rz >/dev/null || { echo "install lrzsz" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size=1048576
head -c $size /dev/urandom > "$work/bench.bin"
line_rate=11520

run() {  # run NAME SENDER RECEIVER
  local name=$1 sender=$2 receiver=$3
  local d=$work/$name
  mkdir -p "$d/src" "$d/dst"
  cp "$work/bench.bin" "$d/src/bench.bin"
  "$linesim" --baud 115200 > "$d/ls.out" 2> "$d/ls.err" &
  local ls_pid=$!
  for _ in $(seq 50); do grep -q '^B ' "$d/ls.out" 2>/dev/null && break; sleep 0.1; done
  local a b
  a=$(awk '/^A /{print $2}' "$d/ls.out")
  b=$(awk '/^B /{print $2}' "$d/ls.out")
  if [ "$receiver" = ours ]; then
    "$xfer" receive --port "$b" --protocol zmodem --dir "$d/dst" -q 2> "$d/rx.log" &
  else
    (cd "$d/dst" && exec rz -b -y < "$b" > "$b" 2> "$d/rx.log") &
  fi
  local rx_pid=$!
  sleep 0.3
  local t0 t1
  t0=$(date +%s.%N)
  if [ "$sender" = ours ]; then
    "$xfer" send --port "$a" --protocol zmodem --dir "$d/src" -q bench.bin 2> "$d/tx.log" &
  else
    (cd "$d/src" && exec sz -b bench.bin < "$a" > "$a" 2> "$d/tx.log") &
  fi
  local tx_pid=$!
  wait $rx_pid || true
  t1=$(date +%s.%N)
  sleep 1
  kill $tx_pid 2>/dev/null || true
  wait $tx_pid 2>/dev/null || true
  kill $ls_pid 2>/dev/null || true
  wait $ls_pid 2>/dev/null || true
  local ok=DIFFERENT
  cmp -s "$work/bench.bin" "$d/dst/bench.bin" && ok=identical
  awk -v n="$name" -v s="$size" -v a="$t0" -v b="$t1" -v r=$line_rate -v ok=$ok \
    'BEGIN { t = b - a; printf "%-22s %7.2f s  %8.0f bytes/s  efficiency %.3f  %s\n", n, t, s / t, s / (t * r), ok }'
}

echo "1 MB through linesim at 115200 bit/s (line rate $line_rate bytes/s)"
run "upload ours->rz" ours lrzsz
run "upload sz->rz (lrzsz)" lrzsz lrzsz
run "download sz->ours" lrzsz ours
run "ours->ours" ours ours
