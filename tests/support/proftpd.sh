#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs Debian's proftpd (mod_tls from proftpd-mod-crypto) on 127.0.0.1 and a free port, serving
# HOME to one virtual user, for the test fixture (tests/support/ftpserver.h) and the benchmarks.
#
#   proftpd.sh STATEDIR HOME USER PASSWORD [off|allowed|required [CHAIN KEY]]
#
# Prints "PORT <n>" once the server listens, then runs until it is terminated or its standard
# input closes, stopping proftpd by its pid. The environment variable PROFTPD_CONFIG holds lines
# to add to the configuration ("AllowOverwrite on", say). STATEDIR (not writable by others) gets the config
# and events: "<command> <reply code> <protocol>" per command and "EXIT - <protocol>" when a
# session ends.
set -euo pipefail

state=$1 home=$2 user=$3 password=$4 tls=${5:-off} chain=${6:-} key=${7:-}
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
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
[ "$tls" = off ] || cat >>"$state/proftpd.conf" <<CONF
LoadModule mod_tls.c
TLSEngine on
TLSRSACertificateFile $chain
TLSRSACertificateKeyFile $key
TLSCertificateChainFile $chain
TLSRequired $([ "$tls" = required ] && echo on || echo off)
CONF
printf '%s\n' "${PROFTPD_CONFIG:-}" >>"$state/proftpd.conf"

proftpd -n -c "$state/proftpd.conf" &
server=$!
watcher=""
trap 'kill "$server" $watcher 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
trap 'exit 143' TERM INT
listening=$(printf '0100007F:%04X 00000000:0000 0A' "$port")
for _ in $(seq 1 200); do
    grep -q "$listening" /proc/net/tcp && break
    kill -0 "$server" 2>/dev/null || exit 1
    sleep 0.05
done
grep -q "$listening" /proc/net/tcp || exit 1
echo "PORT $port"
cat <&0 >/dev/null &
watcher=$!
wait -n "$server" "$watcher"
