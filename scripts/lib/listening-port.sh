# shellcheck shell=bash
# Sourced by the scripts that start a loopback server of ours (the agent, the fault relay) on
# port 0 and need the port the system gave it.
#
#   port=$(vorn_listening_port LOG PID)
#
# waits up to ten seconds for the server's start line "listening on 127.0.0.1:PORT" in LOG and
# prints PORT; fails at once if process PID has ended, and when no such line came in time.

vorn_listening_port() {
    local log=$1 pid=$2 port=''
    for _ in $(seq 100); do
        port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$log" | head -1)
        [ -n "$port" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$port" ] && [ "$port" != 0 ] || return 1
    echo "$port"
}
