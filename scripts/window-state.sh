#!/usr/bin/env bash
# window-state.sh CUA_DRIVER PID: the accessibility tree of the Korvid window
# of process PID, as the driver's JSON-RPC reply to "get_window_state" (one
# line), or nothing while that window does not exist yet.
set -uo pipefail
driver=$1 pid=$2
window=$(xwininfo -root -tree 2>/dev/null | awk '/"Korvid": \("com.vantorel.desktop"/ { print $1; exit }')
[ -n "$window" ] || exit 0
printf '%s\n' \
  '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"korvid-scripts","version":"1"}}}' \
  '{"jsonrpc":"2.0","method":"notifications/initialized"}' \
  "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/call\",\"params\":{\"name\":\"get_window_state\",\"arguments\":{\"pid\":$pid,\"window_id\":$((window))}}}" \
  | timeout 20 "$driver" mcp --direct 2>/dev/null | grep '"id":2'
exit 0
