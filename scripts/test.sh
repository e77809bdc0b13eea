#!/usr/bin/env bash
# The tests, each build configuration built once: the release tree (scripts/setup.sh builds
# the module and the media core's C++ tests in build/release and installs the module into
# .venv) serves the C++ tests (GoogleTest through ctest), memcheck and the Python tests
# (pytest, against the installed package, not the build tree); the fuzz tree serves the fuzz
# targets; the sanitizer tree serves the C++ and Python tests under AddressSanitizer and
# UndefinedBehaviorSanitizer. Last the wheel, installed into a fresh virtual environment with
# the system's libx264 hidden.
source "$(dirname "$0")/lib.sh"
timed_step "set-up and release build" bash scripts/setup.sh
use_venv

timed_step "C++ tests" bash -c "cd '$RELEASE_BUILD/talmiro-media' && ctest --output-on-failure -j$JOBS"

# Reliability: the fuzz targets for a bounded time, the C++ and Python tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, memcheck on the codec tests.
timed_step "fuzzing" bash scripts/fuzz.sh
timed_step "sanitizers" bash scripts/sanitize.sh
timed_step "memcheck" bash scripts/valgrind.sh

# From a directory outside the sources, so only the installed package can be imported.
timed_step "Python tests" bash -c "cd talmiro-py-video/tests && python -m pytest -q -p no:cacheprovider ."

timed_step "wheel" bash scripts/test_wheel.sh
