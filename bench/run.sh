#!/usr/bin/env bash
# The benchmarks in one command, from a fresh clone: sets up the module (scripts/setup.sh),
# Google Benchmark (Debian's libbenchmark-dev), PyAV in a virtual environment of its own
# (build/bench-venv, never the package's), builds the C++ benchmarks in Release
# (build/bench), then runs everything, prints the tables and writes bench/RESULTS.md.
#
#   bash bench/run.sh [--quick]        (about 7 minutes; --quick about 2)
source "$(dirname "$0")/../scripts/lib.sh"

# PyAV's bundled libavcodec must match our FFmpeg's major versions (the bare loop is also
# linked against it), so the version is pinned.
PYAV_VERSION=18.1.1
BENCH_VENV=build/bench-venv
BENCH_BUILD=build/bench

bash scripts/setup.sh >&2

apt_install_missing libbenchmark-dev

if [ ! -x "$BENCH_VENV/bin/python" ]; then
  echo "bench: creating $BENCH_VENV" >&2
  .venv/bin/python -m venv "$BENCH_VENV"
fi
numpy_version=$(.venv/bin/python -c 'import numpy; print(numpy.__version__)')
"$BENCH_VENV/bin/python" -m pip install -q --disable-pip-version-check \
  "av==$PYAV_VERSION" "numpy==$numpy_version" >&2
pyav_libs=$("$BENCH_VENV/bin/python" -c \
  'import av, pathlib; print(pathlib.Path(av.__file__).resolve().parent.parent / "av.libs")')

use_venv
use_ffmpeg
cmake -S bench -B "$BENCH_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTALMIRO_FFMPEG_PREFIX="$TALMIRO_FFMPEG_PREFIX" -DBENCH_PYAV_LIBDIR="$pyav_libs" >/dev/null
cmake --build "$BENCH_BUILD" >&2

exec .venv/bin/python bench/run.py --build "$BENCH_BUILD" --pyav-python "$BENCH_VENV/bin/python" "$@"
