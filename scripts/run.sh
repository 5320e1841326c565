#!/usr/bin/env bash
# Installs what is missing, builds the program (optimised, no tests) in its own build folder
# and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
dir="$root/build/run"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTO_BUILD_BENCH=OFF \
  >/dev/null
cmake --build "$dir" -j "$(nproc)" --target velto
exec "$dir/app/velto"
