#!/usr/bin/env bash
# Builds the media core's fuzz targets (libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer)
# into build/fuzz and runs each for a bounded time from the committed seed corpus; any finding
# (a crash, a sanitizer report, a broken invariant, a leak, a timeout) fails the script and
# leaves its input in build/fuzz/findings/.
#
#   bash scripts/fuzz.sh                      # about 15 s per target
#   FUZZ_SECONDS=600 bash scripts/fuzz.sh     # a longer run: 10 minutes per target
#   FUZZ_TARGETS="sync annexb" bash scripts/fuzz.sh
#   bash scripts/fuzz.sh --seeds              # rewrite talmiro-media/fuzz/corpus and the Python
#                                             # tests' sample clips from the encoder (and the
#                                             # RTCP seeds from the network recordings)
#
# A finding is replayed with: build/fuzz/fuzz/<target>_fuzz build/fuzz/findings/<file>
source "$(dirname "$0")/lib.sh"

seconds=${FUZZ_SECONDS:-15}
targets=${FUZZ_TARGETS:-"annexb sync picture decoder rtcp rtp"}

# The libFuzzer runtime (the targets themselves are compiled by g++, see talmiro-media/fuzz/).
compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
  apt_install_missing libclang-rt-14-dev
use_venv
use_ffmpeg

build=$FUZZ_BUILD
cmake -S talmiro-media -B "$build" -G Ninja -DTALMIRO_FFMPEG_PREFIX="$TALMIRO_FFMPEG_PREFIX" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALMIRO_SANITIZE=address,undefined \
  -DTALMIRO_FUZZ=ON -DTALMIRO_MEDIA_TESTS=OFF >/dev/null
cmake --build "$build"

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
failed=()
for t in $targets; do
  bin="$build/fuzz/${t}_fuzz"
  if [ ! -x "$bin" ]; then
    echo "fuzz: $t: no such target in talmiro-media/fuzz/, skipped"
    continue
  fi
  run_dir="$build/runs/$t"
  mkdir -p "$run_dir"
  log="$build/runs/$t.log"
  start=$(date +%s)
  if "$bin" "$run_dir" "$corpus/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 \
      -print_final_stats=1 -artifact_prefix="$build/findings/$t-" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed+=("$t")
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -n 1)
  echo "fuzz: $t: $status, ${runs:-?} runs in $(( $(date +%s) - start )) s, ${cov:-no coverage line}"
  if [ "$status" = FAILED ]; then
    grep -E 'ERROR|SUMMARY|check failed|Test unit written|runtime error' "$log" | head -n 20 || true
    echo "fuzz: full log in $log"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in: ${failed[*]} (inputs in $build/findings/)"
  exit 1
fi
echo "fuzz: no findings"
