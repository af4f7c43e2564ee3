#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root), builds the console and starts it next to the controller
# simulator, already pointed at the simulator's pseudo-terminal: click "Connect COM", then "Read",
# "Get time", "Sync time". The simulator stops when the console's window closes.
#   BUILD_DIR   build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target corvantel cv-controller-sim cv-remember-port

pathfile=$(mktemp)
"$build/tools/cv-controller-sim" --once-path-file "$pathfile" >/dev/null &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; rm -f "$pathfile"' EXIT
for _ in $(seq 100); do
  [ -s "$pathfile" ] && break
  sleep 0.1
done
device=$(cat "$pathfile")
echo "controller simulator on $device"

# Remember the simulator's device as the console's port (the console keeps it in its settings store),
# and list it in the port selector.
"$build/tools/cv-remember-port" "$device" 38400
CV_EXTRA_PORTS="$device" "$build/console/corvantel"
