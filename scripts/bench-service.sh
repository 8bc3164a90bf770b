#!/usr/bin/env bash
# Load figures of korvid-service, an earlier commit's build against this
# tree's, in one run on the same machine: requests a second and p99 of one
# normal client alone, beside 12 slow-header clients and beside a sign-in
# flood, and the service's resident memory after a header flood.
#
#   scripts/bench-service.sh [--old COMMIT] [--no-build] [--seconds N]
#
# The earlier commit is built in a git worktree under /tmp (Release, the
# service alone); this tree's service and load tool in build/bench.
set -euo pipefail
cd "$(dirname "$0")/.."
old=13e49dc
do_build=1
seconds=5
while [ $# -gt 0 ]; do
  case $1 in
    --old) old=$2; shift ;;
    --no-build) do_build=0 ;;
    --seconds) seconds=$2; shift ;;
    *) echo "usage: $0 [--old COMMIT] [--no-build] [--seconds N]" >&2; exit 2 ;;
  esac
  shift
done

root=$PWD
build=build/bench
oldtree=/tmp/korvid-bench-old-$old
lock=()
[ -e /work/kdev/build.lock ] && lock=(flock /work/kdev/build.lock)
configure() { # source build
  "${lock[@]}" bash -c "CC=clang CXX=clang++ nice -n 10 cmake -S $1 -B $2 -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKORVID_TESTS=OFF -DKORVID_FUZZ=OFF -DKORVID_BENCH=$3 >/dev/null"
}
out=$(mktemp -d)
build_log=$out/build.log
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$out"
}
trap cleanup EXIT
failed_build() { echo "build failed:" >&2; grep -E "error|FAILED" "$build_log" | head -20 >&2; exit 1; }
if [ "$do_build" = 1 ]; then
  if [ ! -d "$oldtree" ]; then
    git worktree add --detach "$oldtree" "$old" >/dev/null 2>&1
  fi
  configure "$oldtree" "$oldtree/build" OFF
  "${lock[@]}" nice -n 10 cmake --build "$oldtree/build" --target korvid-service >"$build_log" 2>&1 || failed_build
  configure . "$build" ON
  "${lock[@]}" nice -n 10 cmake --build "$build" --target korvid-service korvid_service_load >"$build_log" 2>&1 || failed_build
fi

run_one() { # label binary
  local label=$1 binary=$2
  mkdir -p "$out/$label"
  "$binary" --port 0 --data "$out/$label/data" >"$out/$label/stdout" 2>"$out/$label/stderr" &
  pid=$!
  local port=""
  for _ in $(seq 1 600); do
    port=$(sed -n 's|^listening on http://127.0.0.1:\([0-9]*\)$|\1|p' "$out/$label/stdout")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "$label: the service did not start" >&2; cat "$out/$label/stderr" >&2; exit 1; }
  "$build"/bin/korvid_service_load --port "$port" --pid "$pid" --seconds "$seconds" --label "$label"
  kill "$pid"; wait "$pid" 2>/dev/null || true
  pid=""
}

uptime >&2
echo "label | measure | requests/s | p99 ms | failed | note"
run_one "old-$old" "$oldtree/build/bin/korvid-service"
run_one "new" "$build/bin/korvid-service"
uptime >&2
