#!/usr/bin/env bash
# Installs what is needed, builds everything under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

BUILD=${TALVEK_TEST_BUILD:-build/test}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALVEK_SANITIZE=ON \
      -DCMAKE_CXX_FLAGS_DEBUG="-g -O1"
cmake --build "$BUILD" -j "$(nproc)"
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)"
