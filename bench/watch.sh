#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Watching and stopping requests, with bench/ftpfetch against the test suite's pyftpdlib server
# (tests/support/ftpserver.py) on 127.0.0.1, plain FTP:
#   - cancel latency: from cancelAll() to the callback, 300 ms after the first bytes arrived,
#     while the server is silent (it stops sending after 1 MB) and while it sends at 10 MB/s;
#   - the cost of a progress handler: a download of ZENDRA_BENCH_BIG_MIB (default 1024) MiB into
#     memory with and without one, alternating runs.
# ZENDRA_BENCH_REPS (default 5) runs each; needs a Release build in ZENDRA_BUILD_DIR (build).
set -euo pipefail

cd "$(dirname "$0")/.."
build=${ZENDRA_BUILD_DIR:-build}
reps=${ZENDRA_BENCH_REPS:-5}
big_mib=${ZENDRA_BENCH_BIG_MIB:-1024}
fetch=$(realpath "$build/bench/ftpfetch")
work=$(mktemp -d "${TMPDIR:-/tmp}/zendra-bench.XXXXXX")
source scripts/ftpserver.sh
cleanup() {
    ftp_server_stop
    rm -rf "$work"
}
trap cleanup EXIT
source bench/setup.sh
bench_setup "$work" "$big_mib" big.bin 0 small

elapsed() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null 2>"$work/last.err" || {
        echo "watch.sh: failed: $*" >&2
        exit 1
    }
    awk -v end="$EPOCHREALTIME" -v start="$start" 'BEGIN { printf "%.4f\n", end - start }'
}

for server in "--stall-after 1000000" "--rate 10000000"; do
    ftp_server_stop
    # shellcheck disable=SC2086
    ftp_server_start "$work" --user "$user" --password "$password" --home "$work/ftp" $server
    latencies=()
    for _ in $(seq 1 "$reps"); do
        latencies+=("$("$fetch" --no-ssl --cancel-after 300 \
            "ftp://127.0.0.1:$FTP_SERVER_PORT/big.bin" 2>/dev/null | sed -n 's/^cancel latency //p')")
    done
    echo "cancel latency, server $server: median $(printf '%s\n' "${latencies[@]%% ms}" | median) ms," \
        "runs: ${latencies[*]}"
done

ftp_server_stop
ftp_server_start "$work" --user "$user" --password "$password" --home "$work/ftp"
url=ftp://127.0.0.1:$FTP_SERVER_PORT/big.bin
plain=() watched=()
for _ in $(seq 1 "$reps"); do
    plain+=("$(elapsed "$fetch" --no-ssl "$url")")
    watched+=("$(elapsed "$fetch" --no-ssl --progress "$url")")
done
mp=$(printf '%s\n' "${plain[@]}" | median)
mw=$(printf '%s\n' "${watched[@]}" | median)
echo "$big_mib MiB into memory: without progress handler $mp s, with $mw s" \
    "($(grep 'progress calls' "$work/last.err")); ratio $(awk -v a="$mp" -v b="$mw" 'BEGIN { printf "%.3f", a / b }')"
echo "runs without: ${plain[*]}; with: ${watched[*]}"
