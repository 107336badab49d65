#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the pin check costs a verified request, in instructions (valgrind --tool=callgrind, which
# the machine's load does not change). bench/ftpfetch fetches ZENDRA_BENCH_SMALL_COUNT (default
# 100) files of 4 KiB over one FTPS connection to ProFTPD on 127.0.0.1 (TLS required, the chain
# of the test root), verified in both runs against that same root, one file each:
#   - imported: --ca root.pem, the verified-peer policy off, so no pin is looked up;
#   - pinned: --require-verified, with the root pinned to the server by an earlier run, so that
#     every request looks its pin up (FtpWorker::trustAnchor) and verifies against the pin.
# Prints each run's instructions per request, and the look-up's own share: the inclusive count of
# FtpWorker::trustAnchor in the pinned run. Small files are the hardest case: the fixed cost of a
# request weighs most there. Needs a Release build in ZENDRA_BUILD_DIR (default build).
set -euo pipefail

cd "$(dirname "$0")/.."
build=${ZENDRA_BUILD_DIR:-build}
count=${ZENDRA_BENCH_SMALL_COUNT:-100}
fetch=$(realpath "$build/bench/ftpfetch")

source scripts/ftpserver.sh
source bench/setup.sh
bench_work pincheck

bench_setup "$work" 0 empty.bin "$count" .
mkdir -m 700 "$work/state"
server_start "$work/state" bash tests/support/proftpd.sh "$work/state" "$work/ftp" "$user" \
    "$password" required "$work/certs/fullchain.pem" "$work/certs/server.key" || exit 1
mapfile -t urls < <(for i in $(seq 1 "$count"); do echo "ftp://127.0.0.1:$SERVER_PORT/f$i.bin"; done)
echo "server: $(proftpd --version 2>&1) on 127.0.0.1:$SERVER_PORT; $(valgrind --version);" \
    "$(nproc) cores, load: $(uptime | sed 's/.*load average: //')"

# The pinned run's first contact (a certificate failure, the recovery, the pin) happens here.
fingerprint=SHA256:$(openssl x509 -in "$ca" -noout -fingerprint -sha256 | cut -d= -f2)
"$fetch" --require-verified --trust-root "$fingerprint" "${urls[0]}" 2>/dev/null
ls "$XDG_DATA_HOME"/ftpfetch/certificates/pinned_127.0.0.1_"$SERVER_PORT".pem >/dev/null

# callgrind NAME ARGS...: instructions of ftpfetch fetching every URL; the profile stays in
# $work/NAME.out.
callgrind() {
    local name=$1
    shift
    valgrind --tool=callgrind --callgrind-out-file="$work/$name.out" "$fetch" "$@" "${urls[@]}" \
        >/dev/null 2>"$work/$name.err" || { tail -n 5 "$work/$name.err" >&2; exit 1; }
    callgrind_annotate "$work/$name.out" | sed -n 's/^ *\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p' | tr -d ,
}
imported=$(callgrind imported --ca "$ca")
pinned=$(callgrind pinned --require-verified)
# trustAnchor's inclusive count, and what its first call alone spent reading the pin: the callees
# of FtpTrustStore::pin that ran once (the file, and the start of Qt's TLS backend, which the
# imported run pays in FtpWorker::setCertificate instead).
read -r lookup first < <(callgrind_annotate --inclusive=yes --tree=calling "$work/pinned.out" \
    | awk '{ gsub(",", "", $1) }
        / \* .*FtpWorker::trustAnchor/ { lookup = $1 }
        / \* / { inpin = /FtpTrustStore::pin\(/ }
        inpin && / > / && /\(1x\)/ { first += $1 }
        END { print lookup + 0, first + 0 }')
awk -v n="$count" -v i="$imported" -v p="$pinned" -v l="$lookup" -v f="$first" 'BEGIN {
    printf "imported root, no pin look-up: %d instructions, %.0f per request\n", i, i / n
    printf "pinned root, pin looked up:    %d instructions, %.0f per request (%+.2f %%)\n", \
        p, p / n, 100 * (p - i) / i
    printf "pin look-ups (FtpWorker::trustAnchor, inclusive): %d, of which %d read the pin once;\n", l, f
    printf "  the rest, %.0f per request, is %.4f %% of a pinned request\n", (l - f) / n, \
        100 * (l - f) / p
}'
