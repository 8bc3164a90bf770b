#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh, a Release build in
# build/package), unpacks it with dpkg-deb -x into a temporary root and checks
# the programs from there: the validators and lintian, --help and --version,
# korvid-excerpt on a Word file and a PDF, korvid-service's health probe and
# its clean stop on SIGTERM without losing a committed write, korvid-desktop
# under a virtual X server reaching the sign-in page (read from the window's
# accessibility tree by the packaged cua-driver), and the Chinese messages of
# a missing page and a missing reader module in that installed layout, and the
# page bridge's web-process extension alone in its folder.
# Exits 0 when every check passes.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)

fail() { echo "安装包测试失败：$*" >&2; exit 1; }
step() { echo "== $*"; }
# A child of this shell has ended (a zombie until waited for counts as ended).
ended() { [ ! -e "/proc/$1" ] || grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null; }

# Starts korvid-desktop from `usr` against `origin` and waits until the
# window's accessibility tree matches `wanted` (a grep pattern), failing on
# `unwanted`. The sign-in sheet shows a loading label over the browser and
# keeps the browser hidden from accessibility until the sign-in page has
# loaded with its style sheet; its failure panel names the reason. So the
# web view's element appearing is the sign-in page being shown, not a guess
# from time.
desktop_reaches() {
  local usr=$1 origin=$2 wanted=$3 unwanted=$4 what=$5 pid state="" waited
  KORVID_ORIGIN=$origin "$usr/bin/korvid-desktop" >"$work/desktop.log" 2>&1 &
  pid=$!
  for waited in $(seq 120); do
    ! ended "$pid" || { cat "$work/desktop.log" >&2; fail "korvid-desktop 意外退出（$what）"; }
    state=$("$here/scripts/window-state.sh" "$usr/libexec/korvid-desktop/cua-driver" "$pid")
    if [ -n "$state" ] && printf '%s' "$state" | grep -q -- "$wanted"; then
      break
    fi
    if [ -n "$unwanted" ] && printf '%s' "$state" | grep -q -- "$unwanted"; then
      printf '%s\n' "$state" >&2
      fail "窗口出现了不该出现的内容（$what）"
    fi
    sleep 0.5
  done
  if ! printf '%s' "$state" | grep -q -- "$wanted"; then
    printf '%s\n' "$state" >&2
    cat "$work/desktop.log" >&2
    kill "$pid" 2>/dev/null || true
    fail "60 秒内未等到：$what"
  fi
  # The window carries the application id as its class and has its icon.
  # xwininfo walks the tree window by window and gives up on one that goes
  # away meanwhile (the window's own short-lived helper windows), so the
  # look-up is tried again rather than read once.
  local window icon=""
  for waited in $(seq 20); do
    window=$(xwininfo -root -tree 2>/dev/null | awk '/"Korvid": \("com.vantorel.desktop"/ { print $1; exit }' || true)
    if [ -n "$window" ] && xprop -id "$window" _NET_WM_ICON 2>/dev/null | grep -q 'Icon ('; then
      icon=yes
      break
    fi
    sleep 0.25
  done
  if [ -z "$icon" ]; then
    xwininfo -root -tree 2>&1 | grep -i korvid >&2 || true
    [ -z "$window" ] || xprop -id "$window" >&2 || true
    fail "窗口没有设置图标"
  fi
  kill "$pid"
  wait "$pid" 2>/dev/null || true
}

# The checks that need the display and the D-Bus session.
in_session() {
  local usr=$1 service_log=$work/service-gui.log port
  "$usr/bin/korvid-service" --port 0 --data "$work/gui-data" >"$service_log" 2>&1 &
  local service=$!
  for _ in $(seq 200); do
    grep -q '^listening on' "$service_log" && break
    sleep 0.05
  done
  port=$(sed -n 's|^listening on http://127.0.0.1:||p' "$service_log")
  [ -n "$port" ] || fail "korvid-service 未能启动"

  step "korvid-desktop 显示登录页"
  desktop_reaches "$usr" "http://127.0.0.1:$port" '"name":"WebKitWebView"' '登录页未能打开' "登录页"
  step "缺少 login.css 时显示中文提示（安装布局）"
  mv "$usr/share/korvid-desktop/login.css" "$work/login.css"
  desktop_reaches "$usr" "http://127.0.0.1:$port" '桌面登录资源缺失，请重新打开最新版 Korvid。' '"name":"WebKitWebView"' \
    "缺少资源的中文提示"
  mv "$work/login.css" "$usr/share/korvid-desktop/login.css"

  kill "$service"
  wait "$service" || fail "korvid-service 未能正常退出"
}

if [ "${1:-}" = "--in-session" ]; then
  work=$2
  trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
  in_session "$work/root/usr"
  exit 0
fi

# KORVID_PACKAGE_DEB=file checks a package built before instead of building one.
if [ -n "${KORVID_PACKAGE_DEB:-}" ]; then
  deb=$(realpath "$KORVID_PACKAGE_DEB")
else
  scripts/package.sh
  deb=$(ls -t build/package/korvid-desktop_*.deb | head -n 1)
fi
[ -f "$deb" ] || fail "没有找到安装包"

work=$(mktemp -d)
service=
cleanup() {
  [ -z "$service" ] || kill "$service" 2>/dev/null || true
  local mount
  for mount in $(awk -v root="$work/" 'index($2, root) == 1 { print $2 }' /proc/self/mounts 2>/dev/null); do
    fusermount3 -u "$mount" 2>/dev/null || umount -l "$mount" 2>/dev/null || true
  done
  rm -rf "$work" 2>/dev/null || true
}
trap cleanup EXIT
export HOME=$work/home XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config \
  XDG_CACHE_HOME=$work/cache XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" "$XDG_DATA_HOME/dbus-1/services" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
# No check needs the document portal, whose FUSE mount would outlive the run.
printf '[D-BUS Service]\nName=org.freedesktop.portal.Documents\nExec=/bin/false\n' \
  >"$XDG_DATA_HOME/dbus-1/services/org.freedesktop.portal.Documents.service"

dpkg-deb -x "$deb" "$work/root"
usr=$work/root/usr

step "软件包元数据与依赖"
depends=$(dpkg-deb -f "$deb" Depends)
for wanted in libc6 libwebkitgtk-6.0-4 libpoppler-cpp0v5 libtesseract5 libzip4 libnettle8 libsqlite3-0 libargon2-1 \
  tesseract-ocr-chi-sim tesseract-ocr-eng fonts-noto-cjk; do
  printf '%s' "$depends" | grep -q "$wanted" || fail "Depends 中缺少 $wanted：$depends"
done

step "desktop-file-validate 与 appstreamcli validate"
desktop-file-validate "$usr/share/applications/com.vantorel.desktop.desktop"
appstreamcli validate --no-net "$usr/share/metainfo/com.vantorel.desktop.metainfo.xml"
[ -f "$usr/share/icons/hicolor/scalable/apps/com.vantorel.desktop.svg" ] || fail "缺少应用图标"
[ -f "$usr/share/icons/hicolor/symbolic/apps/com.vantorel.desktop-symbolic.svg" ] || fail "缺少符号图标"

if command -v systemd-analyze >/dev/null; then
  # The unit as packaged, its program pointed into the unpacked root.
  sed "s|=/usr/bin/korvid-service|=$usr/bin/korvid-service|" "$usr/lib/systemd/user/korvid-service.service" \
    >"$work/korvid-service.service"
  systemd-analyze verify --man=no "$work/korvid-service.service" || fail "systemd 用户服务单元无效"
fi

step "lintian（不得有错误）"
lintian --fail-on error "$deb"

step "--help、--version 与手册页"
for program in korvid-desktop korvid-service korvid-excerpt; do
  "$usr/bin/$program" --version | grep -qx "$program [0-9][0-9.]*" || fail "$program --version 输出不对"
  "$usr/bin/$program" --help | grep -q '用法' || fail "$program --help 没有用法说明"
  zcat "$usr/share/man/man1/$program.1.gz" | grep -q '^\.TH' || fail "$program 的手册页无效"
done

step "korvid-excerpt 读取 Word 与 PDF"
out=$("$usr/bin/korvid-excerpt" packaging/tests/quote.docx packaging/tests/quote.pdf) \
  || fail "korvid-excerpt 读取失败：$out"
printf '%s\n' "$out" | sed -n 1p | grep -q '"excerpt":"报价单：安装包测试' || fail "Word 摘录不对：$out"
printf '%s\n' "$out" | sed -n 2p | grep -q '"excerpt":"Korvid package check PDF' || fail "PDF 摘录不对：$out"
# Without its reader module, a PDF or a Word file gives the Chinese reason,
# not a crash.
without_module() {
  local module=$1 file=$2 reason=$3 what=$4 status=0 out
  mv "$usr/libexec/korvid-desktop/$module" "$work/"
  out=$("$usr/bin/korvid-excerpt" "$file") || status=$?
  [ "$status" -eq 1 ] || fail "缺少 $what 组件时退出状态应为 1，实际为 $status"
  printf '%s' "$out" | grep -q "\"error\":\"$reason\"" || fail "缺少组件时的提示不对：$out"
  mv "$work/$module" "$usr/libexec/korvid-desktop/"
}
without_module korvid-excerpt-pdf.so packaging/tests/quote.pdf "缺少读取 PDF 或图片的组件，请重新安装。" PDF
without_module korvid-excerpt-office.so packaging/tests/quote.docx "缺少读取 Word 或 Excel 文件的组件，请重新安装。" Office
# A cut inside an emoji sequence needs ICU's segmenter, which the tool loads
# from its text module.
{ printf 'a%.0s' $(seq 2999); printf '\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7x'; } >"$work/family.txt"
out=$("$usr/bin/korvid-excerpt" "$work/family.txt") || fail "korvid-excerpt 读取文本失败：$out"
printf '%s' "$out" | grep -qF "$(printf '\xe2\x80\x8d\xf0\x9f\x91\xa7')\",\"method\"" || fail "文本摘录没有在字素边界截断：$out"

step "页面桥接的网页进程扩展"
# WebKit loads every module in the extension folder into the main page's web
# process, so the bridge's module must be there alone.
extensions=$usr/libexec/korvid-desktop/web-process-extensions
[ "$(ls "$extensions")" = korvid-bridge-extension.so ] || fail "网页进程扩展目录的内容不对：$(ls "$extensions")"
nm -D --defined-only "$extensions/korvid-bridge-extension.so" | grep -q ' T webkit_web_process_extension_initialize$' \
  || fail "页面桥接扩展缺少入口"

step "korvid-service：/healthz，SIGTERM 时已提交的写入不丢失"
start_service() {
  "$usr/bin/korvid-service" --port 0 --data "$work/service-data" >"$work/service.log" 2>&1 &
  service=$!
  for _ in $(seq 200); do
    grep -q '^listening on' "$work/service.log" && break
    sleep 0.05
  done
  port=$(sed -n 's|^listening on http://127.0.0.1:||p' "$work/service.log")
  [ -n "$port" ] || { cat "$work/service.log" >&2; fail "korvid-service 未能启动"; }
}
stop_service() {
  kill -TERM "$service"
  local status=0
  wait "$service" || status=$?
  service=
  [ "$status" -eq 0 ] || fail "korvid-service 收到 SIGTERM 后退出状态为 $status"
}
sign_in() {
  curl -fsS -H 'Content-Type: application/json' \
    -d '{"email":"demo@korvid.cn","password":"korvid123"}' "http://127.0.0.1:$port/auth/sign-in" \
    | sed -n 's/.*"token":"\([^"]*\)".*/\1/p'
}
# SIGTERM while the first start is still creating the demo data: the
# signal waits until the server is bound, then stops it.
"$usr/bin/korvid-service" --port 0 --data "$work/early-data" >"$work/early.log" 2>&1 &
early=$!
# (once its main thread holds SIGTERM for its signal thread; before that the
# default action would end it)
for _ in $(seq 100); do
  blocked=$(awk '/^SigBlk:/ { print $2 }' "/proc/$early/status" 2>/dev/null || true)
  [ -n "$blocked" ] && (( 0x$blocked & 0x4000 )) && break
  sleep 0.01
done
kill -TERM "$early"
for _ in $(seq 100); do ended "$early" && break; sleep 0.1; done
if ! ended "$early"; then grep -E "State|Sig|Shd" /proc/$early/status >&2; cat "$work/early.log" >&2; kill -KILL "$early"; fail "korvid-service 启动中收到 SIGTERM 后没有退出"; fi
wait "$early" || fail "korvid-service 启动中收到 SIGTERM 后退出状态非 0"
start_service
[ "$(curl -fsS "http://127.0.0.1:$port/healthz")" = ok ] || fail "/healthz 没有回答 ok"
token=$(sign_in)
[ -n "$token" ] || fail "演示账号未能登录"
# A rename answered 200 and SIGTERM right behind it, several times over: each
# answered write must be there after the restart.
for round in 1 2 3; do
  name="安装测试$round"
  code=$(curl -sS -o /dev/null -w '%{http_code}' -X PUT -H "Authorization: Bearer $token" -H 'X-Korvid-Privacy-Version: 2' \
    -H 'Content-Type: application/json' -d "{\"name\":\"$name\"}" "http://127.0.0.1:$port/v1/me")
  [ "$code" = 200 ] || fail "改名请求返回 $code"
  stop_service
  start_service
  token=$(sign_in)
  curl -fsS -H "Authorization: Bearer $token" -H 'X-Korvid-Privacy-Version: 2' "http://127.0.0.1:$port/v1/me" | grep -q "\"name\":\"$name\"" \
    || fail "SIGTERM 之后丢失了已提交的写入（$name）"
done
stop_service

step "图形界面检查（Xvfb 与 D-Bus 会话）"
dbus-run-session -- xvfb-run -a -s "-screen 0 1280x900x24" "$here/scripts/package-test.sh" --in-session "$work"

echo "安装包测试全部通过：$deb"
