#!/usr/bin/env bash
# Installs what is missing, builds the panel, the simulator and the tests, and runs the suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ qtbase5-dev libqt5serialport5-dev libqt5charts5-dev libqt5svg5-dev \
    desktop-file-utils appstream lintian man-db dpkg-dev binutils \
    pkg-config libtango-dev python3-tango socat netcat-openbsd
# MariaDB, DataBaseds and TangoTest for the Tango test against a real database.
scripts/tango-db.sh --install
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" -LE "bench|soak"
