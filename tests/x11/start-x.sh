#!/usr/bin/env bash
# Starts a real X server for the X11 tests: Xorg with the dummy driver on a free
# display number, plus openbox (an EWMH window manager). Prints "DISPLAY=:N" and
# the server's pid, and leaves both running; stop them with stop-x.sh FOLDER.
#   start-x.sh FOLDER      FOLDER receives xorg.log, openbox.log, the auth file and pids
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
dir="${1:?usage: start-x.sh FOLDER}"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"

XORG="$(command -v Xorg || echo /usr/lib/xorg/Xorg)"
[ -x "$XORG" ] || { echo "start-x: Xorg is not installed (xserver-xorg-core, xserver-xorg-video-dummy)" >&2; exit 3; }

# A free display number: no lock file and no socket.
n=40
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
display=":$n"

auth="$dir/xauth"
: > "$auth"
xauth -f "$auth" add "$display" . "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" >/dev/null 2>&1

# A seat other than seat0 keeps Xorg away from virtual terminals.
"$XORG" "$display" -config "$here/xorg-dummy.conf" -configdir /nonexistent -logfile "$dir/xorg.log" \
    -auth "$auth" -noreset -nolisten tcp -seat "seat-vm$n" -novtswitch >"$dir/xorg.out" 2>&1 &
echo $! > "$dir/xorg.pid"

export DISPLAY="$display" XAUTHORITY="$auth"
for _ in $(seq 1 100); do
    if xdpyinfo >/dev/null 2>&1; then break; fi
    if ! kill -0 "$(cat "$dir/xorg.pid")" 2>/dev/null; then
        echo "start-x: Xorg exited; see $dir/xorg.log" >&2; tail -20 "$dir/xorg.log" >&2 || true; exit 4
    fi
    sleep 0.1
done
xdpyinfo >/dev/null 2>&1 || { echo "start-x: Xorg did not answer on $display" >&2; exit 4; }

if command -v openbox >/dev/null; then
    # Openbox owns the root's map requests from early in its start-up, but one that
    # arrives before its main loop runs is lost: the window stays unmapped for good.
    # It runs the --startup command once it is through, so wait for that.
    rm -f "$dir/openbox.ready"
    openbox --sm-disable --startup "touch '$dir/openbox.ready'" >"$dir/openbox.log" 2>&1 &
    echo $! > "$dir/openbox.pid"
    for _ in $(seq 1 300); do
        [ -e "$dir/openbox.ready" ] && break
        if ! kill -0 "$(cat "$dir/openbox.pid")" 2>/dev/null; then
            echo "start-x: openbox exited; see $dir/openbox.log" >&2; cat "$dir/openbox.log" >&2 || true; exit 5
        fi
        sleep 0.1
    done
    [ -e "$dir/openbox.ready" ] || { echo "start-x: openbox did not finish starting in 30 s" >&2; exit 5; }
fi
echo "DISPLAY=$display"
echo "XAUTHORITY=$auth"
