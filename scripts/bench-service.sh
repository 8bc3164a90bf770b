#!/usr/bin/env bash
# korvid-service under load, an earlier commit's build against this tree's, in
# one run on the same machine.
#
#   scripts/bench-service.sh [load|appends|signin] [--old COMMIT] [--no-build] [options]
#
#   load     requests a second and p99 of one normal client alone, beside 12
#            slow-header clients and beside a sign-in flood, and the service's
#            resident memory after a header flood      [--seconds N]
#   appends  follow-up append cost with lists already 10, 1,000 and 10,000
#            long, a small request beside appends to the longest, and many
#            clients appending to one opportunity       [--appends N] [--clients N] [--each N]
#   signin   GET /v1/me alone (the peer) and beside threads signing in as fast
#            as they are answered, with the sign-ins they got through
#                                                       [--seconds N] [--threads N]
#
# The earlier commit is built in a git worktree under /tmp (Release, the
# service alone); this tree's service and the measuring tool in build/bench.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=load
case ${1:-} in load|appends|signin) mode=$1; shift ;; esac
old=13e49dc
do_build=1
args=()
usage() { echo "usage: $0 [load|appends|signin] [--old COMMIT] [--no-build] [--seconds N] [--threads N] [--appends N] [--clients N] [--each N]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --old) old=$2; shift ;;
    --no-build) do_build=0 ;;
    --seconds|--threads|--appends|--clients|--each) args+=("$1" "$2"); shift ;;
    *) usage ;;
  esac
  shift
done
case $mode in
  load) tool=korvid_service_load; header="label | measure | requests/s | p99 ms | failed | note" ;;
  appends) tool=korvid_service_append; header="label | measure | median ms | p99 ms | failed | note" ;;
  signin) tool=korvid_service_signin; header="label | measure | median ms | p99 ms | per second | failed | note" ;;
esac

build=build/bench
oldtree=/tmp/korvid-bench-old-$old
configure() { # source build bench
  CC=clang CXX=clang++ nice -n 10 cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKORVID_TESTS=OFF -DKORVID_FUZZ=OFF -DKORVID_BENCH="$3" >/dev/null
}
out=$(mktemp -d)
build_log=$out/build.log
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$out"
}
trap cleanup EXIT
failed_build() { echo "build failed:" >&2; grep -E "error|FAILED" "$build_log" | head -20 >&2; exit 1; }
if [ "$do_build" = 1 ]; then
  [ -d "$oldtree" ] || git worktree add --detach "$oldtree" "$old" >/dev/null 2>&1
  configure "$oldtree" "$oldtree/build" OFF
  nice -n 10 cmake --build "$oldtree/build" --target korvid-service >"$build_log" 2>&1 || failed_build
  configure . "$build" ON
  nice -n 10 cmake --build "$build" --target korvid-service "$tool" >"$build_log" 2>&1 || failed_build
fi

# The load tool drives a service this script starts; the others start their own.
run_one() { # label binary
  local label=$1 binary=$2
  if [ "$mode" != load ]; then
    "$build/bin/$tool" --binary "$binary" --label "$label" "${args[@]}"
    return
  fi
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
  "$build/bin/$tool" --port "$port" --pid "$pid" --label "$label" "${args[@]}"
  kill "$pid"; wait "$pid" 2>/dev/null || true
  pid=""
}

uptime >&2
echo "$header"
run_one "old-$old" "$oldtree/build/bin/korvid-service"
run_one new "$build/bin/korvid-service"
uptime >&2
