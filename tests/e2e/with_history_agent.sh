#!/usr/bin/env bash
# Runs a Windows test program under Wine against the real native agent keeping its history in a
# file, and restarts the agent when the program asks:
#
#   with_history_agent.sh AGENT PROGRAM [ARG]...
#
# The agent reads the KEY=VALUE file $VORN_AGENT_DIR/readings.txt (TCPU=40 to begin with),
# samples every 100 ms and keeps its history in $VORN_AGENT_DIR/history; it listens on
# 127.0.0.1 on the port of its first start (VORN_AGENT_HOST), every time. The program asks for
# a restart by creating $VORN_AGENT_DIR/restart; once the agent is up again (stopped with
# SIGTERM, which saves the history) the file is gone and $VORN_AGENT_DIR/restarted counts the
# restarts. Exits with the program's status (125 when it cannot run here).
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 AGENT PROGRAM [ARG]..." >&2
    exit 2
fi
agent=$1
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_run=$here/../../scripts/tools/wine-run.sh
# shellcheck source=scripts/lib/listening-port.sh
. "$here/../../scripts/lib/listening-port.sh"

if [ ! -x "$agent" ]; then
    echo "with_history_agent: no agent at $agent (build the native preset first)" >&2
    exit 1
fi

dir=$(mktemp -d)
log=$dir/agent.log
supervisor_pid=
# The agent's pid lives in a file: the supervisor below starts the later agents.
# shellcheck disable=SC2317  # called by the EXIT trap and the supervisor
stop_agent() {
    local agent_pid
    agent_pid=$(cat "$dir/agent.pid" 2>/dev/null || true)
    if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
        kill -TERM "$agent_pid" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$agent_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$agent_pid" 2>/dev/null || true
        wait "$agent_pid" 2>/dev/null || true
    fi
}
# shellcheck disable=SC2317
cleanup() {
    if [ -n "$supervisor_pid" ]; then
        kill "$supervisor_pid" 2>/dev/null || true
        wait "$supervisor_pid" 2>/dev/null || true
    fi
    stop_agent
    rm -rf "$dir"
}
trap cleanup EXIT

printf 'TCPU=40\n' >"$dir/readings.txt"
start_agent() {
    "$agent" --listen "127.0.0.1:$1" --rate 0 --interval 100 --source "file:$dir/readings.txt" \
        --history-file "$dir/history" 2>>"$log" &
    agent_pid=$!
    echo "$agent_pid" >"$dir/agent.pid"
}
start_agent 0
if ! port=$(vorn_listening_port "$log" "$agent_pid"); then
    echo "with_history_agent: the agent gave no start line with a port:" >&2
    cat "$log" >&2
    exit 1
fi
echo "with_history_agent: agent pid $agent_pid on 127.0.0.1:$port, files in $dir" >&2

# Restarts on request, on the same port, for ten minutes at most.
(
    restarts=0
    for _ in $(seq 3000); do
        if [ -e "$dir/restart" ]; then
            stop_agent
            : >"$log"
            start_agent "$port"
            vorn_listening_port "$log" "$agent_pid" >/dev/null || exit 1
            restarts=$((restarts + 1))
            echo "$restarts" >"$dir/restarted"
            rm -f "$dir/restart"
            echo "with_history_agent: restarted, pid $agent_pid" >&2
        fi
        sleep 0.2
    done
    wait
) &
supervisor_pid=$!

status=0
VORN_AGENT_HOST=127.0.0.1:$port VORN_AGENT_DIR=$dir "$wine_run" "$@" || status=$?
exit "$status"
