#!/usr/bin/env bash
# Sets a fresh Debian 12 machine up for Veltrace, builds it, and then either runs the tool
# against the simulated ECU ("run") or runs the whole test suite ("test").
# Run it as root or as a user who may use sudo.
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
[ "$job" = test ] && packages+=(srecord xvfb xauth xdotool)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"$(nproc)"

if [ "$job" = test ]; then
  cd build
  exec ctest --output-on-failure -j"$(nproc)" --timeout 240
fi

# The run job: a simulated ECU on the tool's default address, and the tool going online to it.
sim=build/tools/ecusim/veltrace-ecusim
cli=build/src/cli/veltrace-cli
"$sim" --listen 127.0.0.1:32000 &
simpid=$!
trap 'kill $simpid 2>/dev/null; wait $simpid 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/32000) 2>/dev/null && break
  sleep 0.1
done
"$cli" --network 127.0.0.1:32000 info
"$cli" --network 127.0.0.1:32000 settings
