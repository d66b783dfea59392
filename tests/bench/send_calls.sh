#!/usr/bin/env bash
# Counts the send calls of one firmware update (131072 bytes, 512 blocks) that veltrace-cli
# makes against the simulated ECU: sendto over loopback TCP, and write to the port over a
# pseudo-terminal. Only the tool is traced; the simulator runs on its own. Run by hand:
#   tests/bench/send_calls.sh [BUILD_DIR]      (default: build; needs strace)
set -euo pipefail
build=${1:-build}
sim=$build/tools/ecusim/veltrace-ecusim
cli=$build/src/cli/veltrace-cli
blocks=512
work=$(mktemp -d)
simpid=
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null && wait "$simpid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_DATA_HOME=$work/data   # the settings backups go here, not into the user's folder

"$sim" make-firmware --version 1.0.22 --size 131072 -o "$work/fw.hex" >/dev/null

# Starts the simulator with the given link options and waits for its "listening" line.
start_sim() {
  "$sim" "$@" --erase-ms 0 >"$work/listening" 2>/dev/null &
  simpid=$!
  for _ in $(seq 100); do
    [ -s "$work/listening" ] && return
    sleep 0.05
  done
  echo "the simulator did not start" >&2
  exit 1
}
stop_sim() {
  kill "$simpid"
  wait "$simpid" 2>/dev/null || true
  simpid=
}

start_sim --listen 127.0.0.1:0
port=$(awk '{print $4}' "$work/listening")
strace -f -o "$work/tcp.trace" -e trace=sendto \
  "$cli" --network "127.0.0.1:$port" flash "$work/fw.hex" --yes >/dev/null 2>&1
stop_sim
calls=$(grep -c 'sendto(' "$work/tcp.trace" || true)
echo "tcp: $calls sendto calls, $(awk -v c="$calls" -v b=$blocks 'BEGIN {printf "%.1f", c / b}') per block"

start_sim --pty
tty=$(awk '{print $3}' "$work/listening")
strace -f -o "$work/pty.trace" -e trace=openat,write \
  "$cli" --serial "$tty" --baud 115200 flash "$work/fw.hex" --yes >/dev/null 2>&1
stop_sim
# The writes on the descriptors the port was opened as.
calls=$(awk -v tty="$tty" '
  /openat\(/ && index($0, "\"" tty "\"") { split($0, r, "= "); fds[r[2] + 0] = 1 }
  /write\(/ { split($0, w, "[(,]"); if ((w[2] + 0) in fds) n++ }
  END { print n + 0 }' "$work/pty.trace")
echo "pty: $calls writes to the port, $(awk -v c="$calls" -v b=$blocks 'BEGIN {printf "%.1f", c / b}') per block"
