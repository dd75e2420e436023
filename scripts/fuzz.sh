#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs them.
#
#   scripts/fuzz.sh [TARGET|all] [SECONDS]      default: all targets, 600 s each
#   scripts/fuzz.sh distill [TARGET|all] [BYTES] default: all targets, 8000 bytes each
#
# Each target starts from the checked-in seeds (fuzz/corpus/TARGET) merged into its
# working corpus in the build folder (kept between runs) and uses its dictionary
# (fuzz/dict/TARGET.dict). A crash, leak or hang stops that target: the script prints
# the finding, the input (hex) and the command that replays it, and exits 1.
#
# After a long campaign, "distill" adds to fuzz/corpus/TARGET, as found-* files up to
# BYTES in all (those already there count), the working-corpus inputs that reach the
# most features the seeds miss, so that CI's short runs start near where the campaign
# got to. Check them in with the seeds; delete the found-* files to distill afresh.
#
# Environment: VELLOMARK_FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (targets run
# side by side in "all" mode, default 1), FUZZ_NICE (default 10), FUZZ_ARGS (extra
# libFuzzer flags).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

TARGETS=(plain_port input_loop local_control control_lines video_agent phone_video file_channel stored_files
         headless_scene)
DISTILL=0
if [ "${1:-}" = distill ]; then DISTILL=1; shift; fi
WHICH=${1:-all}
SECONDS_EACH=${2:-600}
DISTILL_BYTES=${2:-8000}
BUILD=${VELLOMARK_FUZZ_BUILD_DIR:-build-fuzz}
JOBS=${FUZZ_JOBS:-1}
NICE=${FUZZ_NICE:-10}

if [ "$WHICH" != all ]; then
  case " ${TARGETS[*]} " in
    *" $WHICH "*) TARGETS=("$WHICH") ;;
    *) echo "fuzz.sh: no target $WHICH (targets: ${TARGETS[*]})" >&2; exit 2 ;;
  esac
fi

# Only the fuzz targets and the libraries they need, at -O1, no benchmarks, no
# desktop backends: the build is the larger part of the CI stage.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_NOHASHDIR=1
fi
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" \
  -DVELLOMARK_FUZZ=ON -DVELLOMARK_BENCH=OFF -DVELLOMARK_X11=OFF -DVELLOMARK_GNOME=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only" >/dev/null
cmake --build "$BUILD" --target fuzz $([ $DISTILL = 1 ] && echo fuzz_distill) -j"$(nproc)"

max_len() {
  case "$1" in
    phone_video) echo 16384 ;;
    file_channel|stored_files|headless_scene) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

# Runs one target; prints one summary line, and the finding when there is one.
run_one() {
  local t=$1 corpus="$BUILD/corpus/$1" art="$BUILD/artifacts/$1/" log="$BUILD/logs/$1.log"
  mkdir -p "$corpus" "$art" "$BUILD/logs"
  cp -n "fuzz/corpus/$t/"* "$corpus/" 2>/dev/null || true
  local status=0
  # Leaks are findings too; hangs are inputs that take more than 10 s.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  nice -n "$NICE" "$BUILD/bin/fuzz_$t" -dict="fuzz/dict/$t.dict" -max_total_time="$SECONDS_EACH" \
    -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$art" -print_final_stats=1 \
    ${FUZZ_ARGS:-} "$corpus" >"$log" 2>&1 || status=$?
  local execs cov
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' || true)
  printf '%-15s %s  execs %s  %s  (%s s)\n' "$t" "$([ $status -eq 0 ] && echo ok || echo FAIL)" "${execs:-?}" \
    "${cov:-?}" "$SECONDS_EACH"
  if [ $status -ne 0 ]; then
    echo "---- $t: finding (log $log) ----"
    grep -E 'ERROR|SUMMARY|runtime error|==[0-9]+==' "$log" | head -20 || true
    sed -n '/^    #[0-9]/p' "$log" | head -25
    for f in "$art"crash-* "$art"leak-* "$art"timeout-* "$art"oom-*; do
      [ -e "$f" ] || continue
      echo "input: $f"
      xxd "$f" | head -40
      echo "replay: $BUILD/bin/fuzz_$t $f"
    done
    return 1
  fi
}

# A set-cover merge of the seeds (first) and the working corpus leaves every input's
# features in its control file; fuzz_distill picks from that.
distill_one() {
  local t=$1 corpus="$BUILD/corpus/$1" tmp left
  if [ -z "$(ls -A "$corpus" 2>/dev/null)" ]; then
    echo "$t: no working corpus in $corpus (run a campaign first)"
    return 0
  fi
  left=$((DISTILL_BYTES - $(cat "fuzz/corpus/$t/"found-* 2>/dev/null | wc -c)))
  if [ "$left" -le 0 ]; then
    echo "$t: its found-* files already fill $DISTILL_BYTES bytes (delete them to distill afresh)"
    return 0
  fi
  tmp=$(mktemp -d)
  mkdir "$tmp/seeds"
  cp "fuzz/corpus/$t/"* "$tmp/seeds/"
  if ! ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 "$BUILD/bin/fuzz_$t" -set_cover_merge=1 \
      -merge_control_file="$tmp/control" -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 \
      "$tmp/seeds" "$corpus" >"$BUILD/logs/$t.distill.log" 2>&1; then
    echo "$t: the merge failed (log $BUILD/logs/$t.distill.log)"
    rm -rf "$tmp"
    return 1
  fi
  printf '%-15s ' "$t"
  "$BUILD/bin/fuzz_distill" "$tmp/control" "fuzz/corpus/$t" "$left"
  local s=$?
  rm -rf "$tmp"
  return $s
}

fail=0
mkdir -p "$BUILD/logs"
if [ $DISTILL = 1 ]; then
  for t in "${TARGETS[@]}"; do distill_one "$t" || fail=1; done
  exit $fail
fi
if [ "$JOBS" -le 1 ] || [ ${#TARGETS[@]} -eq 1 ]; then
  for t in "${TARGETS[@]}"; do run_one "$t" || fail=1; done
else
  # Side by side, JOBS at a time; the reports come out in the usual order at the end.
  for t in "${TARGETS[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do sleep 1; done
    ( s=0; run_one "$t" >"$BUILD/logs/$t.report" 2>&1 || s=$?; echo $s >"$BUILD/logs/$t.status" ) &
  done
  wait
  for t in "${TARGETS[@]}"; do
    cat "$BUILD/logs/$t.report"
    [ "$(cat "$BUILD/logs/$t.status")" = 0 ] || fail=1
  done
fi
exit $fail
