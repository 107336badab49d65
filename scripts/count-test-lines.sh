#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lines of test code against lines of library and example code; fails when the tests exceed
# 0.4 times the code they test. Recorded data (replies, certificates) is not code and not counted.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.sh' \
        -o -name '*.qml' -o -name '*.cmake' -o -name CMakeLists.txt \) -print0 \
        | xargs -0 cat | wc -l
}
tests=$(count tests)
code=$(count src examples)
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.3f", t / c }')
echo "tests/: $tests lines; src/ + examples/: $code lines; ratio $ratio (at most 0.4)"
awk -v t="$tests" -v c="$code" 'BEGIN { exit !(t <= 0.4 * c) }'
