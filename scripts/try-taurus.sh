#!/usr/bin/env bash
# The Tango device in a generic Tango client: a throwaway Tango database (scripts/tango-db.sh),
# the simulator, the headless panel, mirastellon-tango, and a Taurus form of the stage's Position
# and State. Not part of the tests: Taurus and its Qt bindings are some 800 MB.
#
#   scripts/try-taurus.sh                     open the form on this display; close it to end
#   scripts/try-taurus.sh --screenshot FILE   a PNG of the form under Xvfb while the stage moves
#
# Uses the build in $BUILD_DIR (build), as scripts/test.sh leaves it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/${BUILD_DIR:-build}

if [ "${1:-}" != "--inside" ]; then
    screenshot_packages=()
    if [ "${1:-}" = "--screenshot" ]; then
        [ -n "${2:-}" ] || { echo "Usage: try-taurus.sh [--screenshot FILE]" >&2; exit 2; }
        screenshot_packages=(xvfb openbox imagemagick x11-utils)
    elif [ $# -gt 0 ]; then
        echo "Usage: try-taurus.sh [--screenshot FILE]" >&2
        exit 2
    fi
    for program in sim/dvxsim mirastellon tango/mirastellon-tango; do
        [ -x "$build/$program" ] || {
            echo "try-taurus: $build/$program is missing: build first (scripts/test.sh)" >&2
            exit 2
        }
    done
    scripts/deps.sh python3-taurus "${screenshot_packages[@]}"
    scripts/tango-db.sh --install
    if [ "${1:-}" = "--screenshot" ]; then
        set -- --screenshot "$(realpath -m "$2")"
    fi
    exec scripts/tango-db.sh --server mirastellon-tango/try --device lab/dvx/1 -- "$0" --inside "$@"
fi
shift

# From here on inside tango-db.sh: TANGO_HOST is the database, the device is registered with its
# ControlSocket in TANGO_DB_RUNTIME_DIR.
runtime=$TANGO_DB_RUNTIME_DIR
log=$TANGO_DB_DIR
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

# Slow enough that a move takes a few seconds to watch.
"$build/sim/dvxsim" --link "$runtime/stage" --speed 600 >"$log/dvxsim.log" 2>&1 &
pids+=($!)
XDG_RUNTIME_DIR=$runtime QT_QPA_PLATFORM=offscreen \
    "$build/mirastellon" --headless --port "$runtime/stage" --control "$runtime/mirastellon.sock" \
    >"$log/panel.log" 2>&1 &
pids+=($!)
"$build/tango/mirastellon-tango" try >"$log/server.log" 2>&1 &
pids+=($!)

# Outside the source tree, whose tango/ folder is not the tango module.
cd "$log"
/usr/bin/python3 - <<'PY'
import sys, time
import tango
end = time.monotonic() + 30
while True:
    try:
        d = tango.DeviceProxy("lab/dvx/1")
        # UNKNOWN until the device reached the panel's socket.
        if d.state() != tango.DevState.UNKNOWN:
            break
    except tango.DevFailed:
        pass
    if time.monotonic() > end:
        sys.exit("try-taurus: the device did not start or does not reach the panel")
    time.sleep(0.2)
d.set_timeout_millis(12000)
d.Connect()
d.Home()
print("try-taurus: lab/dvx/1 connected and homed; TANGO_HOST", tango.ApiUtil.get_env_var("TANGO_HOST"))
PY

# Moves the stage back and forth, so that the form has something to show.
mover() {
    /usr/bin/python3 - <<'PY'
import time
import tango
d = tango.DeviceProxy("lab/dvx/1")
for target in [4000.0, 1500.0] * 1000:
    d.Position = target
    time.sleep(0.5)
    while d.state() == tango.DevState.MOVING:
        time.sleep(0.2)
    time.sleep(1.0)
PY
}

form=(taurus form lab/dvx/1/Position lab/dvx/1/State)
if [ "${1:-}" != "--screenshot" ]; then
    echo "try-taurus: ${form[*]}   (write Position in the form to move the stage)"
    "${form[@]}"
    exit
fi

file=$2
display=""
for n in $(seq 90 120); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
        display=:$n
        break
    fi
done
[ -n "$display" ] || { echo "try-taurus: no free X display" >&2; exit 1; }
Xvfb "$display" -screen 0 640x360x24 -nolisten tcp >"$log/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done
openbox >"$log/openbox.log" 2>&1 &
pids+=($!)
mover >"$log/mover.log" 2>&1 &
pids+=($!)
"${form[@]}" >"$log/taurus.log" 2>&1 &
pids+=($!)
# Taurus takes a while to start; the form is there once its window is, and filled a moment later.
for _ in $(seq 300); do
    xwininfo -root -tree 2>/dev/null | grep -q -i 'taurus' && break
    sleep 0.1
done
sleep 3
# Catch the stage in the middle of a move.
(cd "$log" && /usr/bin/python3 - <<'PY'
import time
import tango
d = tango.DeviceProxy("lab/dvx/1")
end = time.monotonic() + 30
while time.monotonic() < end:
    if d.state() == tango.DevState.MOVING and abs(d.Position - d.Target) > 1000:
        break
    time.sleep(0.05)
PY
)
sleep 0.3
import -window root "$file"
# The form alone, without the empty screen around it.
convert "$file" -trim +repage -bordercolor black -border 6 "$file"
echo "try-taurus: $file"
