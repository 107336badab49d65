#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs everything zendra needs to build, test and benchmark on Debian 12.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

packages=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-declarative-dev
    qml6-module-qtqml qml6-module-qtquick qml6-module-qttest
    qml6-module-qtquick-controls qml6-module-qtquick-layouts qml6-module-qtquick-templates
    qml6-module-qtquick-window qml6-module-qtqml-workerscript fonts-dejavu-core
    libcurl4-openssl-dev libssl-dev openssl curl
    python3 python3-pyftpdlib python3-openssl proftpd-core proftpd-mod-crypto
    libwrap0 libpam-modules libsodium23 libcap2
    libbenchmark-dev clang-14 libclang-rt-14-dev doxygen
)

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
# vsftpd and Pure-FTPd, the other servers of the test matrix, conflict with proftpd-core (each
# provides ftp-server), so they are unpacked into a cache rather than installed; the libraries
# above are what they need besides. The test fixture starts them from there
# (tests/support/vsftpd.sh, pureftpd.sh), never as system services.
servers=${ZENDRA_TEST_SERVERS:-/var/cache/zendra/test-servers}
$SUDO mkdir -p "$servers/debs"
for package in vsftpd pure-ftpd; do
    version=$(apt-cache policy "$package" | sed -n 's/^ *Candidate: //p')
    if [ "$(cat "$servers/$package.version" 2>/dev/null)" != "$version" ]; then
        (cd "$servers/debs" && $SUDO rm -f "${package}"_*.deb \
            && $SUDO apt-get download -qq "$package" 2>/dev/null)
        $SUDO rm -rf "${servers:?}/$package"
        $SUDO dpkg-deb -x "$servers/debs/${package}"_*.deb "$servers/$package"
        echo "$version" | $SUDO tee "$servers/$package.version" >/dev/null
    fi
done
# vsftpd checks passwords through PAM only: this service reads the test logins that
# tests/support/vsftpd.sh keeps in a Berkeley DB file beside it.
printf 'auth required pam_userdb.so db=%s\naccount required pam_userdb.so db=%s\n' \
    "$servers/vsftpd-logins" "$servers/vsftpd-logins" | $SUDO tee /etc/pam.d/zendra-test-vsftpd >/dev/null
echo "zendra: dependencies installed"
