#!/usr/bin/env bash
# Sets a fresh Debian 12 machine up for Veltrace, builds it, and then either starts the app
# against the simulated ECU ("run": the programs only) or builds everything and runs the whole
# test suite ("test"). Run it as root or as a user who may use sudo.
set -euo pipefail

job=${1:-}
case "$job" in
  run|test) ;;
  *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

packages=(g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev
          qt6-base-dev qt6-charts-dev libqt6opengl6-dev fonts-dejavu-core)
# The tests also install the programs, build the Debian package (dpkg-shlibdeps, file), check
# the desktop entry, the AppStream metainfo and the bash completion, and run the app on an X
# display of their own, drive it by keyboard and take a screenshot.
[ "$job" = test ] && packages+=(srecord xvfb xauth xdotool imagemagick
                                dpkg-dev file desktop-file-utils appstream bash-completion)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "$0: these packages are missing: ${missing[*]}" >&2
      echo "$0: installing them needs root and there is no sudo here: run this as root" >&2
      exit 1
    fi
    sudo="sudo"
  fi
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "$job" = test ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRACE_TESTS=ON -DVELTRACE_BENCHMARKS=ON >/dev/null
  ninja -C build -j"$(nproc)"
  cd build
  exec ctest --output-on-failure -j"$(nproc)" --timeout 240
fi

# The run job: the programs only, a simulated ECU on the tool's default address, and the app.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "$0: there is no display to show the app on (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "$0: run this in a desktop session, or over ssh -X." >&2
  exit 1
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRACE_TESTS=OFF -DVELTRACE_BENCHMARKS=OFF >/dev/null
ninja -C build -j"$(nproc)"
sim=build/tools/ecusim/veltrace-ecusim
app=build/src/ui/veltrace
address=127.0.0.1
port=32000
if (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null; then
  echo "$0: another program already listens on $address:$port, where the simulated ECU would run." >&2
  echo "$0: stop it (it may be a simulator left running: ss -ltnp 'sport = :$port' names it), then run this again." >&2
  exit 1
fi
# The practice ECU keeps its firmware and stored settings between runs, beside the backups.
state_dir="${XDG_DATA_HOME:-$HOME/.local/share}/Harnwick/Veltrace"
mkdir -p "$state_dir"
"$sim" --listen "$address:$port" --state "$state_dir/practice-ecu.state" &
simpid=$!
trap 'kill $simpid 2>/dev/null; wait $simpid 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null && break
  if ! kill -0 "$simpid" 2>/dev/null; then
    echo "$0: the simulated ECU did not start on $address:$port (see its message above)." >&2
    exit 1
  fi
  sleep 0.1
done
echo "The simulated ECU listens on $address:$port (its state: $state_dir/practice-ecu.state)."
echo "Starting veltrace; the simulator stops when you close it."
echo "The programs are in $top/build: src/ui/veltrace, src/cli/veltrace-cli, tools/ecusim/veltrace-ecusim."
echo "At the first start choose Network, host $address, port $port in the Settings dialog (README.md)."
"$app"
