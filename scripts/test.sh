#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test, the window tests under a virtual X server with their own
# D-Bus session. Exits with the tests' status.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

build=build/test
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug -DKORVID_SANITIZE=ON -DKORVID_FUZZ=ON -DKORVID_BENCH=ON
cmake --build "$build"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Tests never touch the real home: each gets folders under a fresh temporary one.
scratch=$(mktemp -d)
export HOME=$scratch/home XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config \
  XDG_CACHE_HOME=$scratch/cache XDG_RUNTIME_DIR=$scratch/runtime
mkdir -p "$HOME" "$XDG_DATA_HOME/dbus-1/services" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# GTK and WebKit wake xdg-desktop-portal in the test session where it is
# installed, and its document store mounts a FUSE file system at
# $XDG_RUNTIME_DIR/doc that can outlive the session by a moment and cannot be
# removed while mounted. No test needs the document store: the session's own
# service folder (searched before the system's) replaces it with one that
# never starts.
cat >"$XDG_DATA_HOME/dbus-1/services/org.freedesktop.portal.Documents.service" <<'SERVICE'
[D-BUS Service]
Name=org.freedesktop.portal.Documents
Exec=/bin/false
SERVICE

# Removes the scratch folder whatever was left mounted in it; it never
# changes the exit status.
cleanup() {
  local mounts attempt
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    mounts=$(awk -v root="$scratch/" 'index($2, root) == 1 { print $2 }' /proc/self/mounts 2>/dev/null || true)
    for mount in $mounts; do
      fusermount3 -u "$mount" 2>/dev/null || fusermount -u -z "$mount" 2>/dev/null \
        || umount -l "$mount" 2>/dev/null || true
    done
    rm -rf "$scratch" 2>/dev/null && return 0
    sleep 0.5
  done
  echo "测试临时目录未能完全删除：$scratch" >&2
}
trap cleanup EXIT

status=0
dbus-run-session -- xvfb-run -a -s "-screen 0 1280x900x24" \
  ctest --test-dir "$build" --output-on-failure -j 2 "$@" || status=$?
[ "$#" -gt 0 ] || scripts/package-test.sh || status=$?  # full runs also build and check the Debian package
exit "$status"
