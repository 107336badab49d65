#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Large-file benchmark: zendra (bench/ftpfetch) beside the curl CLI, in one run, against ProFTPD
# from Debian on 127.0.0.1 (tests/support/proftpd.sh, TLS allowed), which serves faster than
# either client reads. One file of ZENDRA_BENCH_BIG_MIB MiB (default 256) of random bytes:
#   - into memory: ftpfetch URL (the bytes kept in a QByteArray) / curl -o a file on tmpfs;
#   - into a file: ftpfetch --first-into FILE URL / curl -o FILE, both in the same directory;
# each over plain FTP (neither side asks for TLS) and explicit FTPS (ftpfetch with the default
# settings, TLS tried and accepted; curl --ssl-reqd; both verify with the test root CA).
# Pairs of runs alternate; medians of wall time and of CPU time (user + system of the process, from
# bash's time) over ZENDRA_BENCH_REPS pairs (default 7). ZENDRA_BENCH_ONLY (an extended
# regular expression) picks cases by their label, e.g. "FTPS". uptime is printed before and after.
# Needs a Release build in ZENDRA_BUILD_DIR (default build) with ftpfetch.
set -euo pipefail

cd "$(dirname "$0")/.."
build=${ZENDRA_BUILD_DIR:-build}
reps=${ZENDRA_BENCH_REPS:-7}
big_mib=${ZENDRA_BENCH_BIG_MIB:-256}
only=${ZENDRA_BENCH_ONLY:-}
fetch=$build/bench/ftpfetch
[ -x "$fetch" ] || {
    echo "transfer.sh: $fetch missing; build with cmake --build $build -j2" >&2
    exit 1
}
fetch=$(realpath "$fetch")

work=$(mktemp -d "${TMPDIR:-/tmp}/zendra-bench.XXXXXX")
shm=$(mktemp -d /dev/shm/zendra-bench.XXXXXX)
# Run as root, proftpd's sessions are nobody's and need to pass through to the served directory.
chmod 711 "$work"
source scripts/ftpserver.sh
source bench/setup.sh
cleanup() {
    ftp_server_stop
    rm -rf "$work" "$shm"
}
trap cleanup EXIT

bench_setup "$work" "$big_mib" big.bin 0 .
mkdir -m 700 "$work/proftpd"
server_start "$work/proftpd" bash tests/support/proftpd.sh "$work/proftpd" "$work/ftp" "$user" \
    "$password" allowed "$work/certs/fullchain.pem" "$work/certs/server.key" || exit 1
url=ftp://127.0.0.1:$SERVER_PORT/big.bin
echo "server: $(proftpd --version 2>&1) on 127.0.0.1:$SERVER_PORT (TLS allowed);" \
    "zendra: bench/ftpfetch; reference: $(curl --version | head -n 1 | cut -d' ' -f1-2);" \
    "$(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
echo "load before: $(uptime)"

# run COMMAND...: prints "WALL CPU" in seconds; a failing command stops the benchmark.
run() {
    local TIMEFORMAT='%R %U %S'
    if ! { time "$@" >"$work/last.out" 2>"$work/last.err"; } 2>"$work/time"; then
        echo "transfer.sh: failed: $*" >&2
        tail -n 5 "$work/last.err" >&2
        exit 1
    fi
    awk '{ printf "%.3f %.2f\n", $1, $2 + $3 }' "$work/time"
}
big_size=$(stat -c %s "$work/ftp/big.bin")
# check FILE: the whole file arrived; removed for the next run.
check() {
    [ "$(stat -c %s "$1")" = "$big_size" ] || {
        echo "transfer.sh: wrong size of $1" >&2
        exit 1
    }
    rm -f "$1"
}
# memory ARGS...: ftpfetch keeps the whole file in memory.
memory() {
    "$fetch" "$@" "$url" 2>"$work/fetch.err" && grep -q " $big_size bytes, 0 empty" "$work/fetch.err"
}
zendra_memory_ftp() { memory --no-ssl; }
curl_tmpfs_ftp() { curl -sS -u "$user:$password" -o "$shm/out.bin" "$url" && check "$shm/out.bin"; }
zendra_file_ftp() { "$fetch" --no-ssl --first-into "$work/out.bin" "$url" && check "$work/out.bin"; }
curl_file_ftp() { curl -sS -u "$user:$password" -o "$work/out.bin" "$url" && check "$work/out.bin"; }
zendra_memory_ftps() { memory --ca "$ca"; }
curl_tmpfs_ftps() {
    curl -sS --ssl-reqd --cacert "$ca" -u "$user:$password" -o "$shm/out.bin" "$url" \
        && check "$shm/out.bin"
}
zendra_file_ftps() { "$fetch" --ca "$ca" --first-into "$work/out.bin" "$url" && check "$work/out.bin"; }
curl_file_ftps() {
    curl -sS --ssl-reqd --cacert "$ca" -u "$user:$password" -o "$work/out.bin" "$url" \
        && check "$work/out.bin"
}

results=()
# compare LABEL ZENDRA CURL TARGET: alternating pairs; ratio = zendra's throughput / curl's.
compare() {
    local label=$1 zendra=$2 reference=$3 target=$4 rep
    [ -z "$only" ] || grep -qE -- "$only" <<<"$label" || return 0
    : >"$work/a"
    : >"$work/b"
    for rep in $(seq 1 "$reps"); do
        run "$zendra" >>"$work/a"
        run "$reference" >>"$work/b"
    done
    local wa wb ca cb
    wa=$(awk '{ print $1 }' "$work/a" | median)
    wb=$(awk '{ print $1 }' "$work/b" | median)
    ca=$(awk '{ print $2 }' "$work/a" | median)
    cb=$(awk '{ print $2 }' "$work/b" | median)
    echo "$label: zendra $(awk '{ printf "%s%s", (NR > 1 ? " " : ""), $1 }' "$work/a") s;" \
        "curl $(awk '{ printf "%s%s", (NR > 1 ? " " : ""), $1 }' "$work/b") s"
    results+=("$(awk -v l="$label" -v a="$wa" -v b="$wb" -v ca="$ca" -v cb="$cb" -v s="$big_size" \
        -v t="$target" 'BEGIN { printf "| %s | %.3f s (%.2f GB/s), CPU %.2f s | %.3f s (%.2f GB/s), CPU %.2f s | %.2f | >= %s, %s |",
            l, a, s / a / 1e9, ca, b, s / b / 1e9, cb, b / a, t, (b / a >= t ? "met" : "missed") }')")
}

echo
echo "== ${big_mib} MiB, $reps alternating pairs each; wall times per run"
compare "FTP, into memory / curl into a tmpfs file" zendra_memory_ftp curl_tmpfs_ftp 0.8
compare "FTP, into a file / curl into a file" zendra_file_ftp curl_file_ftp 0.95
compare "FTPS, into memory / curl into a tmpfs file" zendra_memory_ftps curl_tmpfs_ftps 0.8
compare "FTPS, into a file / curl into a file" zendra_file_ftps curl_file_ftps 0.95
echo "load after: $(uptime)"

echo
echo "== summary (medians; ratio = zendra's throughput / curl's)"
echo "| Case | zendra (ftpfetch) | curl CLI | ratio | target |"
echo "|---|---|---|---|---|"
printf '%s\n' "${results[@]}"
