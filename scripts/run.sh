#!/usr/bin/env bash
# Installs what is needed, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

BUILD=${TALVEK_BUILD:-build/release}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALVEK_BUILD_TESTS=OFF -DTALVEK_BUILD_BENCH=OFF
cmake --build "$BUILD" -j "$(nproc)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No graphical display here (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
  echo "Start $BUILD/src/app/talvekconfig on a desktop, or under a virtual one:" >&2
  echo "  xvfb-run -a $BUILD/src/app/talvekconfig" >&2
  echo "Meanwhile the command-line tool works without one:" >&2
  exec "$BUILD/src/cli/talvekkey" --help
fi
exec "$BUILD/src/app/talvekconfig" "$@"
