#!/usr/bin/env bash
# Runs the request benchmark with the two peers interleaved and prints the
# median latency of each and their ratios (host / bare libcurl), for the
# request layer on the main loop (as the application runs it) and with the
# transport on its own thread.
# Usage: bench/host/compare.sh [build folder]   (a Release build is best)
set -euo pipefail
build=${1:-build/release}
"$build"/bin/korvid_host_bench --benchmark_enable_random_interleaving=true \
  --benchmark_repetitions=9 --benchmark_report_aggregates_only=true --benchmark_format=json \
  | python3 -c '
import json, sys
meds = [b for b in json.load(sys.stdin)["benchmarks"] if b.get("aggregate_name") == "median"]
wall = {b["run_name"].split("/")[0]: b["real_time"] for b in meds}
cpu = {b["run_name"].split("/")[0]: b["cpu_time"] for b in meds}
bare = "BareCurlGet"
print(f"bare libcurl GET median {wall[bare]/1000:.1f} us (process CPU {cpu[bare]/1000:.1f} us)")
for name, label in (("HostRequestGetOnMainLoop", "host request GET on the main loop"),
                    ("HostRequestGetThreadOnGLib", "with the transport on its own thread")):
    print(f"{label}: {wall[name]/1000:.1f} us, ratio {wall[name]/wall[bare]:.2f}; "
          f"process CPU {cpu[name]/1000:.1f} us, ratio {cpu[name]/cpu[bare]:.2f}")
'
