#!/usr/bin/env bash
# Runs every benchmark that has a peer in the same run and prints one table:
# measure | ours | peer | ratio | target, with the machine load before and
# after. Builds its own Release tree (build/bench) with only the bench targets.
#
#   scripts/bench.sh [--no-build] [--runs N] [--instructions] [--skip shell,host,tasks,pdf,ocr]
#
# --instructions also counts the excerpt tool's and its peers' instructions
# with callgrind (a few minutes more), the steadiest figure when the machine
# is busy; the table's excerpt rows then give wall, CPU and instruction ratios.
#
# The machine may be shared: builds take the lock file named by
# KORVID_BUILD_LOCK when it is set and run under nice; figures are medians,
# and each row's peer runs interleaved with ours, so the ratio is the figure
# to read.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench
runs=10
skip=""
do_build=1
count=()
while [ $# -gt 0 ]; do
  case $1 in
    --no-build) do_build=0 ;;
    --runs) runs=$2; shift ;;
    --skip) skip=$2; shift ;;
    --instructions) count=(--instructions) ;;
    *) echo "usage: $0 [--no-build] [--runs N] [--instructions] [--skip shell,host,tasks,pdf,ocr]" >&2; exit 2 ;;
  esac
  shift
done
skipped() { [[ ",$skip," == *",$1,"* ]]; }

if [ "$do_build" = 1 ]; then
  lock=()
  [ -n "${KORVID_BUILD_LOCK:-}" ] && lock=(flock "$KORVID_BUILD_LOCK")
  "${lock[@]}" bash -c "CC=clang CXX=clang++ nice -n 10 cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKORVID_TESTS=OFF -DKORVID_FUZZ=OFF -DKORVID_BENCH=ON >/dev/null"
  targets=(korvid-excerpt korvid_tasks_bench korvid_host_bench)
  skipped shell || targets+=(korvid-shell-bench)
  skipped pdf || targets+=(minimal-poppler-text)
  "${lock[@]}" nice -n 10 cmake --build "$build" --target "${targets[@]}" >/dev/null
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
uptime >"$out/load-before"

if ! skipped host; then
  echo "· service GET: host request layer against bare reused-handle libcurl" >&2
  "$build"/bin/korvid_host_bench --benchmark_enable_random_interleaving=true \
    --benchmark_repetitions=9 --benchmark_report_aggregates_only=true --benchmark_format=json \
    >"$out/host.json" 2>/dev/null
fi
if ! skipped tasks; then
  echo "· workspaceOpen with and without long excerpts" >&2
  "$build"/bin/korvid_tasks_bench --benchmark_filter='workspaceOpen/excerptChars:(0|3000)/' \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_format=json \
    >"$out/tasks.json" 2>/dev/null
fi
if ! skipped pdf; then
  echo "· korvid-excerpt against pdftotext -l 6 and a minimal poppler-cpp program" >&2
  python3 bench/excerpts/compare.py "$build"/bin/korvid-excerpt --groups pdf --runs "$runs" \
    "${count[@]}" --json "$out/pdf.json" >&2 || true
fi
if ! skipped ocr; then
  echo "· korvid-excerpt against the tesseract CLI on the Chinese photo" >&2
  python3 bench/excerpts/compare.py "$build"/bin/korvid-excerpt --groups images --files images/chinese.jpg \
    --runs "$runs" "${count[@]}" --json "$out/ocr.json" >&2 || true
fi
if ! skipped shell; then
  # Each run starts two processes and signs in (about 25 s); start-up swings
  # between runs, so the shell takes as many runs as the rest.
  echo "· shell against a bare WebKitGTK window" >&2
  KORVID_BENCH_JSON="$out/shell.json" dbus-run-session -- xvfb-run -a -s "-screen 0 1280x900x24" \
    bench/shell/run.sh "$build" "$runs" >&2 || true
fi
uptime >"$out/load-after"

python3 - "$out" <<'PY'
import json, os, sys
d = sys.argv[1]
def load(name):
    p = os.path.join(d, name)
    return json.load(open(p)) if os.path.exists(p) and os.path.getsize(p) else None
rows = []
def row(measure, ours, peer, ratio, target):
    rows.append((measure, ours, peer, ratio, target))

def ratios(group):
    text = f'{group["geomean"]:.2f}× wall, {group["cpuGeomean"]:.2f}× CPU'
    if "instructionsGeomean" in group:
        text += f', {group["instructionsGeomean"]:.2f}× instructions'
    return text

shell = load("shell.json")
if shell:
    row('page → host → page round trip ("session")', f'{shell["appTripMs"]:.3f} ms',
        f'bare WebKitGTK script-message reply {shell["bareTripMs"]:.3f} ms',
        f'{shell["appTripMs"] / shell["bareTripMs"]:.2f}×', '≤ 1.1×')
    if "pageBareTripMs" in shell:
        row('  the same in the main page against a bare reply there, interleaved', f'{shell["pageShellTripMs"]:.3f} ms',
            f'page-world script-message reply {shell["pageBareTripMs"]:.3f} ms',
            f'{shell["pageShellTripMs"] / shell["pageBareTripMs"]:.2f}×', '≤ 1.1×')
        row('  our bridge without the host against a bare web-process extension', f'{shell["channelTripMs"]:.3f} ms',
            f'extension answered at once {shell["extensionTripMs"]:.3f} ms',
            f'{shell["channelTripMs"] / shell["extensionTripMs"]:.2f}×', '— (our part)')
        row('  isolated-world relay (the other channel) against a bare reply', f'{shell["pageRelayTripMs"]:.3f} ms',
            f'page-world reply {shell["pageBareTripMs"]:.3f} ms',
            f'{shell["pageRelayTripMs"] / shell["pageBareTripMs"]:.2f}×', '— (the platform)')
host = load("host.json")
if host:
    meds = [b for b in host["benchmarks"] if b.get("aggregate_name") == "median"]
    med = {b["run_name"].split("/")[0]: b["real_time"] for b in meds}
    cpu = {b["run_name"].split("/")[0]: b["cpu_time"] for b in meds}
    bare = "BareCurlGet"
    for name, label, target in (("HostRequestGetOnMainLoop", "service GET through the request layer (libcurl on the main loop)", "≤ 1.2×"),
                                ("HostRequestGetThreadOnGLib", "  the same with the transport on its own thread (before)", "—")):
        row(label, f"{med[name] / 1000:.0f} µs, process CPU {cpu[name] / 1000:.0f} µs",
            f"bare reused-handle libcurl GET {med[bare] / 1000:.0f} µs, process CPU {cpu[bare] / 1000:.0f} µs",
            f"{med[name] / med[bare]:.2f}× wall, {cpu[name] / cpu[bare]:.2f}× CPU", target)
pdf = load("pdf.json")
if pdf and "pdf" in pdf:
    g = pdf["pdf"]
    ours = [f["ours"] * 1000 for f in g["files"]]
    peer = [f["peer"] * 1000 for f in g["files"]]
    row(f'korvid-excerpt on {len(ours)} PDFs (geometric mean)', f"{min(ours):.0f}–{max(ours):.0f} ms",
        f"pdftotext -l 6 {min(peer):.0f}–{max(peer):.0f} ms", ratios(g), "≤ 1.0×")
    if "floor" in g:
        # What poppler's public C++ interface costs by itself: a program that
        # only opens the file and lays out the same pages through poppler-cpp.
        fl = g["floor"]
        floor = [f["floor"] * 1000 for f in g["files"]]
        def pair(kind):
            text = f'{fl[kind + "Geomean"]:.2f}× wall, {fl[kind + "CpuGeomean"]:.2f}× CPU'
            if kind + "InstructionsGeomean" in fl:
                text += f', {fl[kind + "InstructionsGeomean"]:.2f}× instructions'
            return text
        row("  the same against the minimal poppler-cpp program, interleaved", f"{min(ours):.0f}–{max(ours):.0f} ms",
            f"load_from_file + 6 pages' text {min(floor):.0f}–{max(floor):.0f} ms", pair("ours"), "— (1.0× = at the floor)")
        row("  minimal poppler-cpp program against pdftotext -l 6", f"{min(floor):.0f}–{max(floor):.0f} ms",
            f"pdftotext -l 6 {min(peer):.0f}–{max(peer):.0f} ms", pair("peer"), "— (the platform)")
ocr = load("ocr.json")
if ocr and "images" in ocr:
    f = ocr["images"]["files"][0]
    row("korvid-excerpt on a Chinese photo", f'{f["ours"] * 1000:.0f} ms',
        f'tesseract CLI {f["peer"] * 1000:.0f} ms', ratios(ocr["images"]), "≤ 1.0×")
tasks = load("tasks.json")
if tasks:
    med = {b["run_name"]: b["real_time"] for b in tasks["benchmarks"] if b.get("aggregate_name") == "median"}
    long = next(v for k, v in med.items() if ":3000/" in k or k.endswith(":3000"))
    none = next(v for k, v in med.items() if ":0/" in k or k.endswith(":0"))
    row("workspaceOpen, 1,000 tasks × 3 attachments with 3,000-character excerpts", f"{long:.1f} ms",
        f"(same with no excerpts: {none:.1f} ms)", f"{long / none:.2f}× of no excerpts", "≤ 25 ms")
if shell:
    row("start → sign-in ready", f'{shell["appStartMs"]:.0f} ms', f'bare window {shell["bareStartMs"]:.0f} ms',
        f'{shell["appStartMs"] / shell["bareStartMs"]:.2f}×', "≤ 1.1×")
    row("memory with the main page loaded (PSS)", f'{shell["appPssKB"] / 1024:.0f} MB',
        f'bare window {shell["barePssKB"] / 1024:.0f} MB', f'{shell["appPssKB"] / shell["barePssKB"]:.2f}×', "≤ 1.1×")

print("| measure | ours | peer in the same run | ratio | target |")
print("|---|---|---|---|---|")
for r in rows:
    print("| " + " | ".join(r) + " |")
print()
print("load before:" + open(os.path.join(d, "load-before")).read().split("load average:")[1].rstrip())
print("load after: " + open(os.path.join(d, "load-after")).read().split("load average:")[1].rstrip())
PY
