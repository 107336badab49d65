#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Small-file benchmark: zendra (bench/ftpfetch) beside the curl CLI, in one run, against ProFTPD
# from Debian on 127.0.0.1 (tests/support/proftpd.sh), which starts TLS on a data connection only
# after RETR. Each run fetches one large file and then ZENDRA_BENCH_SMALL_COUNT files of 4 KiB
# over the same connection (one ftpfetch, every URL queued at once; one curl with every URL):
#   - FTPS: a server that requires explicit TLS; both sides verify it with the test root CA;
#   - FTP: a server without TLS, both sides asking for TLS first (zendra's default, curl --ssl).
# Both sides write the large file to /dev/null; zendra keeps the small ones in memory, curl
# writes them to /dev/null too. Rate = small files / the wall time from the end of the large file to the end of
# the last small file: for ftpfetch the moments its callbacks run, for curl the moments its
# per-file -w lines reach a reader on a pipe, so both include each tool's work between files.
# A and B runs alternate; medians over ZENDRA_BENCH_REPS repetitions (default 5). A third FTP
# run of zendra keeps the large file in memory too and reports the longest stall of its thread.
# Last, the CPU time that each program spends in ZENDRA_BENCH_IDLE_SECONDS (default 10) while
# its transfer waits for a server that accepts the connection and never answers.
# Needs a Release build in ZENDRA_BUILD_DIR (default build) with ftpfetch.
set -euo pipefail

cd "$(dirname "$0")/.."
build=${ZENDRA_BUILD_DIR:-build}
reps=${ZENDRA_BENCH_REPS:-5}
lead_mib=${ZENDRA_BENCH_LEAD_MIB:-100}
small_count=${ZENDRA_BENCH_SMALL_COUNT:-30}
idle_seconds=${ZENDRA_BENCH_IDLE_SECONDS:-10}
fetch=$build/bench/ftpfetch
[ -x "$fetch" ] || {
    echo "smallfiles.sh: $fetch missing; build with cmake --build $build -j2" >&2
    exit 1
}
fetch=$(realpath "$fetch")

work=$(mktemp -d "${TMPDIR:-/tmp}/zendra-smallfiles.XXXXXX")
# Run as root, proftpd's sessions are nobody's and need to pass through to the served directory.
chmod 711 "$work"
source scripts/ftpserver.sh
source bench/setup.sh
cleanup() {
    ftp_server_stop
    rm -rf "$work"
}
trap cleanup EXIT

bench_setup "$work" "$lead_mib" lead.bin "$small_count" .

start_proftpd tls "$work/ftp" required "$work/certs/fullchain.pem" "$work/certs/server.key"
tls_port=$port
start_proftpd plain "$work/ftp" off
plain_port=$port
echo "servers: $(proftpd --version 2>&1) on 127.0.0.1:$tls_port (TLS required)" \
    "and 127.0.0.1:$plain_port (no TLS); $(curl --version | head -n 1 | cut -d' ' -f1-2);" \
    "$(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"

urls() {
    echo "ftp://127.0.0.1:$1/lead.bin"
    for i in $(seq 1 "$small_count"); do
        echo "ftp://127.0.0.1:$1/f$i.bin"
    done
}
mapfile -t tls_urls < <(urls "$tls_port")
mapfile -t plain_urls < <(urls "$plain_port")
curl_args() {
    local url
    for url in "$@"; do
        printf '%s\n' -o /dev/null "$url"
    done
}
mapfile -t tls_curl < <(curl_args "${tls_urls[@]}")
mapfile -t plain_curl < <(curl_args "${plain_urls[@]}")

# Each command prints one line per file, the large one first: the ms since the previous file
# ended (for the large one, since the start).
zendra_ftps() { "$fetch" --ca "$ca" --first-into /dev/null --timings "${tls_urls[@]}"; }
zendra_ftp() { "$fetch" --first-into /dev/null --timings "${plain_urls[@]}"; }
zendra_ftp_memory() { "$fetch" --stalls --timings "${plain_urls[@]}"; }
# curl's -w line goes to its unbuffered standard error as each file ends; stamp it on arrival
# (in the shell itself: a process started per line would make later lines wait).
stamped() {
    local line
    {
        echo "$EPOCHREALTIME"
        "$@" 2>&1 >/dev/null | while IFS= read -r line; do
            echo "$EPOCHREALTIME"
        done
    } | awk 'NR > 1 { printf "%.3f\n", ($1 - previous) * 1000 } { previous = $1 }'
}
curl_ftps() {
    stamped curl -sS --ssl-reqd --cacert "$ca" -u "$user:$password" -w '%{stderr}done\n' \
        "${tls_curl[@]}"
}
curl_ftp() {
    stamped curl -sS --ssl -u "$user:$password" -w '%{stderr}done\n' "${plain_curl[@]}"
}

# run NAME COMMAND: appends to $work/NAME the small files' total ms, their median ms and how
# many took over 100 ms (and, where the command reports it, its longest stall in ms).
run() {
    if ! "$2" >"$work/last.out" 2>"$work/last.err"; then
        echo "smallfiles.sh: $2 failed" >&2
        tail -n 5 "$work/last.err" >&2
        exit 1
    fi
    [ "$(wc -l <"$work/last.out")" -eq $((small_count + 1)) ] || {
        echo "smallfiles.sh: $2 gave no time for every file" >&2
        exit 1
    }
    local median_ms stall
    median_ms=$(awk 'NR > 1 { print $1 }' "$work/last.out" | median)
    stall=$(sed -n 's/^ftpfetch: longest stall \([0-9.]*\) ms$/\1/p' "$work/last.err")
    awk -v m="$median_ms" -v stall="${stall:--}" 'NR > 1 { s += $1; if ($1 > 100) n++ }
        END { printf "%.3f %.3f %d %s\n", s, m, n, stall }' "$work/last.out" >>"$work/$1"
}

echo
echo "== $reps alternating runs; per run: small files' total ms, median ms per file," \
    "files over 100 ms, longest stall of zendra's thread in ms where measured"
for _ in $(seq 1 "$reps"); do
    run zendra_ftps zendra_ftps
    run curl_ftps curl_ftps
    run zendra_ftp zendra_ftp
    run curl_ftp curl_ftp
    run zendra_ftp_memory zendra_ftp_memory
done
for name in zendra_ftps curl_ftps zendra_ftp curl_ftp zendra_ftp_memory; do
    echo "$name: $(awk '{ printf "%s%s/%s/%s/%s", (NR > 1 ? ", " : ""), $1, $2, $3, $4 }' \
        "$work/$name")"
done

# summary NAME: files per second from the median total, the median of the per-run median ms per
# file, and the slow files of all runs. ratio A B: B's median total / A's.
summary() {
    local total per_file slow
    total=$(awk '{ print $1 }' "$work/$1" | median)
    per_file=$(awk '{ print $2 }' "$work/$1" | median)
    slow=$(awk '{ n += $3 } END { print n + 0 }' "$work/$1")
    awk -v t="$total" -v p="$per_file" -v s="$slow" -v n="$small_count" -v r="$reps" 'BEGIN {
        printf (n * 1000 / t < 10 ? "%.2f" : "%.0f"), n * 1000 / t
        printf " files/s (%.1f ms per file, %d of %d files over 100 ms)", p, s, n * r }'
}
ratio() {
    awk -v a="$(awk '{ print $1 }' "$work/$1" | median)" \
        -v b="$(awk '{ print $1 }' "$work/$2" | median)" 'BEGIN { printf "%.2f", b / a }'
}

# CPU time (ns, all threads) of a process over $idle_seconds, from the kernel's schedstat.
cpu_ns() {
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { print s + 0 }'
}
idle_cpu() {
    "$@" >/dev/null 2>&1 &
    local pid=$! before after
    sleep 1
    before=$(cpu_ns "$pid")
    sleep "$idle_seconds"
    after=$(cpu_ns "$pid")
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    awk -v ns=$((after - before)) -v s="$idle_seconds" 'BEGIN {
        printf "%.1f ms in %d s (%.3f %% of one core)", ns / 1e6, s, ns / 1e7 / s }'
}
# A server that accepts connections and never answers.
server_start "$work/silent" /usr/bin/python3 -c '
import os, socket, sys, threading
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
print("PORT %d" % s.getsockname()[1], flush=True)
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
held = []
while True:
    held.append(s.accept()[0])
' || exit 1
silent=ftp://127.0.0.1:$SERVER_PORT/f1.bin
echo
echo "== CPU time while waiting ${idle_seconds} s for a server that never answers"
zendra_idle=$(idle_cpu "$fetch" "$silent")
curl_idle=$(idle_cpu curl -sS -u "$user:$password" -o /dev/null "$silent")
echo "ftpfetch (whole process): $zendra_idle; curl: $curl_idle"

echo
echo "== summary (medians of $reps runs; ratio = zendra's rate / curl's rate)"
echo "| Case | zendra (ftpfetch) | curl CLI | ratio |"
echo "|---|---|---|---|"
echo "| FTPS, $small_count x 4 KiB after ${lead_mib} MiB | $(summary zendra_ftps) |" \
    "$(summary curl_ftps) | $(ratio zendra_ftps curl_ftps) |"
echo "| FTP (TLS refused), $small_count x 4 KiB after ${lead_mib} MiB | $(summary zendra_ftp) |" \
    "$(summary curl_ftp) | $(ratio zendra_ftp curl_ftp) |"
echo "| FTP (TLS refused), as above, ${lead_mib} MiB kept in memory | $(summary zendra_ftp_memory)," \
    "longest stall of the thread $(awk '{ print $4 }' "$work/zendra_ftp_memory" | median) ms | | |"
