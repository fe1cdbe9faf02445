#!/usr/bin/env bash
# Installs what is needed, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

BUILD=${TALVEK_BUILD:-build/release}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALVEK_BUILD_TESTS=OFF
cmake --build "$BUILD" -j "$(nproc)"
if [ -x "$BUILD/src/app/talvekconfig" ]; then
  exec "$BUILD/src/app/talvekconfig" "$@"
fi
exec "$BUILD/src/cli/talvekkey" --help
