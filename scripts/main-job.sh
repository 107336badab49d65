#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole library at work in one command: builds zendra-cli, runs the AES self-test and an
# encrypt/decrypt round trip, then starts a local FTPS server (the test suite's fixture, with
# its three-level certificate chain) and lists and downloads through zendra-cli with no CA
# known, so the log shows the root-CA recovery end to end. Needs only scripts/install-deps.sh.
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

step "zendra-cli ls $url/ (no CA known: watch the root-CA recovery in the log)"
"$cli" ls "$url/" --user demo --verbose 2>"$work/ls.log" >"$work/ls.out" || {
    cat "$work/ls.log" >&2
    die "ls failed"
}
sed 's/^/  log | /' "$work/ls.log"
sed 's/^/  out | /' "$work/ls.out"
grep -q '>> Update FTP certificate' "$work/ls.log" || die "no root-CA recovery in the log"
grep -q "	report.bin$" "$work/ls.out" || die "report.bin is not listed"
[ -f "$certificates/root_ca.pem" ] || die "root_ca.pem was not written"
fingerprint() {
    openssl x509 -in "$1" -noout -fingerprint -sha256
}
[ "$(fingerprint "$certificates/root_ca.pem")" = "$(fingerprint "$work/certs/root.pem")" ] \
    || die "root_ca.pem is not the chain's root CA"
echo "root_ca.pem written: $(openssl x509 -in "$certificates/root_ca.pem" -noout -subject)"

step "zendra-cli get $url/report.bin (the root CA learned by ls verifies the server at once)"
"$cli" get "$url/report.bin" "$work/report.bin" --user demo --verbose 2>"$work/get.log" || {
    cat "$work/get.log" >&2
    die "get failed"
}
sed 's/^/  log | /' "$work/get.log"
grep -q ' finished with error ' "$work/get.log" && die "the learned root CA did not verify the server"
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

printf '\nmain-job: SUCCESS: AES and FTPS with root-CA recovery work end to end\n'
