#!/bin/bash
# Sets up, builds and runs every test: a normal build, then AddressSanitizer with
# UndefinedBehaviorSanitizer, then ThreadSanitizer, each in its own build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_suite() {
    local dir=$1 sanitize=$2
    echo "=== build $dir ${sanitize:+($sanitize)}"
    scripts/build.sh "$dir" "$sanitize"
    echo "=== test $dir"
    ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)" --timeout 600
}

run_suite build ""
run_suite build-asan address
run_suite build-tsan thread
