# SPDX-License-Identifier: MIT
# Local test servers for shell scripts, on 127.0.0.1; sourced by the main job and the benchmarks.
#   server_start STATEDIR COMMAND [ARGS...]
#       runs a server (tests/support/ftpserver.py or proftpd.sh) that prints "PORT <n>" once it
#       listens and ends when its standard input closes; sets SERVER_PID and SERVER_PORT. Its
#       standard input is a fifo that this shell holds open, so it also goes when the shell dies;
#       its own messages go to STATEDIR/server.err.
#   ftp_server_start STATEDIR [ftpserver.py options]
#       the test suite's pyftpdlib server; sets FTP_SERVER_PID and FTP_SERVER_PORT.
#   ftp_server_stop
#       stops every server started so far, by its pid.
server_pids=()
server_fds=()
server_start() {
    local state=$1 fd
    shift
    mkdir -p "$state"
    rm -f "$state/server.stdin" "$state/server.out"
    mkfifo "$state/server.stdin"
    "$@" <"$state/server.stdin" >"$state/server.out" 2>"$state/server.err" &
    SERVER_PID=$!
    server_pids+=("$SERVER_PID")
    exec {fd}>"$state/server.stdin"
    server_fds+=("$fd")
    for _ in $(seq 200); do
        SERVER_PORT=$(sed -n 's/^PORT //p' "$state/server.out")
        [ -z "$SERVER_PORT" ] || return 0
        kill -0 "$SERVER_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "server_start: $1 did not start" >&2
    cat "$state/server.err" >&2
    return 1
}
ftp_server_start() {
    local state=$1
    shift
    server_start "$state" /usr/bin/python3 \
        "$(dirname "${BASH_SOURCE[0]}")/../tests/support/ftpserver.py" "$@" || return 1
    FTP_SERVER_PID=$SERVER_PID FTP_SERVER_PORT=$SERVER_PORT
}
ftp_server_stop() {
    local fd pid
    for fd in "${server_fds[@]}"; do
        exec {fd}>&- 2>/dev/null || true
    done
    for pid in "${server_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    server_fds=() server_pids=()
}
