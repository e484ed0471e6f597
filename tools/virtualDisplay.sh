# Sourced: StartVirtualDisplay starts one Xvfb for the whole test run and
# exports DISPLAY; it is stopped when the sourcing shell exits.
# -noreset: an X server resets whenever its last client leaves, and a test
#   process that connects during that reset finds no display.
# -maxclients: every parallel GUI test holds several connections.
# -displayfd: Xvfb picks a free display number and reports it once it accepts
#   connections, so nobody connects before it is ready.
StartVirtualDisplay() {
    local fifo number
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -noreset -maxclients 512 -nolisten tcp -screen 0 1280x1024x24 \
        3>"$fifo" >/dev/null 2>&1 &
    QV_XVFB_PID=$!
    trap StopVirtualDisplay EXIT
    if ! read -r -t 60 number <"$fifo" || [[ -z $number ]]; then
        rm -f "$fifo"
        echo "Xvfb did not start" >&2
        return 1
    fi
    rm -f "$fifo"
    export DISPLAY=":$number"
}

StopVirtualDisplay() {
    if [[ -n ${QV_XVFB_PID:-} ]]; then
        kill "$QV_XVFB_PID" 2>/dev/null || true
        wait "$QV_XVFB_PID" 2>/dev/null || true
        QV_XVFB_PID=
    fi
}
