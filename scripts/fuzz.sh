#!/usr/bin/env bash
# Builds the media core's fuzz targets (libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer)
# into build/fuzz and runs each for a bounded time from the committed seed corpus, as many at
# once as there are build jobs (TALMIRO_JOBS, default: the number of processors); any finding
# (a crash, a sanitizer report, a broken invariant, a leak, a timeout) fails the script and
# leaves its input in build/fuzz/findings/.
#
#   bash scripts/fuzz.sh                      # about 15 s per target
#   FUZZ_SECONDS=600 bash scripts/fuzz.sh     # a longer run: 10 minutes per target
#   FUZZ_TARGETS="sync annexb" bash scripts/fuzz.sh
#   TALMIRO_BUILD_ONLY=1 bash scripts/fuzz.sh  # build the targets, run none
#   bash scripts/fuzz.sh --seeds              # rewrite talmiro-media/fuzz/corpus and the Python
#                                             # tests' sample clips from the encoder (and the
#                                             # RTCP seeds from the network recordings)
#
# A finding is replayed with: build/fuzz/fuzz/<target>_fuzz build/fuzz/findings/<file>
source "$(dirname "$0")/lib.sh"

seconds=${FUZZ_SECONDS:-15}
targets=${FUZZ_TARGETS:-"annexb sync picture decoder rtcp rtp receive_session srtp"}

# The libFuzzer runtime (the targets themselves are compiled by g++, see talmiro-media/fuzz/).
compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
  apt_install_missing libclang-rt-14-dev
use_venv
use_ffmpeg

build=$FUZZ_BUILD
cmake -S talmiro-media -B "$build" -G Ninja -DTALMIRO_FFMPEG_PREFIX="$TALMIRO_FFMPEG_PREFIX" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$INSTRUMENTED_FLAGS" \
  -DTALMIRO_SANITIZE=address,undefined -DTALMIRO_FUZZ=ON -DTALMIRO_MEDIA_TESTS=OFF >/dev/null
cmake --build "$build"
[ "${TALMIRO_BUILD_ONLY:-0}" = 1 ] && exit 0

corpus=talmiro-media/fuzz/corpus
if [ "${1:-}" = "--seeds" ]; then
  clips=talmiro-py-video/tests/data
  "$build/fuzz/make_seeds" "$corpus" "$clips" talmiro-media/tests/data/rtp
  echo "fuzz: seeds written to $corpus, sample clips to $clips" >&2
  exit 0
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
mkdir -p "$build/findings"

# Runs one target for the time given and writes its verdict line to $build/runs/<target>.verdict
# (its libFuzzer log beside it).
run_target() {
  local t=$1 bin="$build/fuzz/${1}_fuzz" run_dir="$build/runs/$1" log="$build/runs/$1.log"
  local start status runs cov
  mkdir -p "$run_dir"
  start=$(date +%s)
  if "$bin" "$run_dir" "$corpus/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 \
      -print_final_stats=1 -artifact_prefix="$build/findings/$t-" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1) || true
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -n 1) || true
  echo "fuzz: $t: $status, ${runs:-?} runs in $(( $(date +%s) - start )) s, ${cov:-no coverage line}" \
    >"$build/runs/$t.verdict"
}

# The targets run $JOBS at a time (each is single-threaded), so the whole run takes about
# seconds x targets / JOBS.
mkdir -p "$build/runs"
present=()
for t in $targets; do
  if [ -x "$build/fuzz/${t}_fuzz" ]; then
    present+=("$t")
  else
    echo "fuzz: $t: no such target in talmiro-media/fuzz/, skipped"
  fi
done
running=0
for t in "${present[@]}"; do
  rm -f "$build/runs/$t.verdict"
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$JOBS" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

failed=()
for t in "${present[@]}"; do
  verdict="$build/runs/$t.verdict"
  if [ ! -s "$verdict" ]; then
    echo "fuzz: $t: FAILED, no verdict" >"$verdict"
  fi
  cat "$verdict"
  if ! grep -q ": ok," "$verdict"; then
    failed+=("$t")
    grep -E 'ERROR|SUMMARY|check failed|Test unit written|runtime error' "$build/runs/$t.log" |
      head -n 20 || true
    echo "fuzz: full log in $build/runs/$t.log"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in: ${failed[*]} (inputs in $build/findings/)"
  exit 1
fi
echo "fuzz: no findings"
