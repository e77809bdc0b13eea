#!/usr/bin/env bash
# Builds the pinned FFmpeg (shared libavcodec, libavutil, libswscale with the h264 decoder and
# parser, libx264 and h264_nvenc) into a per-user cache and prints the install prefix on the
# last line of stdout. A second run with the same version and options only prints the prefix.
#
# Source tarballs are taken, in this order, from $TALMIRO_VENDOR_DIR, from the download cache
# ($TALMIRO_CACHE_DIR/downloads) or from the upstream address, and are always checked against
# the pinned sha256 before use.
set -euo pipefail

FFMPEG_VERSION=8.1.2
FFMPEG_TARBALL=ffmpeg-${FFMPEG_VERSION}.tar.xz
FFMPEG_SHA256=464beb5e7bf0c311e68b45ae2f04e9cc2af88851abb4082231742a74d97b524c
FFMPEG_URL=https://ffmpeg.org/releases/${FFMPEG_TARBALL}
NVHDR_VERSION=12.1.14.0
NVHDR_TARBALL=nv-codec-headers-${NVHDR_VERSION}.tar.xz
NVHDR_SHA256=0ca1a0c85b149646fa6ce4d600584507fdccf5a23d58e668d8701e89cee0c3fb
NVHDR_URL=https://github.com/FFmpeg/nv-codec-headers/releases/download/n${NVHDR_VERSION}/nv-codec-headers-${NVHDR_VERSION}.tar.xz

CACHE_DIR=${TALMIRO_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/talmiro}
DOWNLOADS=$CACHE_DIR/downloads

CONFIGURE_OPTS=(
  --enable-shared --disable-static --enable-pic
  --disable-programs --disable-doc --disable-debug
  --disable-avformat --disable-avfilter --disable-avdevice --disable-swresample
  --disable-network --disable-autodetect --disable-everything
  --enable-gpl --enable-libx264 --enable-ffnvcodec --enable-nvenc
  --enable-decoder=h264 --enable-parser=h264
  --enable-encoder=libx264 --enable-encoder=h264_nvenc
)

log() { echo "build_ffmpeg: $*" >&2; }
die() { echo "build_ffmpeg: error: $*" >&2; exit 1; }

# Prints the path of a verified tarball, looking in the vendor directory, then the download
# cache, then downloading into the cache.
fetch() {
  local name=$1 sum=$2 url=$3 looked=()
  local candidates=()
  [ -n "${TALMIRO_VENDOR_DIR:-}" ] && candidates+=("$TALMIRO_VENDOR_DIR/$name")
  candidates+=("$DOWNLOADS/$name")
  for f in "${candidates[@]}"; do
    looked+=("$f")
    if [ -f "$f" ]; then
      local got
      got=$(sha256sum "$f" | cut -d' ' -f1)
      if [ "$got" = "$sum" ]; then echo "$f"; return 0; fi
      die "$name at $f has sha256 $got, expected $sum. Replace it with the pinned release tarball."
    fi
  done
  if [ "${TALMIRO_OFFLINE:-0}" != 1 ] && command -v curl >/dev/null; then
    mkdir -p "$DOWNLOADS"
    log "downloading $url"
    if curl -fsSL --retry 2 -o "$DOWNLOADS/$name.part" "$url"; then
      local got
      got=$(sha256sum "$DOWNLOADS/$name.part" | cut -d' ' -f1)
      if [ "$got" = "$sum" ]; then
        mv "$DOWNLOADS/$name.part" "$DOWNLOADS/$name"; echo "$DOWNLOADS/$name"; return 0
      fi
      rm -f "$DOWNLOADS/$name.part"
      die "$name downloaded from $url has sha256 $got, expected $sum."
    fi
    rm -f "$DOWNLOADS/$name.part"
    looked+=("$url")
  fi
  die "$name (sha256 $sum) not found; looked in: ${looked[*]}.
Put the tarball into a directory and set TALMIRO_VENDOR_DIR to it, or copy it to $DOWNLOADS/."
}

key=$(printf '%s\n' "$FFMPEG_VERSION" "$NVHDR_VERSION" "${CONFIGURE_OPTS[@]}" | sha256sum | cut -c1-12)
PREFIX=$CACHE_DIR/ffmpeg-$FFMPEG_VERSION-$key
# FFmpeg's license texts, which travel with the libraries wherever they are bundled (the build
# uses --enable-gpl, so GPLv2 applies).
LICENSES=$PREFIX/share/licenses/ffmpeg
LICENSE_FILES=(LICENSE.md COPYING.GPLv2 COPYING.LGPLv2.1)

install_licenses() {
  local tmp
  tmp=$(mktemp -d "$PREFIX/.licenses.XXXXXX")
  chmod 755 "$tmp"
  tar -C "$tmp" --strip-components=1 --no-same-owner -xf "$1" "${LICENSE_FILES[@]/#/ffmpeg-$FFMPEG_VERSION/}"
  mkdir -p "$(dirname "$LICENSES")"
  rm -rf "$LICENSES"
  mv "$tmp" "$LICENSES"
}

if [ -f "$PREFIX/.complete" ]; then
  # A build made before the license texts were kept gets them from the tarball when it is at
  # hand; only bundling the libraries (scripts/wheel.sh) needs them.
  if [ ! -f "$LICENSES/LICENSE.md" ]; then
    if ff_tar=$(fetch "$FFMPEG_TARBALL" "$FFMPEG_SHA256" "$FFMPEG_URL"); then
      install_licenses "$ff_tar"
    else
      log "warning: FFmpeg's license texts are missing from $PREFIX"
    fi
  fi
  echo "$PREFIX"
  exit 0
fi

for tool in nasm pkg-config make cc; do
  command -v $tool >/dev/null || die "$tool is missing (scripts/setup.sh installs it)"
done
pkg-config --exists x264 || die "libx264-dev is missing (scripts/setup.sh installs it)"
command -v patchelf >/dev/null || die "patchelf is missing (scripts/setup.sh installs it)"

ff_tar=$(fetch "$FFMPEG_TARBALL" "$FFMPEG_SHA256" "$FFMPEG_URL")
nv_tar=$(fetch "$NVHDR_TARBALL" "$NVHDR_SHA256" "$NVHDR_URL")

mkdir -p "$CACHE_DIR"
work=$(mktemp -d "$CACHE_DIR/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
log "building FFmpeg $FFMPEG_VERSION into $PREFIX"
tar -C "$work" -xf "$nv_tar"
make -C "$work"/nv-codec-headers-n$NVHDR_VERSION PREFIX="$work/nvhdr" install >/dev/null
tar -C "$work" -xf "$ff_tar"
rm -rf "$PREFIX"
(
  cd "$work/ffmpeg-$FFMPEG_VERSION"
  PKG_CONFIG_PATH="$work/nvhdr/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}" \
    ./configure --prefix="$PREFIX" "${CONFIGURE_OPTS[@]}" >"$work/configure.log" 2>&1 ||
    { tail -n 30 ffbuild/config.log "$work/configure.log" >&2 || true; exit 1; }
  make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
  make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
) || die "FFmpeg build failed (logs above)"
# The libraries find each other next to themselves wherever they are installed.
for lib in "$PREFIX"/lib/lib*.so.*.*.*; do
  patchelf --set-rpath '$ORIGIN' "$lib"
done
install_licenses "$ff_tar"
touch "$PREFIX/.complete"
echo "$PREFIX"
