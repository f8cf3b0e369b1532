#!/usr/bin/env bash
# Installs what is missing, builds, starts the simulated controller and the panel against it.
# Extra arguments go to dvxsim, e.g. `scripts/demo.sh --model 1804` or `--firmware 1.26`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ qtbase5-dev libqt5serialport5-dev libqt5charts5-dev
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRASTELLON_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target mirastellon dvxsim

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found. On a machine without one, run: xvfb-run -a $0" >&2
    exit 1
fi

# The panel opens the simulator through a link that outlives it: a simulator started again with
# the same --link is the same device coming back.
link=${TMPDIR:-/tmp}/mirastellon-demo-stage
log=$(mktemp)
"$build/sim/dvxsim" --link "$link" "$@" >"$log" &
sim=$!
trap 'kill $sim 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 50); do
    grep -q '^dvxsim: listening on ' "$log" && break
    sleep 0.1
done
port=$(sed -n 's/^dvxsim: listening on //p' "$log")
[ -n "$port" ] || { echo "dvxsim did not start" >&2; exit 1; }
echo "Simulated controller on $port (as $link): press Connect in the panel."
echo "To unplug it: kill $sim; to plug it back in: $build/sim/dvxsim --link $link"
# From the repository root, so the window icon in images/ is found.
"$build/mirastellon" --port "$link"
