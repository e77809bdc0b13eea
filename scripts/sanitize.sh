#!/usr/bin/env bash
# The tests under AddressSanitizer and UndefinedBehaviorSanitizer, from one build tree
# (build/asan: the whole project with the media core's tests, everything instrumented):
#  1. the media core's C++ tests, run by ctest;
#  2. the module's Python tests against the module of that tree, staged as a package of its own
#     and imported ahead of the installed one, with the ASan runtime preloaded into the
#     (uninstrumented) interpreter. CPython's own allocations at exit look like leaks to
#     LeakSanitizer, so leak detection is off for this half; the C++ half and the fuzz targets
#     check for leaks.
# SANITIZE_PYTHON=0 skips the second half; arguments are passed to pytest (default: all tests).
# TALMIRO_BUILD_ONLY=1 builds the tree and stops.
source "$(dirname "$0")/lib.sh"
# The virtual environment's tools (cmake, ninja, pytest, numpy); the installed module itself is
# not used here.
use_venv cmake ninja pytest numpy
use_ffmpeg
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

build=$ASAN_BUILD
site="$PWD/$build/site"
# TALMIRO_SANITIZE instruments the core and its tests; the flags below instrument the module's
# own sources too (and link the sanitizer runtimes into the module).
san="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
cmake -S . -B "$build" -G Ninja -DTALMIRO_FFMPEG_PREFIX="$TALMIRO_FFMPEG_PREFIX" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$INSTRUMENTED_FLAGS" \
  -DTALMIRO_SANITIZE=address,undefined -DTALMIRO_MEDIA_TESTS=ON \
  -DCMAKE_CXX_FLAGS="$san -Wno-maybe-uninitialized" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DPython3_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build "$build"
[ "${TALMIRO_BUILD_ONLY:-0}" = 1 ] && exit 0
(cd "$build/talmiro-media" &&
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} ctest --output-on-failure -j"$JOBS")

[ "${SANITIZE_PYTHON:-1}" = 1 ] || exit 0

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
