#!/bin/bash
# Installs what is missing, builds everything and runs every test: the core
# and GUI tests, the core tests again under AddressSanitizer+UBSan, and the
# threading tests under ThreadSanitizer. The GUI tests share one virtual display
# started here.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash tools/packages.sh
source tools/virtualDisplay.sh
jobs=$(nproc)
werror=OFF
[[ "${CI:-}" == "true" ]] && werror=ON

passed=0
failed=0
skipped=()
runtests() {  # ctest args...: runs them, adds their counts to the totals
    local log
    log=$(mktemp)
    local status=0
    "$@" 2>&1 | tee "$log" || status=$?
    local line
    line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" | tail -1 || true)
    while read -r name; do
        skipped+=("$name")
    done < <(sed -nE 's/^\s*[0-9]+ - (\S+) \(Skipped\)$/\1/p' "$log")
    rm -f "$log"
    if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
        failed=$((failed + BASH_REMATCH[1]))
        passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
    fi
    if ((status != 0)); then
        echo "tests: $passed passed, $failed failed"
        echo "took $((SECONDS / 60)) min $((SECONDS % 60)) s"
        exit "$status"
    fi
}

configure() {  # dir, extra cmake args...
    local dir=$1; shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR=$werror "$@" >/dev/null
}

StartVirtualDisplay
stage() {  # name: heads a stage with the time gone by so far
    echo "== $1 (at $((SECONDS / 60)) min $((SECONDS % 60)) s)"
}
echo "virtual display $DISPLAY"
# GTK's accessibility bridge would look for the session's bus, which the tests do not need.
export NO_AT_BRIDGE=1

stage "build"
configure build
cmake --build build -j "$jobs"

# Sanitizer builds: -O1 with line tables only, enough for readable reports.
sanflags=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g1")
configure build-asan "${sanflags[@]}" -DSANITIZE=address,undefined -DQV_BUILD_GUI=OFF -DQV_BUILD_BENCH=OFF
configure build-tsan "${sanflags[@]}" -DSANITIZE=thread -DQV_BUILD_GUI=OFF -DQV_BUILD_BENCH=OFF
# Each sanitizer build goes on at the lowest priority while the tests before it run:
# most of their time is spent waiting on real time (boards at their rates, trials of
# a second), and a test's thread that wakes takes its core back from the build at once.
background=()
logs=$(mktemp -d)
StopBackground() {
    local pid
    for pid in "${background[@]}"; do
        kill -- "-$pid" 2>/dev/null || true
    done
    rm -rf "$logs"
    StopVirtualDisplay
}
trap StopBackground EXIT
buildlater() {  # log, build dir, targets...: starts the build, its pid in $!
    local log=$1 dir=$2; shift 2
    # A process group of its own, so that a failed run stops the compilers too.
    setsid nice -n 19 cmake --build "$dir" -j "$jobs" --target "$@" >"$log" 2>&1 &
    background+=($!)
}
awaitbuild() {  # pid, log: waits for a build started by buildlater, shows its output
    local status=0
    wait "$1" || status=$?
    cat "$2"
    rm -f "$2"
    if ((status != 0)); then
        echo "tests: $passed passed, $failed failed (a sanitizer build failed)"
        exit "$status"
    fi
}

buildlater "$logs/asan" build-asan qv_core_tests
asanbuild=$!
stage "tests (core and gui)"
runtests ctest --test-dir build -LE bench --output-on-failure -j "$jobs"

stage "build under address,undefined"
awaitbuild "$asanbuild" "$logs/asan"
buildlater "$logs/tsan" build-tsan qv_core_tests
tsanbuild=$!
stage "core tests under address,undefined"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    runtests ctest --test-dir build-asan -L core --output-on-failure -j "$jobs"

stage "build under thread"
awaitbuild "$tsanbuild" "$logs/tsan"
stage "threading tests under thread"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tools/tsan.supp" \
    runtests ctest --test-dir build-tsan -L core -R 'Threads\.' --output-on-failure -j "$jobs"
if ((${#skipped[@]})); then
    echo "skipped here: ${skipped[*]}"
fi
echo "tests: $passed passed, $failed failed"
echo "took $((SECONDS / 60)) min $((SECONDS % 60)) s"
