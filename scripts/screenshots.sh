#!/usr/bin/env bash
# Takes the screenshots in docs/ under Xvfb with a window manager: the panel connected with its
# console, at a font DPI of 168, at a scale of 2 on a 1366 x 768 screen, a refused target's notice,
# whole, and a step characterisation beside the open-loop page that used it. Needs a build with
# the benchmarks (build/bench/show_panel) and dvxsim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh xvfb openbox imagemagick
build=${BUILD_DIR:-build}
cmake --build "$build" --target show_panel dvxsim >/dev/null

# shot FILE SCREEN SCENE [VAR=VALUE...]: the panel up for a while (SETTLE seconds, default 9),
# the screen grabbed, cropped to the windows.
shot() {
    local file=$1 screen=$2 scene=$3 settle=${SETTLE:-9}
    shift 3
    xvfb-run -a -s "-screen 0 ${screen}x24" bash -c '
        openbox >/dev/null 2>&1 &
        sleep 1
        env "${@:4}" "$1" "$2" $(($3 + 3)) &
        panel=$!
        sleep "$3"
        import -window root "$0"
        kill $panel 2>/dev/null || true
        wait $panel 2>/dev/null || true
    ' "$file" "$build/bench/show_panel" "$scene" "$settle" "$@"
    convert "$file" -trim +repage "$file"
    echo "$file"
}

shot docs/screenshot.png 1366x768 connected
shot docs/panel-font-dpi-168.png 1366x768 connected QT_FONT_DPI=168
shot docs/panel-scale-2.png 1366x768 connected QT_SCALE_FACTOR=2
shot docs/refusal-notice.png 1366x768 refusal
SETTLE=30 shot docs/step-characterisation.png 1500x900 characterisation
