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
    libbenchmark-dev clang-14 libclang-rt-14-dev doxygen
)

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
echo "zendra: dependencies installed"
