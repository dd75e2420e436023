#!/usr/bin/env bash
# A long run of the agent as a phone uses it: video watched the whole time, the
# pointer moved and a file sent every minute. Prints the agent's RSS, threads and
# open descriptors once a minute.   scripts/soak.sh [MINUTES] [BUILD_DIR]
set -euo pipefail
minutes="${1:-30}"
bin="$(cd "${2:-build}/bin" && pwd)"
home="$(mktemp -d /tmp/vellomark-soak-XXXXXX)"
export HOME="$home" XDG_RUNTIME_DIR="$home/run" VELLOMARK_PORT_OFFSET="${VELLOMARK_PORT_OFFSET:-500}"
unset DISPLAY XDG_STATE_HOME XDG_DATA_HOME XDG_CONFIG_HOME VELLOMARK_PLATFORM
mkdir -p "$home/run" && chmod 700 "$home/run"
echo '{"displays":[{"width":1280,"height":720}]}' > "$home/scene.json"
export VELLOMARK_HEADLESS_SCENE="$home/scene.json"

"$bin/vellomark" >"$home/agent.out" 2>&1 &
agent=$!
trap 'kill $agent ${video:-} 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do grep -q "짝지어진 폰이 없다" "$home/.local/state/vellomark/inputd.log" 2>/dev/null && break; sleep 0.1; done

"$bin/vellomark-phone" pair --name Soak --timeout 30 >"$home/pair.out" 2>&1 &
pairer=$!
for _ in $(seq 1 100); do grep -q "request:" "$home/pair.out" && break; sleep 0.1; done
"$bin/vellomark-ctl" "PAIROK $(sed -n 's/^request: //p' "$home/pair.out")" >/dev/null
wait $pairer

"$bin/vellomark-phone" video --seconds $((minutes * 60 + 30)) >"$home/video.out" 2>&1 &
video=$!
head -c 1048576 /dev/urandom > "$home/file.bin"
moves=()
for i in $(seq 1 300); do moves+=("M $(( (i % 7) - 3 )) $(( (i % 5) - 2 ))"); done

sample() {
    local rss threads fds
    rss=$(awk '/VmRSS/ {print $2}' /proc/$agent/status)
    threads=$(awk '/Threads/ {print $2}' /proc/$agent/status)
    fds=$(ls /proc/$agent/fd | wc -l)
    echo "minute $1  rss ${rss} kB  threads ${threads}  fds ${fds}"
}
sample 0
for m in $(seq 1 "$minutes"); do
    "$bin/vellomark-phone" ctl --linger 1 "${moves[@]}" >/dev/null 2>&1 || echo "minute $m: moves failed"
    "$bin/vellomark-phone" put "$home/file.bin" --name "soak-$m.bin" >/dev/null 2>&1 || echo "minute $m: put failed"
    sleep 55
    sample "$m"
done
wait $video || true
tail -1 "$home/video.out"
echo "received files: $(ls "$home/Vellomark" | wc -l)"
