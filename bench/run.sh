#!/usr/bin/env bash
# The benchmarks in one command, from a fresh clone: sets up the module (scripts/setup.sh),
# Google Benchmark (Debian's libbenchmark-dev), PyAV in a virtual environment of its own
# (build/bench-venv, never the package's), builds the C++ benchmarks in Release
# (build/bench), then runs everything, prints the tables and writes bench/RESULTS.md.
#
#   bash bench/run.sh [--quick]        (about 7 minutes; --quick about 2)
set -euo pipefail
cd "$(dirname "$0")/.."

# PyAV's bundled libavcodec must match our FFmpeg's major versions (the bare loop is also
# linked against it), so the version is pinned.
PYAV_VERSION=18.1.1
BENCH_VENV=build/bench-venv
BENCH_BUILD=build/bench

bash scripts/setup.sh >&2

if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed"; then
  echo "bench: installing libbenchmark-dev" >&2
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libbenchmark-dev >/dev/null
fi

if [ ! -x "$BENCH_VENV/bin/python" ]; then
  echo "bench: creating $BENCH_VENV" >&2
  .venv/bin/python -m venv "$BENCH_VENV"
fi
numpy_version=$(.venv/bin/python -c 'import numpy; print(numpy.__version__)')
"$BENCH_VENV/bin/python" -m pip install -q --disable-pip-version-check \
  "av==$PYAV_VERSION" "numpy==$numpy_version" >&2
pyav_libs=$("$BENCH_VENV/bin/python" -c \
  'import av, pathlib; print(pathlib.Path(av.__file__).resolve().parent.parent / "av.libs")')

prefix=$(bash scripts/build_ffmpeg.sh | tail -n 1)
export PATH="$PWD/.venv/bin:$PATH"
cmake -S bench -B "$BENCH_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTALMIRO_FFMPEG_PREFIX="$prefix" -DBENCH_PYAV_LIBDIR="$pyav_libs" >/dev/null
cmake --build "$BENCH_BUILD" -j2 >&2

exec .venv/bin/python bench/run.py --build "$BENCH_BUILD" --pyav-python "$BENCH_VENV/bin/python" "$@"
