# SPDX-License-Identifier: MIT
# Shared by the transfer benchmarks: bench_setup WORK BIG_MIB BIG_PATH SMALL_COUNT SMALL_DIR
# gives the programs a fresh home in WORK (zendra-cli and ftpfetch import CA files into their
# application data directory), exports the benchmark's credentials as ZENDRA_USER and
# ZENDRA_PASSWORD (and sets user, password), makes the test certificate chain in WORK/certs
# (sets ca to its root) and writes random files below WORK/ftp: one of BIG_MIB MiB at BIG_PATH
# and SMALL_COUNT of 4 KiB, f1.bin and on, in SMALL_DIR. median prints the median of the
# numbers on its standard input, one per line. bench_work NAME makes a fresh work directory in
# $work that ProFTPD's sessions can pass through, removed with the servers when the script ends.
# elapsed COMMAND... prints the seconds the command took (bash's clock), with its output in
# WORK/last.out and WORK/last.err; a failing command stops the benchmark. start_proftpd NAME HOME
# [TLS CHAIN KEY] starts ProFTPD (tests/support/proftpd.sh) serving HOME, its state in WORK/NAME,
# and sets port.
bench_work() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/zendra-$1.XXXXXX")
    # Run as root, proftpd's sessions are nobody's and need to pass through to the served directory.
    chmod 711 "$work"
    trap 'ftp_server_stop; rm -rf "$work"' EXIT
}
bench_setup() {
    local big_mib=$2 big=$3 small_count=$4 small=$5 i
    work=$1
    export HOME=$work/home
    export XDG_DATA_HOME=$HOME/.local/share
    mkdir -p "$XDG_DATA_HOME"
    user=bench
    password=bench-secret
    export ZENDRA_USER=$user ZENDRA_PASSWORD=$password
    echo "== setup: certificates, a ${big_mib} MiB file, ${small_count} files of 4 KiB"
    bash tests/support/make-test-chain.sh "$work/certs" >/dev/null
    ca=$work/certs/root.pem
    mkdir -p "$work/ftp/$small"
    head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$work/ftp/$big"
    for i in $(seq 1 "$small_count"); do
        head -c 4096 /dev/urandom >"$work/ftp/$small/f$i.bin"
    done
}
median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
elapsed() {
    local start=$EPOCHREALTIME
    if ! "$@" >"$work/last.out" 2>"$work/last.err"; then
        echo "$(basename "$0"): failed: $*" >&2
        tail -n 5 "$work/last.err" >&2
        exit 1
    fi
    awk -v end="$EPOCHREALTIME" -v start="$start" 'BEGIN { printf "%.4f\n", end - start }'
}
start_proftpd() {
    local state=$work/$1 home=$2
    shift 2
    mkdir -m 700 "$state"
    server_start "$state" bash tests/support/proftpd.sh "$state" "$home" "$user" "$password" \
        "$@" || exit 1
    port=$SERVER_PORT
}
