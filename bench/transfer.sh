#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Transfer benchmark: zendra (zendra-cli, bench/ftpfetch) beside the curl CLI, in one run,
# against the same local pyftpdlib server (tests/support/ftpserver.py) on 127.0.0.1.
#   - one large file (1 GiB) over plain FTP and explicit FTPS, into a file and into memory
#     (curl writes to /dev/null there; curl into a tmpfs file is shown as well, since filling
#     memory is part of what zendra does);
#   - 200 files of 4 KiB over FTP: ftpfetch queuing all at once, one curl with 200 URLs (one
#     connection), 200 separate curl runs.
# Plain FTP runs against a server without TLS, FTPS against one that requires it.
# A and B runs alternate; medians over ZENDRA_BENCH_REPS repetitions (default 5).
# ZENDRA_BENCH_ONLY (an extended regular expression) picks cases by their label, e.g. "FTPS".
# Needs a Release build in ZENDRA_BUILD_DIR (default build) with zendra-cli and ftpfetch.
set -euo pipefail

cd "$(dirname "$0")/.."
build=${ZENDRA_BUILD_DIR:-build}
reps=${ZENDRA_BENCH_REPS:-5}
big_mib=${ZENDRA_BENCH_BIG_MIB:-1024}
small_count=${ZENDRA_BENCH_SMALL_COUNT:-200}
only=${ZENDRA_BENCH_ONLY:-}
cli=$build/examples/zendra-cli
fetch=$build/bench/ftpfetch
for program in "$cli" "$fetch"; do
    [ -x "$program" ] || {
        echo "transfer.sh: $program missing; build with cmake --build $build -j2" >&2
        exit 1
    }
done
cli=$(realpath "$cli")
fetch=$(realpath "$fetch")

work=$(mktemp -d "${TMPDIR:-/tmp}/zendra-bench.XXXXXX")
shm=$(mktemp -d /dev/shm/zendra-bench.XXXXXX)
source scripts/ftpserver.sh
cleanup() {
    ftp_server_stop
    rm -rf "$work" "$shm"
}
trap cleanup EXIT

source bench/setup.sh
bench_setup "$work" "$big_mib" big.bin "$small_count" small
start_server() {
    ftp_server_stop
    ftp_server_start "$work" --user "$user" --password "$password" --home "$work/ftp" "$@"
    base=ftp://127.0.0.1:$FTP_SERVER_PORT
}
start_server --tls off
echo "server: pyftpdlib $(/usr/bin/python3 -c 'import pyftpdlib; print(pyftpdlib.__ver__)') on" \
    "127.0.0.1:$FTP_SERVER_PORT; $(curl --version | head -n 1 | cut -d' ' -f1-2);" \
    "$(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"

# Commands of the large-file cases.
big_size=$(stat -c %s "$work/ftp/big.bin")
check_file() {
    [ "$(stat -c %s "$1")" = "$big_size" ] || {
        echo "transfer.sh: wrong size of $1" >&2
        exit 1
    }
    rm -f "$1"
}
zendra_file_ftp() { "$cli" get --no-ssl --user "$user" "$base/big.bin" "$work/out.bin"; }
curl_file_ftp() { curl -sS -u "$user:$password" -o "$work/out.bin" "$base/big.bin"; }
zendra_mem_ftp() { "$fetch" --no-ssl "$base/big.bin"; }
zendra_stdout_ftp() { "$cli" get --no-ssl --user "$user" "$base/big.bin" >/dev/null; }
curl_mem_ftp() { curl -sS -u "$user:$password" -o /dev/null "$base/big.bin"; }
curl_shm_ftp() { curl -sS -u "$user:$password" -o "$shm/out.bin" "$base/big.bin"; }
zendra_file_ftps() { "$cli" get --ca "$ca" --user "$user" "$base/big.bin" "$work/out.bin"; }
curl_file_ftps() {
    curl -sS --ssl-reqd --cacert "$ca" -u "$user:$password" -o "$work/out.bin" "$base/big.bin"
}
zendra_mem_ftps() { "$fetch" --ca "$ca" "$base/big.bin"; }
zendra_stdout_ftps() { "$cli" get --ca "$ca" --user "$user" "$base/big.bin" >/dev/null; }
curl_mem_ftps() {
    curl -sS --ssl-reqd --cacert "$ca" -u "$user:$password" -o /dev/null "$base/big.bin"
}
curl_shm_ftps() {
    curl -sS --ssl-reqd --cacert "$ca" -u "$user:$password" -o "$shm/out.bin" "$base/big.bin"
}

selected() {
    [ -z "$only" ] || grep -qE -- "$only" <<<"$1"
}

results=()
# compare LABEL ZENDRA CURL [ZENDRA'S FILE [CURL'S FILE]]: alternating runs, each file checked
# and removed after its run; throughput from the medians.
compare() {
    local label=$1 zendra=$2 reference=$3 zendra_file=${4:-} curl_file=${5:-${4:-}}
    selected "$label" || return 0
    local a=() b=() rep
    for rep in $(seq 1 "$reps"); do
        a+=("$(elapsed "$zendra")")
        [ -z "$zendra_file" ] || check_file "$zendra_file"
        b+=("$(elapsed "$reference")")
        [ -z "$curl_file" ] || check_file "$curl_file"
    done
    local ma mb
    ma=$(printf '%s\n' "${a[@]}" | median)
    mb=$(printf '%s\n' "${b[@]}" | median)
    local line
    line=$(awk -v l="$label" -v a="$ma" -v b="$mb" -v s="$big_size" 'BEGIN {
        printf "| %s | %.3f s (%.2f GB/s) | %.3f s (%.2f GB/s) | %.2f |", l, a, s / a / 1e9, b,
            s / b / 1e9, b / a }')
    echo "$line   runs zendra: ${a[*]}; curl: ${b[*]}"
    results+=("$line")
}

echo
echo "== large file (${big_mib} MiB) over FTP, $reps alternating runs each"
compare "FTP, into a file (zendra-cli get FILE / curl -o FILE)" zendra_file_ftp curl_file_ftp \
    "$work/out.bin"
compare "FTP, into memory (ftpfetch / curl -o /dev/null)" zendra_mem_ftp curl_mem_ftp
compare "FTP, to stdout (zendra-cli get >/dev/null / curl -o /dev/null)" zendra_stdout_ftp \
    curl_mem_ftp
compare "FTP, into memory (ftpfetch / curl -o tmpfs file)" zendra_mem_ftp curl_shm_ftp "" \
    "$shm/out.bin"

small_label="$small_count x 4 KiB, FTP"
small_line=""
if selected "$small_label"; then
    echo
    echo "== $small_count files of 4 KiB over FTP, $reps alternating runs each"
    urls=()
    curl_args=()
    for i in $(seq 1 "$small_count"); do
        urls+=("$base/small/f$i.bin")
        curl_args+=(-o /dev/null "$base/small/f$i.bin")
    done
    zendra_small() { "$fetch" --no-ssl --timings "${urls[@]}"; }
    curl_one() { curl -sS -u "$user:$password" -w '%{time_total}\n' "${curl_args[@]}"; }
    curl_many() {
        local url
        for url in "${urls[@]}"; do
            curl -sS -u "$user:$password" -o /dev/null "$url"
        done
    }
    # Files that took over a second: libcurl's occasional wait after the passive-mode reply.
    stalls() {
        awk -v ms="$1" '$1 * ms > 1000 { n++ } END { print n + 0 }' "$work/last.out"
    }
    # Median time of one file in milliseconds, stalls aside.
    file_median() {
        awk -v ms="$1" '{ print $1 * ms }' "$work/last.out" | median
    }
    sa=() sb=() sc=() stall_a=() stall_b=() file_a=() file_b=()
    for rep in $(seq 1 "$reps"); do
        sa+=("$(elapsed zendra_small)")
        stall_a+=("$(stalls 1)")
        file_a+=("$(file_median 1)")
        sb+=("$(elapsed curl_one)")
        stall_b+=("$(stalls 1000)")
        file_b+=("$(file_median 1000)")
        sc+=("$(elapsed curl_many)")
    done
    ma=$(printf '%s\n' "${sa[@]}" | median)
    mb=$(printf '%s\n' "${sb[@]}" | median)
    mc=$(printf '%s\n' "${sc[@]}" | median)
    echo "runs ftpfetch: ${sa[*]} (stalled files per run: ${stall_a[*]};" \
        "median ms per file: ${file_a[*]})"
    echo "runs one curl: ${sb[*]} (stalled files per run: ${stall_b[*]};" \
        "median ms per file: ${file_b[*]})"
    echo "runs $small_count curls: ${sc[*]}"
    sum() { printf '%s\n' "$@" | awk '{ s += $1 } END { print s + 0 }'; }
    small_line=$(awk -v a="$ma" -v b="$mb" -v c="$mc" -v n="$small_count" -v fa="$(sum "${stall_a[@]}")" \
        -v fb="$(sum "${stall_b[@]}")" -v runs="$reps" -v l="$small_label" 'BEGIN {
        printf "| %s | ftpfetch %.3f s (%.0f files/s, %d stalls in %d runs) | one curl %.3f s (%.0f files/s, %d stalls) | %d curls %.3f s (%.0f files/s) | %.2f | %.1f |",
            l, a, n / a, fa, runs, b, n / b, fb, n, c, n / c, b / a, c / a }')
fi

start_server --tls required --cert "$work/certs/fullchain.pem" --key "$work/certs/server.key"
echo
echo "== large file (${big_mib} MiB) over explicit FTPS, $reps alternating runs each"
compare "FTPS, into a file (zendra-cli get FILE / curl -o FILE)" zendra_file_ftps curl_file_ftps \
    "$work/out.bin"
compare "FTPS, into memory (ftpfetch / curl -o /dev/null)" zendra_mem_ftps curl_mem_ftps
compare "FTPS, to stdout (zendra-cli get >/dev/null / curl -o /dev/null)" zendra_stdout_ftps \
    curl_mem_ftps
compare "FTPS, into memory (ftpfetch / curl -o tmpfs file)" zendra_mem_ftps curl_shm_ftps "" \
    "$shm/out.bin"

echo
echo "== summary (medians; ratio = zendra throughput / curl throughput)"
echo "| Case | zendra | curl CLI | ratio |"
echo "|---|---|---|---|"
printf '%s\n' "${results[@]}"
echo
echo "| Files | zendra | curl, one invocation | curl, one invocation per file | ratio to one curl | ratio to separate curls |"
echo "|---|---|---|---|---|---|"
[ -z "$small_line" ] || echo "$small_line"
