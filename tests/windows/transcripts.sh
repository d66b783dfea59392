#!/usr/bin/env bash
# The Windows programs under Wine against the Linux ones: for every row of the table, the same
# command is run by the Linux CLI against the Linux simulator, and by veltrace-cli.exe against
# it, each against a fresh simulator, over TCP and over a serial line (a COM port of the Wine
# prefix linked to the simulator's pseudo-terminal); over TCP also by both CLIs against
# veltrace-ecusim.exe. The simulator's transcripts must be equal byte for byte once the times,
# the peer's address and the chunking of the bytes are left out.
#   tests/windows/transcripts.sh LINUX_BUILD WINDOWS_BUILD
# WINEPREFIX names the prefix (made on first use); prints "N passed, N failed".
set -uo pipefail
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
wine=${VELTRACE_WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=-all
sim=$linux/tools/ecusim/veltrace-ecusim
sim_windows=$windows/tools/ecusim/veltrace-ecusim.exe
cli_linux=$linux/src/cli/veltrace-cli
cli_windows=$windows/src/cli/veltrace-cli.exe
work=$(mktemp -d)
trap 'rm -rf "$work"; rm -f "$WINEPREFIX/dosdevices/com7" "$WINEPREFIX/dosdevices/com5"' EXIT
: "${WINEPREFIX:=$work/prefix}"
export WINEPREFIX
$wine cmd /c exit >/dev/null 2>&1 || true  # makes the prefix once

"$sim" make-firmware --version 1.0.23 --size 131072 -o "$work/firmware.hex" >/dev/null

# name | command (the firmware file as FIRMWARE)
table=(
  "info|info"
  "settings|settings"
  "set-store|set config11 17 --store"
  "flash|flash FIRMWARE --yes"
)

# The transcript without what may differ between two runs of the same exchange: the time of each
# line, the peer's address, and how the bytes were cut into chunks and interleaved with the other
# direction's. What is left: the bytes received, in order and by mode, the bytes sent likewise,
# and the events in order.
normalise() {
  local kind
  for kind in rx tx rx-lost tx-lost; do
    awk -v kind="$kind" '$3 == kind {
        if ($2 == mode) { hex = hex $4; next }
        if (mode != "") print kind " " mode " " hex
        mode = $2; hex = $4 }
      END { if (mode != "") print kind " " mode " " hex }' "$1"
  done
  awk '$3 == "ev" { if ($4 == "connect") print $2 " ev connect"; else { $1 = ""; print substr($0, 2) } }' "$1"
}

# run LINK SIM CLI... : one command against a fresh simulator (SIM linux or windows, the latter
# over TCP only); the normalised transcript on stdout.
run() {
  local link=$1 simulator=$2 row=$3
  shift 3
  local log="$work/$row.log" out="$work/sim.out" args
  read -r -a args <<<"${row_command//FIRMWARE/$work/firmware.hex}"
  rm -f "$out"
  if [ "$simulator" = windows ]; then
    "$wine" "$sim_windows" --listen 127.0.0.1:0 --log "$log" >"$out" 2>/dev/null &
  elif [ "$link" = tcp ]; then
    "$sim" --listen 127.0.0.1:0 --log "$log" >"$out" 2>/dev/null &
  else
    "$sim" --pty --log "$log" >"$out" 2>/dev/null &
  fi
  local pid=$!
  for _ in $(seq 200); do [ -n "$(awk '/^listening/{print $NF}' "$out" 2>/dev/null)" ] && break; sleep 0.05; done
  local where
  if [ "$link" = tcp ]; then
    where=(--network "127.0.0.1:$(awk '/listening tcp/{print $4}' "$out")")
  else
    local pty
    pty=$(awk '/listening pty/{print $3}' "$out")
    ln -sfn "$pty" "$WINEPREFIX/dosdevices/com7"
    if [ "$1" = "$cli_linux" ]; then where=(--serial "$pty"); else where=(--serial COM7); fi
  fi
  XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" "$@" "${where[@]}" "${args[@]}" \
    >"$work/stdout" 2>"$work/stderr" </dev/null
  local status=$?
  # Wine hands SIGINT to the Windows simulator as Ctrl-C, which stops it as on Linux.
  if [ "$simulator" = windows ]; then kill -INT "$pid" 2>/dev/null; else kill "$pid" 2>/dev/null; fi
  wait "$pid" 2>/dev/null
  echo "status $status"
  # The backups are named by the time, in the user's folder of each system.
  sed -E 's#[^ ]*Harnwick.Veltrace.backups[/\\]settings-[0-9_-]+#BACKUP#' "$work/stdout"
  normalise "$log"
}

passed=0
failed=0
# compare WHAT: the run in windows.txt against the Linux pair's in linux.txt.
compare() {
  # Standard output names the backup's own folder on each system; the bytes on the line do not.
  if head -n1 "$work/linux.txt" | grep -q 'status 0' && cmp -s "$work/linux.txt" "$work/windows.txt"; then
    passed=$((passed + 1))
    echo "ok      $1 ($((SECONDS - start)) s, $(wc -l <"$work/linux.txt") lines)"
  else
    failed=$((failed + 1))
    echo "FAILED  $1"
    diff "$work/linux.txt" "$work/windows.txt" | head -n 20
    head -n 5 "$work/stderr"
  fi
}
for link in tcp serial; do
  for entry in "${table[@]}"; do
    name=${entry%%|*}
    row_command=${entry#*|}
    start=$SECONDS
    run "$link" linux "$name" "$cli_linux" >"$work/linux.txt"
    run "$link" linux "$name" "$wine" "$cli_windows" >"$work/windows.txt"
    compare "$link $name"
    [ "$link" = tcp ] || continue
    start=$SECONDS
    run tcp windows "$name" "$cli_linux" >"$work/windows.txt"
    compare "tcp $name, simulator.exe"
    start=$SECONDS
    run tcp windows "$name" "$wine" "$cli_windows" >"$work/windows.txt"
    compare "tcp $name, simulator.exe and cli.exe"
  done
done
# The port list looks without opening. COM5, linked in the prefix to the simulator's
# pseudo-terminal, is there, in the default list (COM1..COM8) and in VELTRACE_SERIAL_PORTS, in
# the Linux CLI's words for a device that is there (which program holds a port is seen on Linux
# only); COM6, linked nowhere, does not exist; two names joined by a semicolon name no port.
start=$SECONDS
"$sim" --pty >"$work/sim.out" 2>/dev/null &
pid=$!
for _ in $(seq 100); do [ -n "$(awk '/^listening/{print $NF}' "$work/sim.out")" ] && break; sleep 0.05; done
pty=$(awk '/listening pty/{print $3}' "$work/sim.out")
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com5"
rm -f "$WINEPREFIX/dosdevices/com6"
there="looks usable (not opened)"
{
  echo "COM5	$there"
  echo "COM6	COM6 does not exist (File not found)"
  echo "COM5	$there"
  echo "COM5;COM6	COM5;COM6 is no serial port name (COM1, COM2, ...); the entries of VELTRACE_SERIAL_PORTS are separated by colons"
} >"$work/linux.txt"
{
  env -u VELTRACE_SERIAL_PORTS "$wine" "$cli_windows" ports | awk -F'\t' '$2 == "COM5" || $2 == "COM6" {print $2 "\t" $3}'
  VELTRACE_SERIAL_PORTS=COM5 "$wine" "$cli_windows" ports | awk -F'\t' '$1 == 1 {print $2 "\t" $3}'
  VELTRACE_SERIAL_PORTS='COM5;COM6' "$wine" "$cli_windows" ports | awk -F'\t' '$1 == 1 {print $2 "\t" $3}'
} >"$work/windows.txt"
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
if cmp -s "$work/linux.txt" "$work/windows.txt"; then
  passed=$((passed + 1))
  echo "ok      ports: COM5 linked to a pseudo-terminal ($((SECONDS - start)) s)"
else
  failed=$((failed + 1))
  echo "FAILED  ports: COM5 linked to a pseudo-terminal"
  diff "$work/linux.txt" "$work/windows.txt"
fi

echo "transcripts: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
