#!/usr/bin/env bash
# The encoder's and decoder's C++ tests under valgrind's memcheck: invalid reads and writes,
# uses of uninitialised values and leaks (definite and indirect) inside the media core, FFmpeg
# and libx264, which the sanitizer build cannot see into. Built into build/valgrind without
# sanitizers; each test executable runs under memcheck on its own and any error fails the script.
#
#   bash scripts/valgrind.sh                      # encode_test and decode_test
#   VALGRIND_TESTS="convert_test" bash scripts/valgrind.sh
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v valgrind >/dev/null; then
  echo "valgrind: installing valgrind" >&2
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq valgrind >/dev/null
fi
[ -x .venv/bin/cmake ] && [ -x .venv/bin/ninja ] || bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
prefix=$(bash scripts/build_ffmpeg.sh | tail -n 1)

build=build/valgrind
cmake -S talmiro-media -B "$build" -G Ninja -DTALMIRO_FFMPEG_PREFIX="$prefix" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
tests=${VALGRIND_TESTS:-"encode_test decode_test"}
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $tests

failed=()
for t in $tests; do
  log="$build/$t.memcheck.log"
  start=$(date +%s)
  if valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
      --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
      --num-callers=30 --log-file="$log" "$build/$t" --gtest_brief=1 >"$build/$t.out" 2>&1; then
    status=clean
  else
    status=FAILED
    failed+=("$t")
  fi
  summary=$(grep -E "ERROR SUMMARY" "$log" | tail -n 1 | sed 's/^==[0-9]*== //')
  echo "valgrind: $t: $status in $(( $(date +%s) - start )) s ($summary)"
  [ "$status" = clean ] || { tail -n 30 "$build/$t.out"; echo "valgrind: details in $log"; }
done
[ ${#failed[@]} -eq 0 ] || exit 1
echo "valgrind: clean"
