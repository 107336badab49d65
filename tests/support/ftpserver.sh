# SPDX-License-Identifier: MIT
# Shell side of the FTP server fixture, sourced by scripts/main-job.sh and bench/transfer.sh.
#
#   ftp_server_start STATEDIR [ftpserver.py options...]
#       starts tests/support/ftpserver.py (system python3) on 127.0.0.1 and waits, bounded,
#       until it listens; sets FTP_SERVER_PID and FTP_SERVER_PORT. Returns non-zero on failure.
#   ftp_server_stop
#       stops the server by its pid (idempotent); call it from an EXIT trap.
#
# The server exits by itself when its standard input closes; that is a fifo whose writing end
# the calling shell holds on fd 8, so it also goes when the shell dies.

FTP_SERVER_PID=""
FTP_SERVER_PORT=""

ftp_server_start() {
    local state=$1
    shift
    local script
    script="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/ftpserver.py"
    rm -f "$state/server.stdin" "$state/server.out"
    mkfifo "$state/server.stdin"
    /usr/bin/python3 "$script" "$@" <"$state/server.stdin" >"$state/server.out" &
    FTP_SERVER_PID=$!
    exec 8>"$state/server.stdin"
    local attempt
    for attempt in $(seq 1 200); do
        FTP_SERVER_PORT=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$state/server.out")
        [ -n "$FTP_SERVER_PORT" ] && return 0
        kill -0 "$FTP_SERVER_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "ftp_server_start: the server did not report its port" >&2
    return 1
}

ftp_server_stop() {
    exec 8>&- 2>/dev/null || true
    if [ -n "$FTP_SERVER_PID" ] && kill -0 "$FTP_SERVER_PID" 2>/dev/null; then
        kill "$FTP_SERVER_PID" 2>/dev/null || true
        wait "$FTP_SERVER_PID" 2>/dev/null || true
    fi
    FTP_SERVER_PID=""
}
