#!/usr/bin/env bash
# Runs a Windows test program under Wine against the real native sensor agent:
#
#   with_agent.sh AGENT READINGS PROGRAM [ARG]...
#
# starts AGENT on 127.0.0.1 with a free port and the KEY=VALUE file READINGS as its source,
# reads the port from the agent's start line, runs PROGRAM through scripts/tools/wine-run.sh with
# VORN_AGENT_HOST=127.0.0.1:<port> in its environment, stops the agent and exits with the
# program's status (125 when the program cannot run here, as wine-run.sh says).
set -euo pipefail

if [ $# -lt 3 ]; then
    echo "usage: $0 AGENT READINGS PROGRAM [ARG]..." >&2
    exit 2
fi
agent=$1
readings=$2
shift 2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_run=$here/../../scripts/tools/wine-run.sh
# shellcheck source=scripts/lib/listening-port.sh
. "$here/../../scripts/lib/listening-port.sh"

if [ ! -x "$agent" ]; then
    echo "with_agent: no agent at $agent (build the native preset first)" >&2
    exit 1
fi
if [ ! -r "$readings" ]; then
    echo "with_agent: cannot read $readings" >&2
    exit 1
fi

log=$(mktemp)
agent_pid=
# shellcheck disable=SC2317  # called by the EXIT trap
stop_agent() {
    if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
        kill -TERM "$agent_pid" 2>/dev/null || true
        # SIGTERM ends it at once; bounded anyway.
        for _ in $(seq 50); do
            kill -0 "$agent_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$agent_pid" 2>/dev/null || true
        wait "$agent_pid" 2>/dev/null || true
    fi
    rm -f "$log"
}
trap stop_agent EXIT

# Without the per-source rate limit: the tests ask faster than a bar does, and the limit has
# tests of its own.
"$agent" --listen 127.0.0.1:0 --rate 0 --source "file:$readings" 2>"$log" &
agent_pid=$!

if ! port=$(vorn_listening_port "$log" "$agent_pid"); then
    echo "with_agent: the agent gave no start line with a port:" >&2
    cat "$log" >&2
    exit 1
fi
echo "with_agent: agent pid $agent_pid on 127.0.0.1:$port" >&2

status=0
VORN_AGENT_HOST=127.0.0.1:$port "$wine_run" "$@" || status=$?
exit "$status"
