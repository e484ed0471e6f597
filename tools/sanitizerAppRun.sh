#!/bin/bash
# Drives the real application, built with -DSANITIZE=address,undefined in
# build-asan, through a scripted session on a virtual display: opens the analog
# and 3D test devices, steps through every 3D view type and every graph mode,
# records a capture set with two trials, replays a recording in the file player
# and quits. Prints the sanitizer reports, if any; exits non-zero when there are.
# Not part of CI: the clicks assume the first-start layout on a 1280x1024 display.
#   bash tools/sanitizerAppRun.sh [build-dir]      (default build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-asan}
command -v xdotool >/dev/null || apt-get install -y --no-install-recommends xdotool >/dev/null
source tools/virtualDisplay.sh
StartVirtualDisplay

work=$(mktemp -d)
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME"
export ASAN_OPTIONS=detect_leaks=1:log_path=$work/asan
export LSAN_OPTIONS=suppressions=$root/tools/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:log_path=$work/ubsan
"$build/quorvane" >"$work/app.log" 2>&1 &
app=$!

step() { echo "-- $*"; }
pause() { sleep "${1:-1}"; }
menu() {  # menu letter, items to step down past the first enabled one
    xdotool key alt+"$1"; pause 0.8
    for ((i = 0; i < $2; i++)); do xdotool key Down; pause 0.2; done
    xdotool key Return; pause 3
}
click() { xdotool mousemove "$1" "$2" click 1; pause; }
# The view-type/graph-mode box of the toolbar: next entry.
next_mode() { click 172 138; xdotool key Down; pause 0.3; xdotool key Return; pause 1.5; }

window=$(timeout 120 xdotool search --sync --onlyvisible --name Quorvane | head -1)
pause 5
xdotool windowfocus --sync "$window"
step "open the analog and the 3D test device"
menu f 7
menu f 8
step "every 3D view type"
for ((i = 0; i < 7; i++)); do next_mode; done
step "every graph mode of the 2D view"
click 408 173
for ((i = 0; i < 12; i++)); do next_mode; done
xdotool windowfocus --sync "$window"
step "a capture set with two trials"
menu c 0
xdotool type --delay 50 scripted; xdotool key Return; pause 2
for trial in 1 2; do
    xdotool key F9; pause 3
    xdotool key F10; pause 2
    [[ -n ${QV_SHOTS:-} ]] && import -window root "$QV_SHOTS/trial$trial.png"
done
recording=$(find "$HOME" -name 'scripted*.qvd' | sort | head -1)
echo "recorded: $(find "$HOME" -name 'scripted*.qvd' | wc -l) file(s)"
step "close the capture set"
menu c 1
step "the file player on $recording"
xdotool key alt+f; pause 0.8
for ((i = 0; i < 10; i++)); do xdotool key Down; pause 0.2; done
xdotool key Return; pause 3
xdotool type --delay 30 "$recording"; pause 1; xdotool key Return; pause 6
[[ -n ${QV_SHOTS:-} ]] && import -window root "$QV_SHOTS/player.png"
step "quit"
xdotool key alt+f; pause 0.8
for ((i = 0; i < 11; i++)); do xdotool key Down; pause 0.2; done
xdotool key Return
for ((i = 0; i < 60 && $(kill -0 "$app" 2>/dev/null && echo 1 || echo 0); i++)); do
    pause 1
    ((i % 5 == 4)) && xdotool key Return  # a question on the way out: yes
done
status=0
wait "$app" || status=$?
echo "application exit status $status"
# A log holding only the list of suppressions used is no report.
if grep -qE "ERROR: [A-Za-z]+Sanitizer|runtime error|WARNING: [A-Za-z]+Sanitizer" \
        "$work"/asan.* "$work"/ubsan.* 2>/dev/null; then
    cat "$work"/asan.* "$work"/ubsan.* 2>/dev/null
    echo "sanitizer reports: yes ($work)"
    exit 1
fi
echo "sanitizer reports: none"
