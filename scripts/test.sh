#!/usr/bin/env bash
# The tests, each build configuration built once: the release tree (scripts/setup.sh builds
# the module and the media core's C++ tests in build/release and installs the module into
# .venv) serves the C++ tests (GoogleTest through ctest), memcheck and the Python tests
# (pytest, against the installed package, not the build tree); the fuzz tree serves the fuzz
# targets; the sanitizer tree serves the C++ and Python tests under AddressSanitizer and
# UndefinedBehaviorSanitizer. Then the wheel, installed into a fresh virtual environment with
# the system's libx264 hidden.
#
# The two instrumented trees build in the background at the lowest priority while the release
# tree's tests run: the Python tests spend most of their time waiting on real-time streams, and
# at that priority the builds only take the processor time the tests leave. What needs the
# instrumented trees runs once they are built.
source "$(dirname "$0")/lib.sh"
timed_step "set-up and release build" bash scripts/setup.sh
use_venv

instrumented_log=build/instrumented-builds.log
# A process group of its own, so that a failing step ends the builds with the script.
setsid -w nice -n 19 env TALMIRO_BUILD_ONLY=1 bash -c \
  'bash scripts/fuzz.sh && bash scripts/sanitize.sh' >"$instrumented_log" 2>&1 &
builds=$!
trap 'kill -- -"$builds" 2>/dev/null || true' EXIT

timed_step "C++ tests" bash -c "cd '$RELEASE_BUILD/talmiro-media' && ctest --output-on-failure -j$JOBS"
# From a directory outside the sources, so only the installed package can be imported.
timed_step "Python tests" bash -c "cd talmiro-py-video/tests && python -m pytest -q -p no:cacheprovider ."
timed_step "memcheck" bash scripts/valgrind.sh
timed_step "wheel" bash scripts/test_wheel.sh

# Reliability: the fuzz targets for a bounded time, the C++ and Python tests under
# AddressSanitizer and UndefinedBehaviorSanitizer (each script finds its tree built).
wait_builds() {
  wait "$builds" && return 0
  tail -n 40 "$instrumented_log" >&2
  echo "test: the instrumented builds failed (log: $instrumented_log)" >&2
  return 1
}
timed_step "instrumented builds, rest of" wait_builds
timed_step "fuzzing" bash scripts/fuzz.sh
timed_step "sanitizers" bash scripts/sanitize.sh
