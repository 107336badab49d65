#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Upload benchmark: zendra (zendra-cli put, bench/ftpput) beside the curl CLI (-T), in one run,
# against ProFTPD from Debian on 127.0.0.1 (tests/support/proftpd.sh, with AllowOverwrite on):
#   - one file of ZENDRA_BENCH_BIG_MIB MiB (default 256) from a local file, over plain FTP and
#     over explicit FTPS (a server that requires TLS, verified with the test root CA on both
#     sides): zendra-cli put (through a temporary name and a rename, the default) against
#     curl -T;
#   - ZENDRA_BENCH_SMALL_COUNT files of 4 KiB (default 200) into one folder: ftpput queuing
#     every upload at once on one FtpService (safe, and --in-place) against one curl
#     invocation with a -T and a URL per file (one connection), over FTP, and over FTPS with a
#     server that lets data connections start TLS sessions of their own (TLSOptions
#     NoSessionReuseRequired): with ProFTPD's default, the curl CLI fails the second upload
#     of one invocation (425), and zendra logs in anew after each upload. That case runs too,
#     zendra alone, ZENDRA_BENCH_DEFAULT_REPS times (default 1), with curl's exit status.
# The server writes into tmpfs, so that the disk's write-back does not set the pace.
# Every time is a whole process: start, login, transfers, exit. A and B runs alternate;
# medians over ZENDRA_BENCH_REPS repetitions (default 5; ZENDRA_BENCH_TLS_REPS, default 3, for
# the FTPS small files); each uploaded file is checked by size on the server and removed.
# ZENDRA_BENCH_ONLY (an extended regular expression) picks cases by their label, e.g. "256 MiB".
# Needs a Release build in ZENDRA_BUILD_DIR (default build).
set -euo pipefail

cd "$(dirname "$0")/.."
build=${ZENDRA_BUILD_DIR:-build}
reps=${ZENDRA_BENCH_REPS:-5}
big_mib=${ZENDRA_BENCH_BIG_MIB:-256}
small_count=${ZENDRA_BENCH_SMALL_COUNT:-200}
tls_reps=${ZENDRA_BENCH_TLS_REPS:-3}
default_reps=${ZENDRA_BENCH_DEFAULT_REPS:-1}
only=${ZENDRA_BENCH_ONLY:-}
cli=$build/examples/zendra-cli
put=$build/bench/ftpput
for program in "$cli" "$put"; do
    [ -x "$program" ] || {
        echo "upload.sh: $program missing; build with cmake --build $build -j2" >&2
        exit 1
    }
done
cli=$(realpath "$cli")
put=$(realpath "$put")

work=$(mktemp -d "${TMPDIR:-/tmp}/zendra-upload.XXXXXX")
# Run as root, proftpd's sessions are nobody's and write into the served directory.
chmod 711 "$work"
served=$(mktemp -d /dev/shm/zendra-upload.XXXXXX)
source scripts/ftpserver.sh
source bench/setup.sh
cleanup() {
    ftp_server_stop
    rm -rf "$work" "$served"
}
trap cleanup EXIT

# The local files to send: $work/ftp/big.bin and $work/ftp/small/f*.bin.
bench_setup "$work" "$big_mib" big.bin "$small_count" small
chmod 777 "$served"
mkdir -m 777 "$served/small"
export PROFTPD_CONFIG="AllowOverwrite on"

start_proftpd tls "$served" required "$work/certs/fullchain.pem" "$work/certs/server.key"
tls=ftp://127.0.0.1:$port
start_proftpd plain "$served" off
plain=ftp://127.0.0.1:$port
PROFTPD_CONFIG=$'AllowOverwrite on\nTLSOptions NoSessionReuseRequired' \
    start_proftpd tls-own-sessions "$served" required "$work/certs/fullchain.pem" \
    "$work/certs/server.key"
own=ftp://127.0.0.1:$port
echo "servers: $(proftpd --version 2>&1) on $tls (TLS required), $own (TLS required, data" \
    "connections with sessions of their own) and $plain (no TLS);" \
    "$(curl --version | head -n 1 | cut -d' ' -f1-2); $(lscpu | sed -n 's/^Model name: *//p')," \
    "$(nproc) cores"
echo "load before: $(uptime)"

big_size=$(stat -c %s "$work/ftp/big.bin")
# check FILE SIZE...: each served file has its size; then it goes.
check() {
    local file=$1 size=$2
    [ "$(stat -c %s "$served/$file" 2>/dev/null)" = "$size" ] || {
        echo "upload.sh: $served/$file is not $size bytes" >&2
        exit 1
    }
    rm -f "$served/$file"
}
check_small() {
    local i
    for i in $(seq 1 "$small_count"); do
        check "small/f$i.bin" 4096
    done
    [ -z "$(ls -A "$served/small")" ] || {
        echo "upload.sh: files left in $served/small" >&2
        exit 1
    }
}

zendra_big_ftp() { "$cli" put --no-ssl --user "$user" "$work/ftp/big.bin" "$plain/big.bin"; }
curl_big_ftp() { curl -sS -u "$user:$password" -T "$work/ftp/big.bin" "$plain/big.bin"; }
zendra_big_ftps() { "$cli" put --ca "$ca" --user "$user" "$work/ftp/big.bin" "$tls/big.bin"; }
curl_big_ftps() {
    curl -sS --ssl-reqd --cacert "$ca" -u "$user:$password" -T "$work/ftp/big.bin" "$tls/big.bin"
}
smalls=()
curl_small_args() {
    local base=$1 i
    for i in $(seq 1 "$small_count"); do
        printf '%s\n' -T "$work/ftp/small/f$i.bin" "$base/small/f$i.bin"
    done
}
for i in $(seq 1 "$small_count"); do
    smalls+=("$work/ftp/small/f$i.bin")
done
mapfile -t curl_plain < <(curl_small_args "$plain")
mapfile -t curl_own < <(curl_small_args "$own")
mapfile -t curl_tls < <(curl_small_args "$tls")
zendra_small_ftp() { "$put" --no-ssl "$plain/small/" "${smalls[@]}"; }
zendra_small_ftp_in_place() { "$put" --no-ssl --in-place "$plain/small/" "${smalls[@]}"; }
curl_small_ftp() { curl -sS -u "$user:$password" "${curl_plain[@]}"; }
zendra_small_ftps() { "$put" --ca "$ca" "$own/small/" "${smalls[@]}"; }
zendra_small_ftps_in_place() { "$put" --ca "$ca" --in-place "$own/small/" "${smalls[@]}"; }
curl_small_ftps() { curl -sS --ssl-reqd --cacert "$ca" -u "$user:$password" "${curl_own[@]}"; }
zendra_small_ftps_default() { "$put" --ca "$ca" "$tls/small/" "${smalls[@]}"; }

results=()
# compare LABEL UNIT ZENDRA CURL CHECK: alternating runs, each checked; UNIT "MB" or "files".
compare() {
    local label=$1 unit=$2 zendra=$3 reference=$4 verify=$5 runs=${6:-$reps} a=() b=() rep ma mb
    [ -z "$only" ] || grep -qE -- "$only" <<<"$label" || return 0
    for rep in $(seq 1 "$runs"); do
        a+=("$(elapsed "$zendra")")
        $verify
        b+=("$(elapsed "$reference")")
        $verify
    done
    ma=$(printf '%s\n' "${a[@]}" | median)
    mb=$(printf '%s\n' "${b[@]}" | median)
    local line
    line=$(awk -v l="$label" -v u="$unit" -v a="$ma" -v b="$mb" -v s="$big_size" \
        -v n="$small_count" 'BEGIN {
        if (u == "MB") { x = s / a / 1e6; y = s / b / 1e6; f = "%.0f MB/s" }
        else { x = n / a; y = n / b; f = "%.0f files/s" }
        printf "| %s | %.3f s (" f ") | %.3f s (" f ") | %.2f |", l, a, x, b, y, b / a }')
    echo "$line   runs zendra: ${a[*]}; curl: ${b[*]}"
    results+=("$line")
}
big_check() { check big.bin "$big_size"; }

echo
echo "== $reps alternating runs each"
compare "FTP, ${big_mib} MiB from a file (zendra-cli put / curl -T)" MB zendra_big_ftp \
    curl_big_ftp big_check
compare "FTPS, ${big_mib} MiB from a file (zendra-cli put / curl -T)" MB zendra_big_ftps \
    curl_big_ftps big_check
compare "FTP, $small_count x 4 KiB (ftpput, queued at once / one curl)" files zendra_small_ftp \
    curl_small_ftp check_small
compare "FTP, $small_count x 4 KiB (ftpput --in-place / one curl)" files \
    zendra_small_ftp_in_place curl_small_ftp check_small
compare "FTPS, data sessions of their own, $small_count x 4 KiB (ftpput / one curl)" files \
    zendra_small_ftps curl_small_ftps check_small "$tls_reps"
compare "FTPS, data sessions of their own, $small_count x 4 KiB (ftpput --in-place / one curl)" \
    files zendra_small_ftps_in_place curl_small_ftps check_small "$tls_reps"

default_label="FTPS, ProFTPD default, $small_count x 4 KiB (ftpput / one curl)"
default_line=""
if [ -z "$only" ] || grep -qE -- "$only" <<<"$default_label"; then
echo
echo "== FTPS with ProFTPD's default TLS options, $small_count x 4 KiB, zendra alone"
default_runs=()
for rep in $(seq 1 "$default_reps"); do
    default_runs+=("$(elapsed zendra_small_ftps_default)")
    check_small
done
default_median=$(printf '%s\n' "${default_runs[@]}" | median)
curl -sS --ssl-reqd --cacert "$ca" -u "$user:$password" "${curl_tls[@]}" >/dev/null \
    2>"$work/curl.err" || true
arrived=$(find "$served/small" -type f -size 4096c | wc -l)
rm -f "$served"/small/*
default_line=$(awk -v l="$default_label" -v a="$default_median" -v n="$small_count" \
    -v got="$arrived" -v e="$(head -n 1 "$work/curl.err")" 'BEGIN {
    printf "| %s | %.3f s (%.1f files/s) | %d of %d files arrived (%s) | - |", l, a, n / a, got, n, e }')
echo "$default_line   runs: ${default_runs[*]}"
fi
echo "load after: $(uptime)"

echo
echo "== summary (medians; ratio = zendra's rate / curl's rate)"
echo "| Case | zendra | curl CLI | ratio |"
echo "|---|---|---|---|"
printf '%s\n' "${results[@]}"
[ -z "$default_line" ] || echo "$default_line"
