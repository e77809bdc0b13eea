#!/usr/bin/env bash
# The tests under AddressSanitizer and UndefinedBehaviorSanitizer:
#  1. the media core's C++ tests, built into build/media-asan with TALMIRO_SANITIZE, run by ctest;
#  2. the module's Python tests against the module built the same way (build/py-asan), staged as
#     a package of its own and imported ahead of the installed one, with the ASan runtime
#     preloaded into the (uninstrumented) interpreter. CPython's own allocations at exit look
#     like leaks to LeakSanitizer, so leak detection is off for this half; the C++ half and the
#     fuzz targets check for leaks.
# SANITIZE_PYTHON=0 skips the second half; arguments are passed to pytest (default: all tests).
set -euo pipefail
cd "$(dirname "$0")/.."
# The virtual environment's tools (cmake, ninja, pytest, numpy); the installed module itself is
# not used here.
.venv/bin/python -c "import cmake, ninja, pytest, numpy" 2>/dev/null || bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
prefix=$(bash scripts/build_ffmpeg.sh | tail -n 1)
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

cmake -S talmiro-media -B build/media-asan -G Ninja -DTALMIRO_FFMPEG_PREFIX="$prefix" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALMIRO_SANITIZE=address,undefined >/dev/null
cmake --build build/media-asan -j2
(cd build/media-asan && ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} ctest --output-on-failure -j2)

[ "${SANITIZE_PYTHON:-1}" = 1 ] || exit 0

build=build/py-asan
site="$PWD/$build/site"
# TALMIRO_SANITIZE instruments the core; the flags below instrument the module's own sources too
# (and link the sanitizer runtimes into the module).
san="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
cmake -S . -B "$build" -G Ninja -DTALMIRO_FFMPEG_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTALMIRO_SANITIZE=address,undefined -DTALMIRO_MEDIA_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$san -Wno-maybe-uninitialized" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DPython3_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build "$build" -j2
rm -rf "$site"
cmake --install "$build" --prefix "$site" >/dev/null
cp -r talmiro-py-video/python/talmiro_sdk_video/. "$site/talmiro_sdk_video/"

asan_runtime=$(g++ -print-file-name=libasan.so)
export PYTHONPATH="$site" LD_PRELOAD="$asan_runtime"
export ASAN_OPTIONS=${PY_ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
cd talmiro-py-video/tests
# The instrumented module, not the installed one, must be the one imported.
python -c "import sys, talmiro_sdk_video._codec as c; sys.exit(not c.__file__.startswith('$site'))"
python -m pytest -q -p no:cacheprovider "${@:-.}"
