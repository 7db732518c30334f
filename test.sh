#!/bin/sh
# Sets up a fresh Debian 12 machine if needed, builds everything into
# build/ and runs the whole test suite on Qt's offscreen platform.
set -eu
cd "$(dirname "$0")"

scripts/setup-deps.sh test
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCV_TESTS=ON -DCV_WERROR="${CV_WERROR:-OFF}" -DCV_BENCH="${CV_BENCH:-OFF}"
cmake --build build -j "$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -j2
