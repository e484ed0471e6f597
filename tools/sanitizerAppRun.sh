#!/bin/bash
# Drives the real application, built with -DSANITIZE=address,undefined (in
# build-asan-app, built here when missing; the test command's build-asan holds
# no GUI), through a scripted session on a virtual display: opens the analog
# and 3D test devices, steps through every 3D view type and every graph mode,
# records a capture set with two trials, closes the set, replays a recording in
# the file player and quits; then checks every recording and text export of the
# set by its layout. Prints the sanitizer reports, if any; exits non-zero when
# there are, or when a trial file is missing or not whole.
# Not part of CI: the clicks assume the first-start layout on a 1280x1024 display.
#   bash tools/sanitizerAppRun.sh [build-dir]      (default build-asan-app)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-asan-app}
if [[ ! -x $build/quorvane ]]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" \
        "-DCMAKE_C_FLAGS_DEBUG=-O1 -g1" -DSANITIZE=address,undefined -DQV_BUILD_TESTS=OFF \
        -DQV_BUILD_BENCH=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)" --target quorvane
fi
command -v xdotool >/dev/null || apt-get install -y --no-install-recommends xdotool >/dev/null
source tools/virtualDisplay.sh
StartVirtualDisplay

work=$(mktemp -d)
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME"
# intercept_tls_get_addr=0: as in the GUI tests, the runtime's guess at the GL
# driver's thread-local ranges is sometimes wrong and crashes the leak check.
export ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0:log_path=$work/asan
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
# With a set open "Create Capture File" is disabled: the first item taken is
# "Close Capture File" (the next one down is "Delete Last Trial").
menu c 0
[[ -n ${QV_SHOTS:-} ]] && import -window root "$QV_SHOTS/closed.png"
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

step "the trial files"
# Two trials of two devices; the close took the prepared third trial away.
mapfile -t recordings < <(find "$HOME" -name 'scripted*.qvd' | sort)
files_ok=1
if ((${#recordings[@]} != 4)); then
    echo "expected 4 recordings, found ${#recordings[@]}: ${recordings[*]}"
    files_ok=0
fi
# Each recording: header, property block, exactly its frames of finite doubles,
# one marker trailer ending the file, markers inside the frames; its text export
# holds one line per frame.
python3 - "$HOME" "${recordings[@]}" <<'CHECK' || files_ok=0
import glob, math, os, struct, sys

home, paths = sys.argv[1], sys.argv[2:]
failed = 0
for path in paths:
    data = open(path, "rb").read()
    problems = []
    count = 0
    if len(data) < 40:
        problems.append("shorter than a header")
    else:
        magic, rate, channels, dim, count, block = struct.unpack_from("<QdIIQQ", data, 0)
        frame = channels * dim * 8
        start = 40 + block
        end = start + count * frame
        if magic != 99887755:
            problems.append("magic number %d" % magic)
        if not (rate >= 1 and channels > 0 and dim > 0 and count >= 2):
            problems.append("rate %g, %d channels of %d, %d frames" % (rate, channels, dim, count))
        elif end + 8 > len(data):
            problems.append("%d frames and a trailer do not fit in %d bytes" % (count, len(data)))
        else:
            values = struct.unpack_from("<%dd" % (count * channels * dim), data, start)
            if not all(math.isfinite(v) for v in values):
                problems.append("a value is not a number")
            (markers,) = struct.unpack_from("<Q", data, end)
            at = end + 8
            for _ in range(markers):
                if at + 20 > len(data):
                    problems.append("the marker trailer is cut")
                    break
                code, marker, length = struct.unpack_from("<IqQ", data, at)
                at += 20 + length
                if not 0 <= marker < count:
                    problems.append("marker %d at frame %d of %d" % (code, marker, count))
            if at != len(data):
                problems.append("%d bytes after the trailer" % (len(data) - at))
    name = os.path.splitext(os.path.basename(path))[0]
    exports = glob.glob(os.path.join(home, "**", name + ".txt"), recursive=True)
    if len(exports) != 1:
        problems.append("%d text exports" % len(exports))
    else:
        # Frame lines hold numbers only (the time first when it is exported); the
        # header starts with "#", the markers' lines with "event".
        def numbers(line):
            try:
                return [float(field) for field in line.split("\t")]
            except ValueError:
                return None
        rows = [r for r in map(numbers, open(exports[0], encoding="utf-8").read().splitlines())
                if r is not None]
        if len(rows) != count:
            problems.append("text export of %d frames for %d" % (len(rows), count))
        elif any(len(r) not in (channels * dim, channels * dim + 1) for r in rows):
            problems.append("a text frame of another width")
    failed += bool(problems)
    print("%s: %d frames, %s" % (os.path.basename(path), count, "; ".join(problems) or "whole"))
sys.exit(1 if failed else 0)
CHECK
((files_ok)) && echo "trial files: whole" || echo "trial files: NOT whole"
# A log holding only the list of suppressions used is no report.
if grep -qE "ERROR: [A-Za-z]+Sanitizer|runtime error|WARNING: [A-Za-z]+Sanitizer" \
        "$work"/asan.* "$work"/ubsan.* 2>/dev/null; then
    cat "$work"/asan.* "$work"/ubsan.* 2>/dev/null
    echo "sanitizer reports: yes ($work)"
    exit 1
fi
echo "sanitizer reports: none"
((files_ok)) || exit 1
