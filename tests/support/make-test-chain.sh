#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes test certificates in DIR with the openssl CLI, NAME.pem and NAME.key (EC P-256): root,
# intermediate (by root), server (localhost, 127.0.0.1) and other (other.invalid), both by
# intermediate, selfsigned (localhost); and fullchain.pem, chain-without-root.pem, other-chain.pem.
set -euo pipefail
mkdir -p "$1"
cd "$1"
# keyCertSign: Qt takes a certificate as self-signed only when its key may sign certificates.
printf '%s\n' '[req]' 'distinguished_name = dn' '[dn]' '[ca]' 'basicConstraints = critical,CA:TRUE' \
    'keyUsage = critical,keyCertSign,cRLSign' '[server]' 'subjectAltName = DNS:localhost,IP:127.0.0.1' \
    '[other]' 'subjectAltName = DNS:other.invalid' '[selfsigned]' \
    'keyUsage = digitalSignature,keyCertSign' 'subjectAltName = DNS:localhost,IP:127.0.0.1' >openssl.cnf
# make NAME COMMON_NAME EXTENSIONS [ISSUER SERIAL]
make() {
    openssl req -config openssl.cnf -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
        -keyout "$1.key" -subj "/O=Zendra Tests/CN=$2" -out "$1.csr" 2>/dev/null
    local signer=(-key "$1.key")
    [ $# -eq 3 ] || signer=(-CA "$4.pem" -CAkey "$4.key" -set_serial "$5")
    openssl x509 -req -in "$1.csr" "${signer[@]}" -days 3650 -extfile openssl.cnf \
        -extensions "$3" -out "$1.pem" 2>/dev/null
}
make root "Zendra Test Root CA" ca
make intermediate "Zendra Test Intermediate CA" ca root 2
make server localhost server intermediate 3
make other other.invalid other intermediate 4
make selfsigned localhost selfsigned
cat server.pem intermediate.pem root.pem >fullchain.pem
cat server.pem intermediate.pem >chain-without-root.pem
cat other.pem intermediate.pem root.pem >other-chain.pem
