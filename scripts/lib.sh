# What every script starts with, sourced (`source scripts/lib.sh` from the repository's root or
# `source "$(dirname "$0")/lib.sh"`): strict mode, the repository's root as the working
# directory, the build trees by configuration, and the set-up steps the scripts share.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Parallel jobs of every build (cmake, ninja, pip's build of the module).
JOBS=${TALMIRO_JOBS:-$(nproc)}
export CMAKE_BUILD_PARALLEL_LEVEL=$JOBS

# One build tree per configuration, each built once by whichever script needs it first:
#  release  the module as installed into .venv by scripts/setup.sh, with the core's C++ tests
#           (ctest, memcheck);
#  asan     the same under AddressSanitizer + UndefinedBehaviorSanitizer (scripts/sanitize.sh);
#  fuzz     the fuzz targets over a core with coverage instrumentation (scripts/fuzz.sh).
RELEASE_BUILD=build/release
ASAN_BUILD=build/asan
FUZZ_BUILD=build/fuzz
# The optimisation of the instrumented trees (asan, fuzz), passed as
# -DCMAKE_CXX_FLAGS_RELWITHDEBINFO: -O1 with line tables builds in about half the time of -O2
# with full debug information, the tests run about as fast, and the sanitizers' reports still
# name file and line.
INSTRUMENTED_FLAGS="-O1 -g1 -DNDEBUG"
# The release tree's configuration, as scripts/setup.sh installs the module into .venv and
# scripts/wheel.sh builds the wheel from the same objects: the tests as well, and source paths
# relative to the repository (the wheel is reproducible whichever directory it is built in).
# Only install rules differ between the two (TALMIRO_BUNDLE_X264), so neither recompiles.
RELEASE_CONFIG=(-C build-dir="$RELEASE_BUILD" -C cmake.define.TALMIRO_MEDIA_TESTS=ON
                -C cmake.define.CMAKE_CXX_FLAGS="-ffile-prefix-map=$PWD=.")

# Installs the Debian packages among the arguments that are not installed yet.
apt_install_missing() {
  local missing=() pkg sudo=""
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "$(basename "$0"): installing ${missing[*]}" >&2
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Puts .venv's tools first on PATH, running scripts/setup.sh first when .venv lacks one of the
# Python modules named (default: cmake and ninja).
use_venv() {
  local modules=${*:-cmake ninja}
  .venv/bin/python -c "import ${modules// /, }" 2>/dev/null || bash scripts/setup.sh >&2
  export PATH="$PWD/.venv/bin:$PATH"
}

# Exports TALMIRO_FFMPEG_PREFIX, the pinned FFmpeg build (built on first use, cached per user).
use_ffmpeg() {
  TALMIRO_FFMPEG_PREFIX=$(bash scripts/build_ffmpeg.sh | tail -n 1)
  export TALMIRO_FFMPEG_PREFIX
}

# Runs a step of a script and says how long it took (on stderr), so that a slow test command
# shows where its time goes.
timed_step() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "$(basename "$0"): $name took $((SECONDS - start)) s" >&2
}
