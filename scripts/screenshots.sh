#!/usr/bin/env bash
# Writes PNGs of the agent's desktop interface for a person to look at: the open
# status menu, the pairing panel and the share sheet, each on a real X server
# (the X11 tests' fixture) with an XEmbed tray in the top-left corner.
#   scripts/screenshots.sh [FOLDER]     (default: screenshots/; build dir: $VELLOMARK_BUILD_DIR or build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/screenshots}"
bin="$root/${VELLOMARK_BUILD_DIR:-build}/bin"
for exe in vellomark vellomark-phone vellomark-share; do
    [ -x "$bin/$exe" ] || { echo "screenshots: $bin/$exe is missing; build first" >&2; exit 2; }
done
mkdir -p "$out"
out="$(cd "$out" && pwd)"
work="$(mktemp -d /tmp/vellomark-shots-XXXXXX)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    "$root/tests/x11/stop-x.sh" "$work/x" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

eval "$("$root/tests/x11/start-x.sh" "$work/x" | sed 's/^/export /')"
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run" VELLOMARK_PORT_OFFSET=$((400 + RANDOM % 200 * 3))
unset XDG_STATE_HOME XDG_DATA_HOME XDG_CONFIG_HOME VELLOMARK_PLATFORM
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

dbus-daemon --session --nofork --print-address=1 > "$work/bus" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/bus" ] && break; sleep 0.1; done
export DBUS_SESSION_BUS_ADDRESS="$(head -1 "$work/bus")"
trayer --edge top --align left --widthtype pixel --width 48 --heighttype pixel --height 24 \
    --SetDockType false --SetPartialStrut false --expand false >/dev/null 2>&1 &
pids+=($!)

"$bin/vellomark" >"$work/agent.out" 2>&1 &
pids+=($!)
log="$HOME/.local/state/vellomark/inputd.log"
for _ in $(seq 100); do grep -q "메뉴 막대 — GTK" "$log" 2>/dev/null && break; sleep 0.1; done
grep -q "메뉴 막대 — GTK" "$log" || { echo "screenshots: the agent's menu did not start; see $log" >&2; exit 1; }
sleep 2

shot() { ffmpeg -v error -y -f x11grab -video_size "$(xdpyinfo | awk '/dimensions/{print $2; exit}')" -i "$DISPLAY" -frames:v 1 \
    ${2:+-vf "$2"} "$out/$1.png"; echo "screenshots: $out/$1.png"; }

# The menu, opened from the tray icon the way a user does.
xdotool mousemove 12 12 click 1
sleep 0.5
xdotool mousemove 600 600  # no tooltip over the menu
sleep 0.7
shot menu "crop=520:520:0:0"
xdotool key Escape

# The pairing panel for a phone asking to pair (refused afterwards).
"$bin/vellomark-phone" pair --name "Ann’s iPhone" --timeout 20 >"$work/phone.out" 2>&1 &
phone=$!
pids+=($phone)
for _ in $(seq 100); do grep -q "code:" "$work/phone.out" && break; sleep 0.1; done
sleep 1
shot pairing-panel "crop=600:400:660:340"
xdotool mousemove 12 12 click 1
sleep 0.5
xdotool mousemove 600 700
sleep 0.7
shot menu-pairing "crop=520:620:0:0"
xdotool key Escape
request="$(sed -n 's/.*request: \([0-9]*\).*/\1/p' "$work/phone.out" | head -1)"
"$bin/vellomark-ctl" "PAIRNO $request" >/dev/null 2>&1 || kill "$phone" 2>/dev/null || true
sleep 1

# The share sheet, with no phone connected: its message and OK.
"$bin/vellomark-share" --dialog "$work/nothing.txt" >/dev/null 2>&1 &
sheet=$!
pids+=($sheet)
sleep 2
shot share-sheet "crop=600:300:660:390"
