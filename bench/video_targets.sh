#!/usr/bin/env bash
# The video targets side by side in one run: capture->decoded latency (1280x720 with
# periodic key frames and with intra refresh, 1170x2048), key frames on the wire, the
# sender's datagrams per CPU second by send mode, and the encoder against the ffmpeg
# command line plus its rate per level. The machine's load is printed before each
# part, since every figure here depends on it.
#
#   bench/video_targets.sh [build dir]   (default build)
set -euo pipefail
bin="${1:-build}/bin"
for b in video_latency_bench send_bench encoder_bench; do
  [ -x "$bin/$b" ] || { echo "missing $bin/$b (build the benchmarks first)" >&2; exit 1; }
done
echo "== latency ($(uptime))"
"$bin/video_latency_bench" 10
echo
echo "== sending ($(uptime))"
"$bin/send_bench" 300
echo
echo "== encoder ($(uptime))"
"$bin/encoder_bench" 120
echo
echo "== done ($(uptime))"
