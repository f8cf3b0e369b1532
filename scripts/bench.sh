#!/usr/bin/env bash
# Builds the panel, dvxsim and the benchmark in Release and prints the performance table.
# Arguments go to the benchmark: `scripts/bench.sh --quick` runs a shorter version.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ qtbase5-dev libqt5serialport5-dev libqt5charts5-dev
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DMIRASTELLON_TESTS=ON -DMIRASTELLON_BENCH=ON \
    -DMIRASTELLON_SIM=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_panel dvxsim
QT_QPA_PLATFORM=offscreen "$build/bench/bench_panel" --dvxsim "$build/sim/dvxsim" "$@"
