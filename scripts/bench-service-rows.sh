#!/usr/bin/env bash
# Follow-up append cost of korvid-service, an earlier commit's build against
# this tree's, in one run on the same machine: one client appending to lists
# already 10, 1,000 and 10,000 long, a small request beside appends to the
# longest, and many clients appending to one opportunity at once.
#
#   scripts/bench-service-rows.sh [--old COMMIT] [--no-build] [--appends N] [--clients N] [--each N]
#
# The earlier commit is built in a git worktree under /tmp (Release, the
# service alone); this tree's service and the driver in build/bench.
set -euo pipefail
cd "$(dirname "$0")/.."
old=13e49dc
do_build=1
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --old) old=$2; shift ;;
    --no-build) do_build=0 ;;
    --appends|--clients|--each) args+=("$1" "$2"); shift ;;
    *) echo "usage: $0 [--old COMMIT] [--no-build] [--appends N] [--clients N] [--each N]" >&2; exit 2 ;;
  esac
  shift
done

build=build/bench
oldtree=/tmp/korvid-bench-old-$old
lock=()
[ -e /work/kdev/build.lock ] && lock=(flock /work/kdev/build.lock)
configure() { # source build bench
  "${lock[@]}" bash -c "CC=clang CXX=clang++ nice -n 10 cmake -S $1 -B $2 -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKORVID_TESTS=OFF -DKORVID_FUZZ=OFF -DKORVID_BENCH=$3 >/dev/null"
}
if [ "$do_build" = 1 ]; then
  [ -d "$oldtree" ] || git worktree add --detach "$oldtree" "$old" >/dev/null 2>&1
  configure "$oldtree" "$oldtree/build" OFF
  "${lock[@]}" nice -n 10 cmake --build "$oldtree/build" --target korvid-service >/dev/null
  configure . "$build" ON
  "${lock[@]}" nice -n 10 cmake --build "$build" --target korvid-service korvid_service_append >/dev/null
fi

uptime >&2
echo "label | measure | median ms | p99 ms | failed | note"
"$build"/bin/korvid_service_append --binary "$oldtree/build/bin/korvid-service" --label "old-$old" "${args[@]}"
"$build"/bin/korvid_service_append --binary "$build/bin/korvid-service" --label new "${args[@]}"
uptime >&2
