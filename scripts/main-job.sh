#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole library at work in one command: builds zendra-cli, runs the AES self-test and an
# encrypt/decrypt round trip, then starts a local FTPS server (the test suite's fixture, with
# its three-level certificate chain) and lists and downloads through zendra-cli with no CA
# known: the first contact is refused with the root's fingerprint, the user's explicit yes
# (--trust-root) pins that root to the server, and later runs are verified by the pin at once.
# Needs only scripts/install-deps.sh.
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${ZENDRA_JOBS:-2}

step() {
    printf '\n== %s\n' "$*"
}

die() {
    echo "main-job: FAILED: $*" >&2
    exit 1
}

step "build (Release)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs" --target zendra-cli
cli=$root/build/examples/zendra-cli
[ -x "$cli" ] || die "zendra-cli was not built"

work=$(mktemp -d "${TMPDIR:-/tmp}/zendra-main-job.XXXXXX")
source scripts/ftpserver.sh
cleanup() {
    ftp_server_stop
    rm -rf "$work"
}
trap cleanup EXIT

# zendra-cli keeps its certificates under the application data directory: use a fresh one.
export HOME=$work/home
export XDG_DATA_HOME=$HOME/.local/share
mkdir -p "$XDG_DATA_HOME"
certificates=$XDG_DATA_HOME/zendra-cli/certificates

step "AES self-test"
"$cli" aes-selftest

step "AES-128-CBC round trip through standard input and output"
head -c 1048579 /dev/urandom >"$work/plain.bin"
key=$(openssl rand -hex 16)
iv=$(openssl rand -hex 16)
"$cli" encrypt --mode cbc --key "$key" --iv "$iv" <"$work/plain.bin" >"$work/cipher.bin"
"$cli" decrypt --mode cbc --key "$key" --iv "$iv" <"$work/cipher.bin" >"$work/decrypted.bin"
cmp -s "$work/plain.bin" "$work/decrypted.bin" || die "decrypted bytes differ from the input"
echo "1048579 bytes encrypted to $(stat -c %s "$work/cipher.bin") bytes and back: identical"

step "test certificate chain (root CA, intermediate CA, server certificate)"
bash tests/support/make-test-chain.sh "$work/certs"
for name in root intermediate server; do
    openssl x509 -in "$work/certs/$name.pem" -noout -subject
done

step "local FTPS server on 127.0.0.1 (explicit TLS required)"
mkdir -p "$work/ftp/docs"
head -c 5000000 /dev/urandom >"$work/ftp/docs/report.bin"
echo "hello from zendra" >"$work/ftp/docs/hello.txt"
mkdir "$work/ftp/docs/archive"
ftp_server_start "$work" --user demo --password demo-secret --home "$work/ftp" \
    --tls required --cert "$work/certs/fullchain.pem" --key "$work/certs/server.key" \
    || die "the FTP server did not start"
port=$FTP_SERVER_PORT
echo "listening on port $port (pid $FTP_SERVER_PID)"
url=ftp://127.0.0.1:$port/docs
export ZENDRA_PASSWORD=demo-secret
[ ! -e "$certificates/root_ca.pem" ] || die "a root CA is already known"

fingerprint() {
    openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/^.*=/SHA256:/'
}
root_fingerprint=$(fingerprint "$work/certs/root.pem")

step "zendra-cli ls $url/ (no CA known: nobody but the server vouches for its root)"
status=0
"$cli" ls "$url/" --user demo --verbose 2>"$work/refused.log" >"$work/refused.out" </dev/null \
    || status=$?
sed 's/^/  log | /' "$work/refused.log"
[ "$status" -eq 5 ] || die "exit status $status, not 5 (server not verified)"
grep -q '>> Update FTP certificate' "$work/refused.log" || die "no root-CA recovery in the log"
grep -q -- "--trust-root $root_fingerprint" "$work/refused.log" \
    || die "the refusal does not name the chain's root fingerprint"
[ ! -s "$work/refused.out" ] || die "a refused server was listed"
[ -z "$(ls -A "$certificates" 2>/dev/null)" ] || die "a refused root was stored"
echo "exit status $status: refused, naming the root $root_fingerprint"

step "zendra-cli ls $url/ --trust-root SHA256:... (the user's yes pins the root to the server)"
"$cli" ls "$url/" --user demo --trust-root "$root_fingerprint" --verbose \
    2>"$work/ls.log" >"$work/ls.out" || {
    cat "$work/ls.log" >&2
    die "ls failed"
}
sed 's/^/  log | /' "$work/ls.log"
sed 's/^/  out | /' "$work/ls.out"
grep -q "	report.bin$" "$work/ls.out" || die "report.bin is not listed"
pin=$certificates/pinned_127.0.0.1_$port.pem
[ -f "$pin" ] || die "no pin was written for 127.0.0.1:$port"
[ "$(fingerprint "$pin")" = "$root_fingerprint" ] || die "the pin is not the chain's root CA"
echo "pinned: $(basename "$pin"), $(openssl x509 -in "$pin" -noout -subject)"

step "zendra-cli get $url/report.bin (the pinned root verifies the server at once)"
"$cli" get "$url/report.bin" "$work/report.bin" --user demo --verbose 2>"$work/get.log" || {
    cat "$work/get.log" >&2
    die "get failed"
}
sed 's/^/  log | /' "$work/get.log"
grep -q ' finished with error ' "$work/get.log" && die "the pinned root did not verify the server"
cmp -s "$work/ftp/docs/report.bin" "$work/report.bin" || die "downloaded bytes differ"
grep -q 'Peer verification should be disabled' "$work/ls.log" "$work/get.log" \
    && die "peer verification was switched off"
echo "5000000 bytes downloaded over FTPS on the first attempt, peer verified: identical"

step "zendra-cli get $url/missing.bin (a failed request's exit status and error line)"
status=0
"$cli" get "$url/missing.bin" --user demo 2>"$work/missing.log" >/dev/null || status=$?
grep '^zendra-cli: ' "$work/missing.log" | sed 's/^/  err | /'
[ "$status" -eq 6 ] || die "exit status $status, not 6 (remote file missing)"
echo "exit status $status: remote file missing"

step "zendra-cli get $url/hello.txt --forget-ca (to standard output, the CA file given)"
"$cli" get "$url/hello.txt" --user demo --forget-ca --ca "$work/certs/root.pem" --verbose \
    2>"$work/hello.log"
grep -q '>> Update FTP certificate' "$work/hello.log" && die "recovery despite the CA file"

echo
echo "main-job: SUCCESS: AES, and FTPS trusted on the user's word alone, work end to end"
