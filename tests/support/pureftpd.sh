#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs Debian's Pure-FTPd, as unpacked by scripts/install-deps.sh, for the test fixture
# (tests/support/ftpserver.h); arguments and output as in ftpd.sh. The login is a virtual user
# of a PureDB file in STATEDIR, running as nobody and jailed in HOME; that needs root.
source "$(dirname "$0")/ftpd.sh"

bin=$unpacked/pure-ftpd/usr
[ -x "$bin/sbin/pure-ftpd" ] || skip "Pure-FTPd is not unpacked in $unpacked (scripts/install-deps.sh)"
[ "$(id -u)" -eq 0 ] || skip "Pure-FTPd runs its virtual users only as root"
echo "$user:$(openssl passwd -6 "$password"):$(id -u nobody):$(id -g nobody)::$home/./::::::::::::" \
    >"$state/passwd"
"$bin/bin/pure-pw" mkdb "$state/logins.pdb" -f "$state/passwd" >/dev/null
options=(-S "127.0.0.1,$port" -l "puredb:$state/logins.pdb" -E -A -H -4 -g "$state/pure-ftpd.pid")
[ "$rate" -lt 0 ] || options+=(-T "$(((rate + 1023) / 1024))")
[ "$tls" = off ] || options+=(-Y "$([ "$tls" = required ] && echo 2 || echo 1)" -2 "$chain,$key")

serve "$bin/sbin/pure-ftpd" "${options[@]}"
