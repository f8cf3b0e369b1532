#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60) on a copy of its seed
# corpus. Any crash, leak, sanitizer report, broken invariant or slow input fails the run; the
# input that caused it is kept in the work directory, whose path is printed. MIRASTELLON_QT_MAJOR=6
# builds them against Qt 6 (in FUZZ_BUILD_DIR, which must then be a folder of their own).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
qt=${MIRASTELLON_QT_MAJOR:-5}
if [ "$qt" = 6 ]; then
    scripts/deps.sh cmake make clang libclang-rt-14-dev qt6-base-dev qt6-serialport-dev \
        qt6-charts-dev qt6-svg-dev libgl-dev libqt6opengl6-dev
else
    scripts/deps.sh cmake make clang libclang-rt-14-dev qtbase5-dev libqt5serialport5-dev \
        libqt5charts5-dev libqt5svg5-dev
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMIRASTELLON_QT_MAJOR="$qt" -DMIRASTELLON_FUZZ=ON -DMIRASTELLON_TESTS=OFF \
    -DMIRASTELLON_BENCH=OFF -DMIRASTELLON_SIM=OFF -DMIRASTELLON_TANGO=OFF \
    >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_protocol fuzz_receive fuzz_control fuzz_console fuzz_sequencecsv fuzz_tangomodel

work=$(mktemp -d "${TMPDIR:-/tmp}/mirastellon-fuzz.XXXXXX")
echo "fuzz: work directory $work"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
failed=0
for target in fuzz_protocol fuzz_receive fuzz_control fuzz_console fuzz_sequencecsv fuzz_tangomodel; do
    mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
    cp fuzz/corpus/"${target#fuzz_}"/* "$work/$target/corpus/"
    # The receive stream must be able to outgrow the panel's 4096-byte reply cap.
    max_len=4096
    if [ "$target" = fuzz_receive ]; then max_len=12288; fi
    # The receive stream knows the reply words and the hostile values that once broke the panel.
    dict=()
    if [ -f "fuzz/${target#fuzz_}.dict" ]; then dict=(-dict="fuzz/${target#fuzz_}.dict"); fi
    echo "fuzz: $target for ${seconds} s"
    ok=1
    "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 "${dict[@]}" -artifact_prefix="$work/$target/artifacts/" \
        "$work/$target/corpus" >"$work/$target.log" 2>&1 || ok=0
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|peak_rss_mb)' "$work/$target.log" || true
    if [ -n "$(ls -A "$work/$target/artifacts")" ]; then ok=0; fi
    if [ "$ok" -eq 0 ]; then
        failed=1
        echo "fuzz: $target FAILED; inputs in $work/$target/artifacts, log $work/$target.log"
        tail -n 60 "$work/$target.log"
    fi
done
if [ "$failed" -ne 0 ]; then exit 1; fi
echo "fuzz: no findings"
