#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the test certificates with the openssl CLI in DIR (created if missing): a root CA, an
# intermediate CA signed by it and a server certificate for localhost and 127.0.0.1 signed by the
# intermediate; besides, a lone self-signed certificate for the same names and a certificate for
# another host name (signed by the intermediate). All PEM, keys unencrypted RSA 2048.
#
#   root.pem intermediate.pem server.pem(.key) selfsigned.pem(.key) other.pem(.key)
#   fullchain.pem            server, intermediate, root: what a server presents
#   chain-without-root.pem   server, intermediate
#   other-chain.pem          other, intermediate, root
#
# The test fixture (tests/support/testcertificates.cpp) and scripts/main-job.sh both use it.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 DIR" >&2
    exit 2
fi
mkdir -p "$1"
cd "$1"

# Our own configuration, so the system's openssl.cnf cannot add or clash with extensions.
cat > openssl.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
[root_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[intermediate_ext]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[server_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[other_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.invalid
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
# keyCertSign: Qt takes a certificate as self-signed only when its key may sign certificates.
[self_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment,keyCertSign
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
subjectKeyIdentifier = hash
CNF

# Runs openssl quietly; on failure its output and the command line go to stderr.
run_openssl() {
    local output
    if ! output=$(openssl "$@" 2>&1); then
        echo "openssl $* failed: $output" >&2
        exit 1
    fi
}

# self_signed NAME SUBJECT EXTENSIONS
self_signed() {
    run_openssl req -config openssl.cnf -x509 -days 3650 -newkey rsa:2048 -nodes -sha256 \
        -keyout "$1.key" -out "$1.pem" -subj "$2" -extensions "$3"
}

# signed_by NAME SUBJECT ISSUER SERIAL EXTENSIONS
signed_by() {
    run_openssl req -config openssl.cnf -new -newkey rsa:2048 -nodes -sha256 \
        -keyout "$1.key" -out "$1.csr" -subj "$2"
    run_openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -set_serial "$4" \
        -days 3650 -sha256 -extfile openssl.cnf -extensions "$5" -out "$1.pem"
}

self_signed root "/O=Zendra Tests/CN=Zendra Test Root CA" root_ext
signed_by intermediate "/O=Zendra Tests/CN=Zendra Test Intermediate CA" root 2 intermediate_ext
signed_by server "/O=Zendra Tests/CN=localhost" intermediate 3 server_ext
signed_by other "/O=Zendra Tests/CN=other.invalid" intermediate 4 other_ext
self_signed selfsigned "/O=Zendra Tests Self-Signed/CN=localhost" self_ext

cat server.pem intermediate.pem root.pem > fullchain.pem
cat server.pem intermediate.pem > chain-without-root.pem
cat other.pem intermediate.pem root.pem > other-chain.pem
