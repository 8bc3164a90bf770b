#!/usr/bin/env bash
# Retakes the screenshots the AppStream metadata shows, into
# packaging/screenshots/: signin.png, the window on the local service's
# sign-in page, and main.png, the main page's home screen after signing in
# (taken by the main page's window test). Uses the test build (build/test,
# made by scripts/test.sh) under a virtual X server and its own D-Bus session.
# Publish both at the URLs named in packaging/com.vantorel.desktop.metainfo.xml.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
command -v import >/dev/null || { echo "需要 ImageMagick 的 import 命令：apt-get install imagemagick" >&2; exit 1; }
[ -x "$build/bin/korvid-desktop" ] || { echo "请先构建：scripts/test.sh（或 /work 下的共享构建）" >&2; exit 1; }

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
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
"$build/bin/korvid-service" --port 0 --data "$HOME/service" >"$HOME/service.log" 2>&1 &
for _ in $(seq 200); do grep -q '^listening on' "$HOME/service.log" && break; sleep 0.05; done
port=$(sed -n 's|^listening on http://127.0.0.1:||p' "$HOME/service.log")
KORVID_ORIGIN=http://127.0.0.1:$port "$build/bin/korvid-desktop" >/dev/null 2>&1 &
desktop=$!
# The web view joins the accessibility tree when the sign-in page has loaded.
for _ in $(seq 120); do
  scripts/window-state.sh "$build/bin/resources/cua-driver" "$desktop" | grep -q '"name":"WebKitWebView"' && break
  sleep 0.5
done
sleep 1 # one more frame after the load, for the page's fonts
window=$(xwininfo -root -tree | awk '/"Korvid": \("com.vantorel.desktop"/ { print $1; exit }')
import -window "$window" packaging/screenshots/signin.png
kill "$desktop"

ctest --test-dir "$build" -R 'DesktopPageTest.ScreenshotsOfEveryScreen' >/dev/null
cp "$build/bin/screenshots/page-light-940-home.png" packaging/screenshots/main.png
ls -l packaging/screenshots/
