#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes the README's picture of the QML example: builds it, serves a small directory from the test
# suite's FTP server on 127.0.0.1 (its downloads slowed to 4 MB/s) and lets the example render
# itself offscreen into a PNG once it has uploaded a local file and while it downloads another.
#
#   bash scripts/screenshot-qml-example.sh [OUTPUT.png]     (default build/qml-example.png)
#
# The README's picture is docs/qml-example.png: name it to retake that one.
set -euo pipefail

cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/qml-example.png}")
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"${ZENDRA_JOBS:-2}" --target zendra-qml-example >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/zendra-screenshot.XXXXXX")
source scripts/ftpserver.sh
cleanup() {
    ftp_server_stop
    rm -rf "$work"
}
trap cleanup EXIT

home=$work/ftp/pub
mkdir -p "$home/archive" "$home/images"
head -c 48213 /dev/zero >"$home/release-notes.pdf"
head -c 1536 /dev/zero >"$home/README.txt"
head -c 7340032 /dev/zero >"$home/zendra-1.0.0.tar.xz"
head -c 389120 /dev/zero >"$home/screenshot.png"
touch -d '2026-11-02 09:14' "$home/archive"
touch -d '2026-12-01 17:40' "$home/images"
touch -d '2026-12-05 11:02' "$home/release-notes.pdf"
touch -d '2026-10-21 08:30' "$home/README.txt"
touch -d '2026-12-06 07:45' "$home/zendra-1.0.0.tar.xz"
touch -d '2026-12-06 07:52' "$home/screenshot.png"

ftp_server_start "$work" --user demo --password demo-secret --home "$work/ftp" --rate 4000000
mkdir -p "$work/data" "$work/runtime" "$work/downloads" "$work/home/demo"
head -c 2621440 /dev/zero >"$work/home/demo/measurements-2026-12-06.csv"
chmod 700 "$work/runtime"
export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/runtime
ZENDRA_USER=demo ZENDRA_PASSWORD=demo-secret build/examples/zendra-qml-example \
    --screenshot "$out" --upload "$work/home/demo/measurements-2026-12-06.csv" \
    --download zendra-1.0.0.tar.xz --download-dir "$work/downloads" \
    "ftp://127.0.0.1:$FTP_SERVER_PORT/pub/"
echo "screenshot: $out"
