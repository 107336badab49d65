#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes test certificates in DIR with the openssl CLI, NAME.pem and NAME.key (EC P-256): root,
# intermediate (by root), server (localhost, 127.0.0.1) and other (other.invalid), both by
# intermediate, selfsigned (localhost), expired (as selfsigned, valid on 2020-01-01 only); and
# fullchain.pem, chain-without-root.pem, other-chain.pem.
set -euo pipefail
mkdir -p "$1"
cd "$1"
# keyCertSign: Qt takes a certificate as self-signed only when its key may sign certificates.
printf '%s\n' '[req]' 'distinguished_name = dn' '[dn]' '[ca]' 'basicConstraints = critical,CA:TRUE' \
    'keyUsage = critical,keyCertSign,cRLSign' '[server]' 'subjectAltName = DNS:localhost,IP:127.0.0.1' \
    '[other]' 'subjectAltName = DNS:other.invalid' '[selfsigned]' \
    'keyUsage = digitalSignature,keyCertSign' 'subjectAltName = DNS:localhost,IP:127.0.0.1' \
    '[old]' 'database = index.txt' 'serial = serial' 'new_certs_dir = .' 'default_md = sha256' \
    'policy = any' '[any]' 'organizationName = optional' 'commonName = supplied' >openssl.cnf
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
# openssl x509 cannot date a certificate in the past; openssl ca can.
: >index.txt && echo 01 >serial
openssl req -config openssl.cnf -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout expired.key -subj "/O=Zendra Tests/CN=localhost" -out expired.csr 2>/dev/null
openssl ca -config openssl.cnf -name old -selfsign -keyfile expired.key -in expired.csr \
    -extensions selfsigned -startdate 20200101000000Z -enddate 20200102000000Z -batch -notext \
    -out expired.pem 2>/dev/null
