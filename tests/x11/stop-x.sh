#!/usr/bin/env bash
# Stops what start-x.sh FOLDER started.
dir="${1:?usage: stop-x.sh FOLDER}"
for f in openbox xorg; do
    if [ -f "$dir/$f.pid" ]; then kill "$(cat "$dir/$f.pid")" 2>/dev/null || true; fi
done
sleep 0.3
for f in openbox xorg; do
    if [ -f "$dir/$f.pid" ]; then kill -9 "$(cat "$dir/$f.pid")" 2>/dev/null || true; rm -f "$dir/$f.pid"; fi
done
