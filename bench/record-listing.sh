#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Records the raw MLSD reply (CR LF line ends, as sent) of the test suite's pyftpdlib server
# listing N generated files, for bench_listing:  bench/record-listing.sh N OUTFILE
set -euo pipefail
count=$1
out=$(realpath "$2")
cd "$(dirname "$0")/.."
work=$(mktemp -d)
source scripts/ftpserver.sh
trap 'ftp_server_stop; rm -rf "$work"' EXIT
mkdir -p "$work/root/many"
/usr/bin/python3 - "$work/root/many" "$count" <<'PY'
import os, sys
for i in range(int(sys.argv[2])):
    with open(os.path.join(sys.argv[1], "file-%06d.dat" % i), "wb") as f:
        f.write(b"x" * (i % 4096))
PY
ftp_server_start "$work" --user user --password pass --home "$work/root"
/usr/bin/python3 - "$FTP_SERVER_PORT" "$out" <<'PY'
import ftplib, sys
ftp = ftplib.FTP()
ftp.connect("127.0.0.1", int(sys.argv[1]))
ftp.login("user", "pass")
ftp.voidcmd("TYPE I")
with ftp.transfercmd("MLSD /many") as data, open(sys.argv[2], "wb") as out:
    while chunk := data.recv(65536):
        out.write(chunk)
ftp.voidresp()
PY
echo "recorded $(wc -l <"$out") lines into $out"
