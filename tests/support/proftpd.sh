#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs Debian's proftpd (mod_tls from proftpd-mod-crypto) for the test fixture
# (tests/support/ftpserver.h) and the benchmarks; arguments and output as in ftpd.sh. The
# environment variable PROFTPD_CONFIG holds lines to add to the configuration ("AllowOverwrite
# on", say). STATEDIR (not writable by others) gets the config and events: "<command> <reply
# code> <protocol>" per command and "EXIT - <protocol>" when a session ends.
source "$(dirname "$0")/ftpd.sh"

# As root the sessions run as nobody, jailed in HOME; otherwise as the caller, unjailed.
run_user=$(id -un) run_group=$(id -gn) jail=""
[ "$(id -u)" -ne 0 ] || run_user=nobody run_group=nogroup jail="DefaultRoot ~"
echo "$user:$(openssl passwd -6 "$password"):$(id -u "$run_user"):$(id -g "$run_user")::$home:/bin/false" \
    >"$state/passwd"
chmod 600 "$state/passwd"
cat >"$state/proftpd.conf" <<CONF
ServerType standalone
Port $port
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
User $run_user
Group $run_group
PidFile $state/proftpd.pid
ScoreboardFile $state/proftpd.scoreboard
DelayTable none
WtmpLog off
TransferLog none
UseReverseDNS off
AuthOrder mod_auth_file.c
AuthUserFile $state/passwd
RequireValidShell off
$jail
MaxInstances 50
ControlsEngine off
LogFormat events "%m %s %{protocol}"
ExtendedLog $state/events ALL,EXIT events
CONF
[ "$rate" -lt 0 ] || echo "TransferRate RETR $(((rate + 1023) / 1024))" >>"$state/proftpd.conf"
[ "$tls" = off ] || cat >>"$state/proftpd.conf" <<CONF
LoadModule mod_tls.c
TLSEngine on
TLSRSACertificateFile $chain
TLSRSACertificateKeyFile $key
TLSCertificateChainFile $chain
TLSRequired $([ "$tls" = required ] && echo on || echo off)
CONF
printf '%s\n' "${PROFTPD_CONFIG:-}" >>"$state/proftpd.conf"

serve proftpd -n -c "$state/proftpd.conf"
