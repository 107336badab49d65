#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs Debian's proftpd (mod_tls from proftpd-mod-crypto) on 127.0.0.1 and a free port, serving
# HOME to one virtual user, for the test fixture (tests/support/ftpserver.h) and the benchmarks.
#
#   proftpd.sh STATEDIR HOME USER PASSWORD [off|allowed|required [CHAIN KEY [RATE_KIB]]]
#
# Prints "PORT <n>" once the server listens, then runs until it is terminated or its standard
# input closes, stopping proftpd by its pid. STATEDIR (not writable by others) gets the config
# and commands.log: "<session pid> <command> <reply code> <protocol> <argument>" per command
# and an EXIT line when a session ends. RATE_KIB > 0 throttles every download to that rate.
set -euo pipefail

state=$1 home=$2 user=$3 password=$4 tls=${5:-off} chain=${6:-} key=${7:-} rate=${8:-0}
case $tls in
off | allowed | required) ;;
*) echo "proftpd.sh: TLS mode $tls is not supported" >&2 && exit 2 ;;
esac
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# As root the sessions run as nobody, jailed in HOME; otherwise as the caller, unjailed.
run_user=$(id -un) run_group=$(id -gn) jail=""
[ "$(id -u)" -ne 0 ] || run_user=nobody run_group=nogroup jail="DefaultRoot ~"
echo "$user:$(openssl passwd -6 "$password"):$(id -u "$run_user"):$(id -g "$run_user")::$home:/bin/false" \
    >"$state/passwd"
chmod 600 "$state/passwd"
{
    cat <<CONF
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
LogFormat commands "%P %m %s %{protocol} %J"
ExtendedLog $state/commands.log ALL,EXIT commands
CONF
    if [ "$tls" != off ]; then
        echo "LoadModule mod_tls.c"
        echo "TLSEngine on"
        echo "TLSRSACertificateFile $chain"
        echo "TLSRSACertificateKeyFile $key"
        echo "TLSCertificateChainFile $chain"
        echo "TLSRequired $([ "$tls" = required ] && echo on || echo off)"
    fi
    [ "$rate" -le 0 ] || echo "TransferRate RETR $rate"
} >"$state/proftpd.conf"

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
