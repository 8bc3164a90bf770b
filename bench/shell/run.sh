#!/usr/bin/env bash
# Runs the bare window and the shell alternately, each in a fresh process,
# and prints each figure's median with the shell/bare ratio. Needs a display
# (use: dbus-run-session -- xvfb-run -a bench/shell/run.sh [build-dir] [runs]).
# Build without sanitizers, e.g. build/shell-release.
set -euo pipefail
build=${1:-build/shell-release}
runs=${2:-5}
bench=$build/bin/korvid-shell-bench
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for _ in $(seq "$runs"); do
  for mode in bare app; do
    KORVID_BENCH_T0=$(date +%s%N) "$bench" "$mode" 2>/dev/null | grep '^{' >>"$out"
  done
done
python3 - "$out" <<'PY'
import json, statistics, sys
rows = [json.loads(l) for l in open(sys.argv[1])]
bare = [r for r in rows if r["mode"] == "bare"]
app = [r for r in rows if r["mode"] == "app"]
med = lambda rs, k: statistics.median(r[k] for r in rs)
b_start, a_start = med(bare, "startToFirstReplyMs"), med(app, "startToReadyMs")
b_pss, a_pss = med(bare, "pssKB"), med(app, "pssKB")
b_trip, a_trip = med(bare, "roundTripMedianMs"), med(app, "roundTripMedianMs")
print(f"runs: {len(bare)} bare, {len(app)} shell")
print(f"start: bare first reply {b_start:.0f} ms, shell sign-in ready {a_start:.0f} ms, ratio {a_start/b_start:.2f} (target <= 1.1)")
print(f"verified sign-in to main page's first reply: {med(app, 'verifiedToFirstReplyMs'):.0f} ms (target <= 300)")
print(f"PSS: bare {b_pss/1024:.0f} MB, shell {a_pss/1024:.0f} MB, ratio {a_pss/b_pss:.2f} (target <= 1.1)")
print(f"round trip median: bare {b_trip:.3f} ms, shell 'session' {a_trip:.3f} ms (target <= 0.3), ratio {a_trip/b_trip:.2f}")
# The same page's ways, interleaved: medians over the runs of each way's
# median, and of its CPU per message (UI process; WebKit's web and network
# processes).
way = lambda rs, name, k="tripMs": statistics.median(r["ways"][name][k] for r in rs)
def ways(rs, names):
    return ", ".join(f"{n} {way(rs, n):.3f} ms (CPU UI {way(rs, n, 'uiCpuUs'):.1f} µs, web {way(rs, n, 'webCpuUs'):.1f} µs)"
                     for n in names)
print("bare page: " + ways(bare, ("bare", "relay", "extension", "channel")))
print("main page: " + ways(app, ("bare", "relay", "shell")))
print(f"one main-loop turn: {med(bare, 'loopHopUs'):.1f} µs in the bare window, {med(app, 'loopHopUs'):.1f} µs in the shell")
shell, relay, pbare = way(app, "shell"), way(app, "relay"), way(app, "bare")
print(f"shell/bare window {a_trip/b_trip:.2f} (target <= 1.1), shell/bare reply in the main page {shell/pbare:.2f}, "
      f"shell/relay floor {shell/relay:.2f}; relay floor/bare {relay/pbare:.2f} in the main page, "
      f"{way(bare, 'relay')/way(bare, 'bare'):.2f} in the bare page; "
      f"extension/bare {way(bare, 'extension')/way(bare, 'bare'):.2f}; "
      f"channel without the host/extension peer {way(bare, 'channel')/way(bare, 'extension'):.2f}")
import os
if os.environ.get("KORVID_BENCH_JSON"):
    json.dump({"bareStartMs": b_start, "appStartMs": a_start, "barePssKB": b_pss, "appPssKB": a_pss,
               "bareTripMs": b_trip, "appTripMs": a_trip, "runs": len(bare),
               "pageBareTripMs": pbare, "pageRelayTripMs": relay, "pageShellTripMs": shell,
               "channelTripMs": way(bare, "channel"), "bareRelayTripMs": way(bare, "relay"),
               "bareBareTripMs": way(bare, "bare"), "extensionTripMs": way(bare, "extension")},
              open(os.environ["KORVID_BENCH_JSON"], "w"))
PY
