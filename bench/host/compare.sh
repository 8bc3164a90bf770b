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
runs = {b["run_name"].split("/")[0]: b["real_time"] for b in json.load(sys.stdin)["benchmarks"] if b.get("aggregate_name") == "median"}
bare, loop, thread = runs["BareCurlGet"], runs["HostRequestGetOnMainLoop"], runs["HostRequestGetThreadOnGLib"]
print(f"bare libcurl GET median {bare/1000:.1f} us; host request GET on the main loop {loop/1000:.1f} us, ratio {loop/bare:.2f}; "
      f"with the transport on its own thread {thread/1000:.1f} us, ratio {thread/bare:.2f}")
'
