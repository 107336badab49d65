# SPDX-License-Identifier: MIT
# Sourced by proftpd.sh, vsftpd.sh and pureftpd.sh, which share their interface:
#   SCRIPT STATEDIR HOME USER PASSWORD [off|allowed|required [CHAIN KEY [RATE]]]
# Each serves HOME to USER on 127.0.0.1 and a free port (TLS with the given chain, RATE bytes a
# second on data connections), prints "PORT <n>" once it listens, or "SKIP <why>" when it cannot
# run here, and runs until it is terminated or its standard input closes, then stops the server
# by its pid.
set -euo pipefail
state=$1 home=$2 user=$3 password=$4 tls=${5:-off} chain=${6:-} key=${7:-} rate=${8:--1}
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# vsftpd and Pure-FTPd conflict with proftpd-core, so install-deps.sh unpacks them here.
unpacked=${ZENDRA_TEST_SERVERS:-/var/cache/zendra/test-servers}

skip() {
    echo "SKIP $*"
    exit 0
}

serve() { # COMMAND...: the server, in the foreground of a background job
    "$@" &
    server=$! watcher=""
    trap 'kill "$server" $watcher 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
    trap 'exit 143' TERM INT
    local listening
    listening=$(printf '0100007F:%04X 00000000:0000 0A' "$port")
    for _ in $(seq 1 200); do
        grep -q "$listening" /proc/net/tcp && break
        kill -0 "$server" 2>/dev/null || exit 1
        sleep 0.05
    done
    grep -q "$listening" /proc/net/tcp || exit 1
    echo "PORT $port"
    cat <&0 >/dev/null &
    watcher=$!
    wait -n "$server" "$watcher"
}
