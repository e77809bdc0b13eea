#!/usr/bin/env bash
# The tests, each build configuration built once: the release tree (scripts/setup.sh builds
# the module and the media core's C++ tests in build/release and installs the module into
# .venv) serves the C++ tests (GoogleTest through ctest), memcheck and the Python tests
# (pytest, against the installed package, not the build tree); the fuzz tree serves the fuzz
# targets; the sanitizer tree serves the C++ and Python tests under AddressSanitizer and
# UndefinedBehaviorSanitizer. Last the wheel, installed into a fresh virtual environment with
# the system's libx264 hidden.
#
# Builds run in the background at the lowest priority while tests run, so that they take only
# the processor time the tests leave (the Python tests spend much of theirs waiting on
# real-time streams): the two instrumented trees during the release tree's tests, the wheel
# during the fuzzing and the sanitizer tests. What needs a build runs once it is done.
source "$(dirname "$0")/lib.sh"
timed_step "set-up and release build" bash scripts/setup.sh
use_venv

background=()
trap 'for g in "${background[@]}"; do kill -- -"$g" 2>/dev/null || true; done' EXIT
# Starts a command in the background at the lowest priority, in a process group of its own (a
# failing step ends it with the script); its pid is the last of `background`.
in_background() {
  setsid -w nice -n 19 "$@" &
  background+=($!)
}
# Waits for the background command `pid`; on failure shows the end of its log.
wait_for() {
  local pid=$1 what=$2 log=$3
  wait "$pid" && return 0
  tail -n 40 "$log" >&2
  echo "test: $what failed (log: $log)" >&2
  return 1
}

mkdir -p build
builds_log=build/instrumented-builds.log
in_background env TALMIRO_BUILD_ONLY=1 bash -c 'bash scripts/fuzz.sh && bash scripts/sanitize.sh' \
  >"$builds_log" 2>&1
builds=${background[-1]}

timed_step "C++ tests" bash -c "cd '$RELEASE_BUILD/talmiro-media' && ctest --output-on-failure -j$JOBS"
# From a directory outside the sources, so only the installed package can be imported.
timed_step "Python tests" bash -c "cd talmiro-py-video/tests && python -m pytest -q -p no:cacheprovider ."
timed_step "memcheck" bash scripts/valgrind.sh
timed_step "instrumented builds, rest of" wait_for "$builds" "the instrumented builds" "$builds_log"

wheel_log=build/wheel-build.log
in_background bash scripts/wheel.sh >build/wheel-path 2>"$wheel_log"
wheel_build=${background[-1]}

# Reliability: the fuzz targets for a bounded time, the C++ and Python tests under
# AddressSanitizer and UndefinedBehaviorSanitizer (each script finds its tree built).
timed_step "fuzzing" bash scripts/fuzz.sh
timed_step "sanitizers" bash scripts/sanitize.sh

timed_step "wheel build, rest of" wait_for "$wheel_build" "the wheel build" "$wheel_log"
export TALMIRO_WHEEL="$PWD/$(tail -n 1 build/wheel-path)"
timed_step "wheel" bash scripts/test_wheel.sh
