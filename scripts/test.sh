#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the size of the test code against the code it tests; builds zendra normally and with
# AddressSanitizer + UndefinedBehaviorSanitizer and runs the whole test suite in both (the normal
# build's includes a small load run); runs the README's commands and the main job against the
# normal build; builds the API documentation with every warning an error; builds with
# ThreadSanitizer and runs the suites that start threads; then builds the fuzzers
# and runs each for a while.
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${ZENDRA_JOBS:-2}
fuzz_seconds=${ZENDRA_FUZZ_SECONDS:-30}

echo "== test budget and layering"
scripts/count-test-lines.sh
scripts/check-layering.sh

echo "== normal build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== the README's commands, as written"
scripts/check-readme.sh

echo "== the main job"
bash scripts/main-job.sh >build/main-job.log 2>&1 || { cat build/main-job.log; exit 1; }
tail -n 1 build/main-job.log

echo "== API documentation (Doxygen, warnings are errors)"
rm -rf build/docs/html
cmake --build build --target docs
[ -s build/docs/html/index.html ] || { echo "test: the docs target built no documentation" >&2; exit 1; }

echo "== sanitizer build (address, undefined)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZENDRA_SANITIZE=address,undefined -DZENDRA_BUILD_BENCHMARKS=OFF
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build-asan --output-on-failure -j"$jobs"
unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS

echo "== sanitizer build (thread)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZENDRA_SANITIZE=thread -DZENDRA_BUILD_BENCHMARKS=OFF
cmake --build build-tsan -j"$jobs"
# history_size: enough history to name both accesses, which the suppressions match on.
export TSAN_OPTIONS=halt_on_error=1:history_size=7:suppressions=$root/tests/tsan.supp
# One suite at a time: certificate recovery must keep pace with the worker's 500 ms repetition,
# and the sanitizer slows Qt's certificate checks on the main thread.
ctest --test-dir build-tsan --output-on-failure -L threads -j1
unset TSAN_OPTIONS

if [ -s fuzz/CMakeLists.txt ] && grep -q add_executable fuzz/CMakeLists.txt; then
    echo "== fuzzers (${fuzz_seconds}s each)"
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++-14 -DZENDRA_BUILD_FUZZERS=ON \
        -DBUILD_TESTING=OFF -DZENDRA_BUILD_EXAMPLES=OFF -DZENDRA_BUILD_BENCHMARKS=OFF
    cmake --build build-fuzz -j"$jobs"
    for fuzzer in build-fuzz/fuzz/fuzz_*; do
        [ -f "$fuzzer" ] && [ -x "$fuzzer" ] || continue
        name=$(basename "$fuzzer")
        corpus=$(mktemp -d)
        cp -r "fuzz/corpus/${name#fuzz_}/." "$corpus/" 2>/dev/null || true
        echo "-- $name"
        "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
        rm -rf "$corpus"
    done
fi

echo "zendra: all tests passed"
