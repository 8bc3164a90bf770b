#!/usr/bin/env bash
# Builds Korvid desktop and runs it against the bundled local experience
# service, which is stopped again when the application exits.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

build=build/release
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVID_TESTS=OFF -DKORVID_BENCH=OFF
cmake --build "$build" --target korvid-desktop korvid-service

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "Korvid 已构建完成（$build/bin/korvid-desktop），但这台机器没有图形显示（未设置 DISPLAY 或 WAYLAND_DISPLAY），无法打开窗口。" >&2
  echo "请在桌面会话中运行，或用虚拟显示运行：xvfb-run -a scripts/run.sh" >&2
  exit 1
fi

port=${KORVID_SERVICE_PORT:-8787}
"$build/bin/korvid-service" --port "$port" &
service=$!
trap 'kill "$service" 2>/dev/null; wait "$service" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  curl -fsS -o /dev/null "http://127.0.0.1:$port/healthz" 2>/dev/null && break
  sleep 0.1
done
KORVID_ORIGIN=${KORVID_ORIGIN:-http://127.0.0.1:$port} "$build/bin/korvid-desktop"
