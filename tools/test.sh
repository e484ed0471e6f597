#!/bin/bash
# Installs what is missing, builds everything and runs every test: the core
# and GUI tests (GUI under a virtual display), the core tests again under
# AddressSanitizer+UBSan, and the threading tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash tools/packages.sh
jobs=$(nproc)
werror=OFF
[[ "${CI:-}" == "true" ]] && werror=ON

passed=0
failed=0
runtests() {  # ctest args...: runs them, adds their counts to the totals
    local log
    log=$(mktemp)
    local status=0
    "$@" 2>&1 | tee "$log" || status=$?
    local line
    line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" | tail -1 || true)
    rm -f "$log"
    if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
        failed=$((failed + BASH_REMATCH[1]))
        passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
    fi
    if ((status != 0)); then
        echo "tests: $passed passed, $failed failed"
        exit "$status"
    fi
}

configure() {  # dir, extra cmake args...
    local dir=$1; shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR=$werror "$@" >/dev/null
}

echo "== build"
configure build
cmake --build build -j "$jobs"
echo "== tests (core and gui)"
runtests xvfb-run -a ctest --test-dir build -LE bench --output-on-failure -j "$jobs"

echo "== core tests under address,undefined"
# Sanitizer builds: -O1 with line tables only, enough for readable reports.
sanflags=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g1")
configure build-asan "${sanflags[@]}" -DSANITIZE=address,undefined -DQV_BUILD_GUI=OFF -DQV_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs" --target qv_core_tests
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
LSAN_OPTIONS=suppressions=$root/tools/lsan.supp \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    runtests ctest --test-dir build-asan -L core --output-on-failure -j "$jobs"

echo "== threading tests under thread"
configure build-tsan "${sanflags[@]}" -DSANITIZE=thread -DQV_BUILD_GUI=OFF -DQV_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target qv_core_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tools/tsan.supp" \
    runtests ctest --test-dir build-tsan -L core -R 'Threads\.' --output-on-failure -j "$jobs"
echo "tests: $passed passed, $failed failed"
