#!/bin/bash
# Drives the real application, built with -DSANITIZE=thread (in build-tsan-app, built
# here when missing), on a virtual display while its sources keep re-shaping: a VRPN
# tracker whose sensors keep appearing, a VRPN analog device and an OSC source whose
# value counts keep changing (tools/appRunPeers.py), with the OSC data server on. Views
# are added and closed, and trials recorded, over and over until QV_RUN_MINUTES (3) have
# passed; then the application quits. Prints each ThreadSanitizer report that names a
# function of ours (the others lie wholly inside uninstrumented toolkit libraries) and
# exits non-zero when there is one.
# Not part of CI: the clicks assume the first-start layout on a 1280x1024 display.
#   bash tools/threadSanitizerAppRun.sh [build-dir]      (default build-tsan-app)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-tsan-app}
minutes=${QV_RUN_MINUTES:-3}
if [[ ! -x $build/quorvane ]]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" \
        "-DCMAKE_C_FLAGS_DEBUG=-O1 -g1" -DSANITIZE=thread -DQV_BUILD_TESTS=OFF \
        -DQV_BUILD_BENCH=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)" --target quorvane
fi
command -v xdotool >/dev/null || apt-get install -y --no-install-recommends xdotool >/dev/null
source tools/virtualDisplay.sh
StartVirtualDisplay

work=$(mktemp -d)
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
# The OSC data server on, so that every frame also leaves as a datagram.
for folder in "$HOME/Documents/Quorvane" "$HOME/Quorvane"; do
    mkdir -p "$folder"
    printf '[OSC]\nuse_osc_server=1\n' >"$folder/Quorvane.cfg"
done
vrpnPort=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 tools/appRunPeers.py --vrpn-port "$vrpnPort" --osc-port 1200 \
    --seconds $((minutes * 60 + 900)) >"$work/peers.log" 2>&1 &
peers=$!
export TSAN_OPTIONS="log_path=$work/tsan second_deadlock_stack=1 history_size=4 report_signal_unsafe=0 suppressions=$root/tools/tsan.supp"
"$build/quorvane" >"$work/app.log" 2>&1 &
app=$!
cleanup() { kill "$peers" 2>/dev/null || true; kill "$app" 2>/dev/null || true; }
trap 'cleanup; StopVirtualDisplay' EXIT

step() { echo "-- $*"; }
pause() { sleep "${1:-1}"; }
menu() {  # menu letter, items to step down past the first enabled one
    xdotool key alt+"$1"; pause 1.5
    for ((i = 0; i < $2; i++)); do xdotool key Down; pause 0.3; done
    xdotool key Return; pause 4
}
# Up from the first item wraps to the last: Device > Add 3D View on a tracker's page, Add
# View on another's (whose Add 3D View is disabled). Counted from the top, the items a
# page disables would shift it.
add_view() {
    xdotool key alt+d; pause 1.5
    xdotool key Up; pause 0.3
    xdotool key Return; pause 4
}
entry() { xdotool key ctrl+a; xdotool type --delay 40 "$1"; pause 0.5; xdotool key Return; pause 5; }
# The tab row of the device pages: a click selects the tab under the pointer, a middle
# click closes it (the last page of a device asks first: no).
tabRow=173
select_tab() { xdotool mousemove "$1" $tabRow click 1; pause 2; }
close_tab() { xdotool mousemove "$1" $tabRow click 2; pause 3; xdotool key Escape; pause 2; }

window=$(timeout 300 xdotool search --sync --onlyvisible --name Quorvane | head -1)
pause 10
xdotool windowfocus --sync "$window"
step "open the VRPN tracker, the VRPN analog device and the OSC device"
menu f 5
entry "Tracker0@tcp://127.0.0.1:$vrpnPort"
menu f 4
xdotool key Escape; pause 3  # the list of servers used: a new address instead
entry "Analog0@tcp://127.0.0.1:$vrpnPort"
menu f 9
step "a capture set"
menu c 0
xdotool type --delay 50 threads; xdotool key Return; pause 3
end=$((SECONDS + minutes * 60))
round=0
while ((SECONDS < end)) && kill -0 "$app" 2>/dev/null; do
    ((++round))
    step "round $round: views added and closed, a trial"
    xdotool windowfocus --sync "$window" || true
    select_tab 413
    add_view
    add_view
    select_tab 694
    add_view
    xdotool key F9; pause 4
    xdotool key F10; pause 3
    [[ -n ${QV_SHOTS:-} ]] && import -window root "$QV_SHOTS/round$round-views.png"
    for x in 1100 980 860 740 620 500; do close_tab $x; done
    [[ -n ${QV_SHOTS:-} ]] && import -window root "$QV_SHOTS/round$round.png"
done
step "quit"
xdotool windowfocus --sync "$window" || true
xdotool key Escape; pause 1
xdotool key alt+F4
for ((i = 0; i < 180 && $(kill -0 "$app" 2>/dev/null && echo 1 || echo 0); i++)); do
    pause 1
    ((i % 5 == 4)) && xdotool key Return  # a question on the way out: yes
done
kill -0 "$app" 2>/dev/null && { echo "the application did not quit: ended"; kill "$app"; }
status=0
wait "$app" || status=$?
echo "application exit status $status"

# One report per block; ours when the place it names is in our code, or one of our
# threads (named "qv-...") takes part; the others lie inside a toolkit's own threads
# (font loading, the GL driver's workers).
python3 - "$work" <<'REPORTS'
import glob, re, sys
work = sys.argv[1]
reports = []
for path in sorted(glob.glob(work + "/tsan.*")):
    block = []
    for line in open(path, errors="replace"):
        if line.startswith("WARNING: ThreadSanitizer"):
            block = [line]
        elif block:
            block.append(line)
            if line.startswith("SUMMARY: ThreadSanitizer"):
                reports.append("".join(block))
                block = []
own = [r for r in reports
       if not re.search(r"\(/\S+\.so[.\d]*\+0x", r.splitlines()[-1]) or "'qv-" in r]
kinds = {}
for r in own:
    kinds.setdefault(r.splitlines()[-1], []).append(r)
for summary, group in kinds.items():
    print("%d x %s" % (len(group), summary.strip()))
    print(group[0])
print("reports: %d, naming our code: %d (%s)" % (len(reports), len(own), work))
sys.exit(1 if own else 0)
REPORTS
