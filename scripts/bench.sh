#!/usr/bin/env bash
# Builds the panel, dvxsim and the benchmarks in Release and prints their performance tables.
# Arguments go to the benchmarks: `scripts/bench.sh --quick` is a smoke run, not a measurement;
# `--offscreen-only` leaves out the panel's second table, made under Xvfb when xvfb-run is there.
# `scripts/bench.sh --sequence` runs the long sequence benchmark instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ qtbase5-dev libqt5serialport5-dev libqt5charts5-dev libqt5svg5-dev xvfb \
    python3 python3-serial
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DMIRASTELLON_TESTS=ON -DMIRASTELLON_BENCH=ON \
    -DMIRASTELLON_SIM=ON >/dev/null
if [ "${1:-}" = "--sequence" ]; then
    # The long sequence run alone (about 3 minutes; --quick takes 50 s).
    shift
    cmake --build "$build" -j"$(nproc)" --target bench_sequence dvxsim
    QT_QPA_PLATFORM=offscreen exec "$build/bench/bench_sequence" --dvxsim "$build/sim/dvxsim" "$@"
fi
cmake --build "$build" -j"$(nproc)" --target bench_panel bench_window_panel bench_window_bare \
    bench_control bench_trace bench_flood_reader mirastellon mirastellon-ctl dvxsim
status=0
"$build/bench/bench_panel" --dvxsim "$build/sim/dvxsim" "$@" || status=$?
echo
control_args=()
for argument in "$@"; do
    [ "$argument" = "--offscreen-only" ] || control_args+=("$argument")
done
QT_QPA_PLATFORM=offscreen "$build/bench/bench_control" "${control_args[@]}" || status=$?
echo
QT_QPA_PLATFORM=offscreen "$build/bench/bench_trace" --dvxsim "$build/sim/dvxsim" "${control_args[@]}" || status=$?
echo
# The flood measured from outside: the real panel and its floors as processes of their own, the
# CPU of every thread from /proc.
flood=(/usr/bin/python3 bench/flood.py --panel "$build/mirastellon" --ctl "$build/ctl/mirastellon-ctl"
    --reader "$build/bench/bench_flood_reader")
for argument in "$@"; do
    [ "$argument" = "--quick" ] && flood+=(--rounds 1 --seconds 1)
done
"${flood[@]}" || status=$?
if [[ " $* " != *" --offscreen-only "* ]] && command -v xvfb-run >/dev/null; then
    echo
    xvfb-run -a "${flood[@]}" --platform xcb || status=$?
fi
exit $status
