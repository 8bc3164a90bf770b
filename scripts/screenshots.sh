#!/usr/bin/env bash
# Retakes the screenshots the AppStream metadata shows, into
# packaging/screenshots/: signin.png, the window on the local service's
# sign-in page, and main.png, the main page's home screen after signing in,
# both drawn by GTK from the window at its default size (940 by 720) by the
# main page's window test. Uses the test build (build/test, made by
# scripts/test.sh) under a virtual X server and its own D-Bus session.
# Publish both at the URLs named in packaging/com.vantorel.desktop.metainfo.xml.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
[ -x "$build/bin/korvid_page_test" ] || { echo "请先构建：scripts/test.sh（或 /work 下的共享构建）" >&2; exit 1; }

if [ "${2:-}" != "--in-session" ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  export HOME=$scratch/home XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config \
    XDG_CACHE_HOME=$scratch/cache XDG_RUNTIME_DIR=$scratch/runtime ASAN_OPTIONS=detect_leaks=0
  mkdir -p "$HOME" "$XDG_DATA_HOME/dbus-1/services" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  # No screenshot needs the document portal, whose FUSE mount would outlive the run.
  printf '[D-BUS Service]\nName=org.freedesktop.portal.Documents\nExec=/bin/false\n' \
    >"$XDG_DATA_HOME/dbus-1/services/org.freedesktop.portal.Documents.service"
  dbus-run-session -- xvfb-run -a -s "-screen 0 1280x900x24" "$0" "$build" --in-session 2>"$scratch/session.log" \
    || { cat "$scratch/session.log" >&2; exit 1; }
  exit 0
fi

mkdir -p packaging/screenshots
# The main page's window test signs the demo account in to korvid-service and
# keeps a picture of the window on the sign-in page and on every screen.
rm -f "$build/bin/screenshots/page-sign-in.png" "$build/bin/screenshots/page-light-940-home.png"
ctest --test-dir "$build" -R 'DesktopPageTest.ScreenshotsOfEveryScreen' --output-on-failure >&2
cp "$build/bin/screenshots/page-sign-in.png" packaging/screenshots/signin.png
cp "$build/bin/screenshots/page-light-940-home.png" packaging/screenshots/main.png
ls -l packaging/screenshots/
