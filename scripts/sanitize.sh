#!/usr/bin/env bash
# Builds the panel and the whole test suite with AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer, and runs the suite. Any sanitizer report fails the test that made it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ qtbase5-dev libqt5serialport5-dev libqt5charts5-dev libqt5svg5-dev \
    socat netcat-openbsd
build=${SANITIZE_BUILD_DIR:-build-asan}
# The benchmarks are built by the first stage and measure nothing under the sanitizers.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRASTELLON_SANITIZE=ON \
    -DMIRASTELLON_BENCH=OFF -DMIRASTELLON_TANGO=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
# Qt is built without frame pointers: only the slow unwinder sees through it, and the leak
# suppressions need the whole allocation stack to tell Qt's own leaks from ours.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1:fast_unwind_on_malloc=0:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
cd "$build"
# The package check builds and lints a .deb, which says nothing new about an instrumented build.
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" -LE "bench|soak|package"
