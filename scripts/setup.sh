#!/usr/bin/env bash
# All set-up on a Debian 12 machine, idempotent: the system packages when missing, the virtual
# environment (.venv), the pinned FFmpeg build (cached per user) and the module, installed into
# .venv. Extra pip requirements for .venv may be passed as arguments. TALMIRO_SETUP_MODULE=0
# stops before the module is installed (scripts/wheel.sh builds it into a wheel instead).
set -euo pipefail
cd "$(dirname "$0")/.."

SYSTEM_PACKAGES=(g++ make nasm pkg-config libx264-dev libgtest-dev patchelf curl xz-utils ca-certificates
                 python3-venv python3-dev ffmpeg
                 gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
                 gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav)
missing=()
for pkg in "${SYSTEM_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv" >&2
  "$PYTHON" -m venv .venv
fi
# Build tools for the C++ tests, the wheel (scripts/wheel.sh) and the checks of the built module.
.venv/bin/python -m pip install -q --disable-pip-version-check cmake ninja abi3audit \
  "scikit-build-core>=1.0" auditwheel "patchelf>=0.14.5" "$@"

prefix=$(bash scripts/build_ffmpeg.sh | tail -n 1)
export TALMIRO_FFMPEG_PREFIX=$prefix
[ "${TALMIRO_SETUP_MODULE:-1}" = 0 ] && exit 0
echo "setup: building the module" >&2
# The package with its demo extra (PNG writer, progress display) and what its tests use.
.venv/bin/python -m pip install -q --disable-pip-version-check ".[demo,test]"
