#!/usr/bin/env bash
# The tests, each build configuration built once: the release tree (scripts/setup.sh builds
# the module and the media core's C++ tests in build/release and installs the module into
# .venv) serves the C++ tests (GoogleTest through ctest), memcheck and the Python tests
# (pytest, against the installed package, not the build tree); the fuzz tree serves the fuzz
# targets; the sanitizer tree serves the C++ and Python tests under AddressSanitizer and
# UndefinedBehaviorSanitizer. Last the wheel, installed into a fresh virtual environment with
# the system's libx264 hidden.
source "$(dirname "$0")/lib.sh"
bash scripts/setup.sh
use_venv

(cd "$RELEASE_BUILD/talmiro-media" && ctest --output-on-failure -j"$JOBS")

# Reliability: the fuzz targets for a bounded time, the C++ and Python tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, memcheck on the codec tests.
bash scripts/fuzz.sh
bash scripts/sanitize.sh
bash scripts/valgrind.sh

# From a directory outside the sources, so only the installed package can be imported.
(cd talmiro-py-video/tests && python -m pytest -q -p no:cacheprovider .)

bash scripts/test_wheel.sh
