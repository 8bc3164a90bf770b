#!/usr/bin/env bash
# Builds the window-inspection benchmark without sanitizers and runs it under
# its own D-Bus session and virtual X server.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/bench-driver
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVID_TESTS=OFF >/dev/null
cmake --build "$build" --target korvid_driver_bench -j2
dbus-run-session -- xvfb-run -a -s "-screen 0 1280x900x24" \
  "$build/bin/korvid_driver_bench" --benchmark_counters_tabular=true "$@" 2>/dev/null
