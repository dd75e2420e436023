#!/usr/bin/env bash
# Stops what start-gnome.sh FOLDER started, newest first.
dir="${1:?usage: stop-gnome.sh FOLDER}"
for name in gnome-shell wireplumber pipewire session-bus system-bus; do
    f="$dir/$name.pid"
    [ -f "$f" ] || continue
    pid="$(head -1 "$f")"
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$f"
done
