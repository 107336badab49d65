# SPDX-License-Identifier: MIT
# The suites' FTP server for shell scripts: "ftp_server_start STATEDIR [ftpserver.py options]"
# sets FTP_SERVER_PID and FTP_SERVER_PORT; "ftp_server_stop" ends it. Its standard input is a
# fifo held open on fd 8, so it also goes when the shell dies.
ftp_server_start() {
    local state=$1
    shift
    rm -f "$state/server.stdin" "$state/server.out"
    mkfifo "$state/server.stdin"
    /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/../tests/support/ftpserver.py" "$@" <"$state/server.stdin" \
        >"$state/server.out" &
    FTP_SERVER_PID=$!
    exec 8>"$state/server.stdin"
    for _ in $(seq 200); do
        FTP_SERVER_PORT=$(sed -n 's/^PORT //p' "$state/server.out")
        [ -z "$FTP_SERVER_PORT" ] || return 0
        sleep 0.1
    done
    return 1
}
ftp_server_stop() {
    exec 8>&- 2>/dev/null || true
    kill "${FTP_SERVER_PID:-}" 2>/dev/null || true
}
