#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that the library's includes run one way through its rooms: a file may include headers
# of its own room and of the rooms before it in this list, never of a later one.
set -euo pipefail
cd "$(dirname "$0")/../src"

rooms=(core encryption certificates listing engine helpers)
declare -A rank
for i in "${!rooms[@]}"; do
    for header in "${rooms[$i]}"/*.h; do
        rank[$(basename "$header")]=$i
    done
done

status=0
for i in "${!rooms[@]}"; do
    for file in "${rooms[$i]}"/*; do
        while read -r header; do
            target=${rank[$header]:-}
            if [ -n "$target" ] && [ "$target" -gt "$i" ]; then
                echo "layering: $file includes $header from src/${rooms[$target]}/" >&2
                status=1
            fi
        done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
    done
done
[ "$status" -eq 0 ] && echo "layering: includes run one way through ${rooms[*]}"
exit "$status"
