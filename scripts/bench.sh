#!/usr/bin/env bash
# Builds the panel, dvxsim and the benchmark in Release and prints the performance table.
# Arguments go to the benchmark: `scripts/bench.sh --quick` runs a shorter version.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ qtbase5-dev libqt5serialport5-dev libqt5charts5-dev libqt5svg5-dev
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DMIRASTELLON_TESTS=ON -DMIRASTELLON_BENCH=ON \
    -DMIRASTELLON_SIM=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_panel bench_trace dvxsim
# Both tables are printed even when the first misses a target; the exit status reports either.
status=0
QT_QPA_PLATFORM=offscreen "$build/bench/bench_panel" --dvxsim "$build/sim/dvxsim" "$@" || status=1
echo
QT_QPA_PLATFORM=offscreen "$build/bench/bench_trace" --dvxsim "$build/sim/dvxsim" "$@" || status=1
exit $status
