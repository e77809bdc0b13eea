#!/usr/bin/env bash
# The tests: the media core's C++ tests (GoogleTest through ctest), the fuzz targets and the
# sanitizer and memcheck runs, then the module's Python tests (pytest) against the package
# installed in .venv, not the build tree, and last the wheel installed into a fresh virtual
# environment with the system's libx264 hidden.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
prefix=$(bash scripts/build_ffmpeg.sh | tail -n 1)

cmake -S talmiro-media -B build/media -G Ninja -DTALMIRO_FFMPEG_PREFIX="$prefix" >/dev/null
cmake --build build/media -j"$(nproc)"
(cd build/media && ctest --output-on-failure -j"$(nproc)")

# Reliability: the fuzz targets for a bounded time, the C++ and Python tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, memcheck on the codec tests.
bash scripts/fuzz.sh
bash scripts/sanitize.sh
bash scripts/valgrind.sh

# From a directory outside the sources, so only the installed package can be imported.
(cd talmiro-py-video/tests && python -m pytest -q -p no:cacheprovider .)

bash scripts/test_wheel.sh
