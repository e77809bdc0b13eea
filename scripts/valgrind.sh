#!/usr/bin/env bash
# The encoder's and decoder's C++ tests under valgrind's memcheck: invalid reads and writes,
# uses of uninitialised values and leaks (definite and indirect) inside the media core, FFmpeg
# and libx264, which the sanitizer build cannot see into. The executables are those of the
# release tree (build/release, made by scripts/setup.sh; no sanitizers); each runs under memcheck
# on its own and any error fails the script.
#
#   bash scripts/valgrind.sh                      # encode_test and decode_test
#   VALGRIND_TESTS="convert_test" bash scripts/valgrind.sh
source "$(dirname "$0")/lib.sh"
apt_install_missing valgrind
use_venv
[ -f "$RELEASE_BUILD/talmiro-media/CTestTestfile.cmake" ] || bash scripts/setup.sh
tests=${VALGRIND_TESTS:-"encode_test decode_test"}
# shellcheck disable=SC2086
cmake --build "$RELEASE_BUILD" --target $tests
build=$RELEASE_BUILD/talmiro-media

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
