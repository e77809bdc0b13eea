#!/usr/bin/env bash
# All set-up on a Debian 12 machine, idempotent: the system packages when missing, the virtual
# environment (.venv), the pinned FFmpeg build (cached per user) and the module, installed into
# .venv. The module is built in the release tree (build/release) together with the media core's
# C++ tests, so that ctest and memcheck run on that same build. Extra pip requirements for .venv
# may be passed as arguments. TALMIRO_SETUP_MODULE=0 stops before the module is installed
# (scripts/wheel.sh builds it into a wheel instead).
source "$(dirname "$0")/lib.sh"

SYSTEM_PACKAGES=(g++ make nasm pkg-config libx264-dev libsrtp2-dev libgtest-dev patchelf curl xz-utils
                 ca-certificates
                 python3-venv python3-dev ffmpeg
                 gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
                 gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav)
apt_install_missing "${SYSTEM_PACKAGES[@]}"

PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv" >&2
  "$PYTHON" -m venv .venv
fi
# Build tools for the C++ tests, the module, the wheel (scripts/wheel.sh) and the checks of the
# built module.
.venv/bin/python -m pip install -q --disable-pip-version-check cmake ninja abi3audit \
  "scikit-build-core>=1.0" auditwheel "patchelf>=0.14.5" "$@"

use_ffmpeg
[ "${TALMIRO_SETUP_MODULE:-1}" = 0 ] && exit 0
echo "setup: building the module" >&2
export PATH="$PWD/.venv/bin:$PATH"
# The package with its demo extra (PNG writer, progress display) and what its tests use. The
# build tools are .venv's own, so the build tree stays valid from one run to the next and a
# second run only builds what changed.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  "${RELEASE_CONFIG[@]}" -C cmake.define.TALMIRO_BUNDLE_X264=OFF ".[demo,test]"
