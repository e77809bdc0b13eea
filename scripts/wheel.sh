#!/usr/bin/env bash
# Builds the binary wheel into dist/: a cp311-abi3 wheel with the manylinux tag auditwheel
# grants on this machine, holding the module, the three FFmpeg libraries, libx264, libsrtp2 and
# the NSS libraries it works with (every shared library the module loads beyond glibc,
# libstdc++, libgcc_s and libm) and their license texts. Checks it with
# `auditwheel show` and `abi3audit --strict` and prints the wheel's path on the last line of
# stdout.
#
# Reproducible: the same sources and FFmpeg build give the same wheel, byte for byte. Archive
# times come from SOURCE_DATE_EPOCH (default: the time of the last commit).
source "$(dirname "$0")/lib.sh"

log() { echo "wheel: $*" >&2; }

# System packages, .venv with the build tools and auditwheel, the FFmpeg build; not the module.
TALMIRO_SETUP_MODULE=0 bash scripts/setup.sh >&2
use_ffmpeg
export PATH="$PWD/.venv/bin:$PATH"

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH

# From the release tree (RELEASE_CONFIG in lib.sh: the flags scripts/setup.sh builds with, paths
# of the build machine kept out of the binaries), so that the module is not compiled twice:
# ninja brings the tree up to date with the sources first. Only the install rules differ.
raw=build/wheel/raw
rm -rf build/wheel
mkdir -p "$raw" dist
log "building the wheel"
python -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" \
  "${RELEASE_CONFIG[@]}" -C cmake.define.TALMIRO_BUNDLE_X264=ON . >&2
built=("$raw"/talmiro_sdk_video-*-cp311-abi3-linux_x86_64.whl)
[ -f "${built[0]}" ] || { log "error: pip wheel made no cp311-abi3 wheel"; exit 1; }

rm -f dist/talmiro_sdk_video-*-cp311-abi3-*.whl
# Everything the module needs is inside the wheel already (auditwheel would graft whatever
# was missing into talmiro_sdk_video.libs); auditwheel checks the libraries against the
# manylinux policies and sets the tag.
auditwheel repair -w dist "${built[0]}" >&2
wheel=(dist/talmiro_sdk_video-*-cp311-abi3-manylinux*.whl)
[ -f "${wheel[0]}" ] || { log "error: auditwheel made no manylinux wheel"; exit 1; }
auditwheel show "${wheel[0]}" >&2
abi3audit --strict --report "${wheel[0]}" >&2
log "built ${wheel[0]}"
echo "${wheel[0]}"
