#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Records the MLSD and LIST replies of every server the test suite starts, serving one directory,
# as parser fixtures and fuzzer seeds in tests/data/listings/ (see its README.md), with the
# directory's own description (tree.txt: name, type, size and UTC modification time of each
# entry) that the tests check the parsed entries against. Needs root, like the fixture.
#   scripts/record-listings.sh
set -euo pipefail
cd "$(dirname "$0")/.."
out=tests/data/listings
work=$(mktemp -d)
chmod 711 "$work"
trap 'rm -rf "$work"' EXIT
export TZ=UTC
home=$work/home
mkdir -p "$home/dir with space" "$home/.hidden dir"
recent=$(date -u -d '3 days ago' +%Y-%m-%dT%H:%M:17)
head -c 12345 /dev/zero >"$home/report.pdf"
head -c 3000 /dev/zero >"$home/old archive.tar.gz"
head -c 7 /dev/zero >"$home/  two leading spaces"
head -c 42 /dev/zero >"$home/Grüße; semi;colon.txt"
truncate -s 3221225477 "$home/big.iso"
ln -s report.pdf "$home/link to report"
touch -d "$recent" "$home/report.pdf" "$home/Grüße; semi;colon.txt" "$home/dir with space"
touch -d 2019-03-04T05:06:07 "$home/old archive.tar.gz" "$home/big.iso"
touch -d 2001-12-31T23:59:00 "$home/  two leading spaces" "$home/.hidden dir"
touch -h -d "$recent" "$home/link to report"
/usr/bin/python3 - "$home" >"$out/tree.txt" <<'PY'
import os, sys, time
print("today " + time.strftime("%Y-%m-%d", time.gmtime()))
for name in sorted(os.listdir(sys.argv[1])):
    s = os.lstat(os.path.join(sys.argv[1], name))
    kind = "link" if os.path.islink(os.path.join(sys.argv[1], name)) else "dir" if os.path.isdir(os.path.join(sys.argv[1], name)) else "file"
    print("\t".join([name, kind, str(s.st_size), time.strftime("%Y%m%d%H%M%S", time.gmtime(s.st_mtime))]))
PY
source scripts/ftpserver.sh
trap 'ftp_server_stop; rm -rf "$work"' EXIT
record() { # NAME PORT: the MLSD and the LIST reply, byte for byte
    curl -s --user zendra:secret -X MLSD "ftp://127.0.0.1:$2/" >"$out/$1-mlsd.txt" || rm -f "$out/$1-mlsd.txt"
    curl -s --user zendra:secret "ftp://127.0.0.1:$2/" >"$out/$1-list.txt"
}
ftp_server_start "$work/pyftpdlib" --user zendra --password secret --home "$home"
record pyftpdlib "$FTP_SERVER_PORT"
for daemon in proftpd vsftpd pureftpd; do
    mkdir -m 700 "$work/$daemon"
    server_start "$work/$daemon" bash "tests/support/$daemon.sh" "$work/$daemon" "$home" zendra secret
    record "$daemon" "$SERVER_PORT"
done
# BusyBox's ftpd answers LIST with its own "ls -lA", in CR LF lines; Debian's BusyBox has no
# ftpd, so its ls applet stands in for it.
(cd "$home" && busybox ls -lA | sed 's/$/\r/') >"$out/busybox-ls.txt"
