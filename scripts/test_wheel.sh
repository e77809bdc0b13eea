#!/usr/bin/env bash
# The wheel as a user gets it: builds it (scripts/wheel.sh), installs it into a fresh virtual
# environment and runs the package with the system's libx264, libsrtp2 and NSS hidden, so that
# a library the wheel fails to carry makes the import (or SRTP) fail. First without NumPy (`info`, `--help`,
# and `link` saying what to install), then a short `link --json` with the demo extra.
#
# Hiding needs a mount namespace: `unshare -m` as root, `unshare -rm` otherwise. Where neither
# works the test is skipped, except under CI (CI=true), where that is a failure.
source "$(dirname "$0")/lib.sh"

fail() { echo "test_wheel: FAILED: $*" >&2; exit 1; }
PYTHON=${PYTHON:-python3}

wheel=$PWD/$(bash scripts/wheel.sh | tail -n 1)
[ -f "$wheel" ] || fail "scripts/wheel.sh gave no wheel"

ldconfig=$(command -v ldconfig || echo /sbin/ldconfig)
# awk reads to the end: leaving early would end ldconfig by SIGPIPE and fail the pipeline.
# The system's copy of a library by its file name's start (the first x86-64 one ldconfig lists).
system_lib() {
  local found
  found=$("$ldconfig" -p | awk -v name="$1" 'index($1, name) == 1 && /x86-64/ && !found {
    print $NF; found = 1 }')
  [ -n "$found" ] || fail "no system $1 to hide (ldconfig -p lists none)"
  realpath "$found"
}
# What the wheel must carry: libx264, libsrtp2 and the NSS it works with (the soft token and
# freebl are opened by NSS itself, so only a run that uses SRTP shows they are missing).
hide=()
for lib in libx264.so. libsrtp2.so. libnss3.so libnssutil3.so libsoftokn3.so libfreeblpriv3.so; do
  hide+=("$(system_lib "$lib")")
done
x264=${hide[0]}
unshare_cmd=(unshare -m)
[ "$(id -u)" -eq 0 ] || unshare_cmd=(unshare -rm)
if ! "${unshare_cmd[@]}" mount --bind /dev/null "$x264" 2>/dev/null; then
  [ "${CI:-}" = true ] && fail "cannot hide $x264 with ${unshare_cmd[*]} (run as root)"
  echo "test_wheel: skipped: ${unshare_cmd[*]} cannot hide $x264" >&2
  exit 0
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$PYTHON" -m venv "$tmp/venv"
py=$tmp/venv/bin/python
pip_install() { "$py" -m pip install -q --disable-pip-version-check "$@" >&2 || fail "pip install $*"; }
pip_install "$wheel"
"$py" -c 'import talmiro_sdk_video' 2>/dev/null ||
  { "$py" -c 'import talmiro_sdk_video'; fail "the installed wheel does not import"; }

# Runs a command from / with those system libraries replaced by empty files.
hidden() {
  "${unshare_cmd[@]}" sh -ec 'n=$0; while [ "$n" -gt 0 ]; do mount --bind /dev/null "$1"
    shift; n=$((n - 1)); done; cd /; exec "$@"' "${#hide[@]}" "${hide[@]}" "$@"
}

hidden "$py" -c '
import ctypes, sys
for lib in sys.argv[1:]:
    try:
        ctypes.CDLL(lib)
    except OSError:
        continue
    sys.exit(f"the system {lib} is still loadable")' "${hide[@]}" ||
  fail "hiding ${hide[*]} did not work"

# The codec libraries the process maps all come from the environment the wheel went into.
hidden "$py" -c '
import sys
import talmiro_sdk_video as v
v.H264Encoder(64, 48, backend="x264").close()
libs = {line.split()[-1] for line in open("/proc/self/maps")
        if any(n in line for n in ("libx264", "libavcodec", "libavutil", "libswscale"))}
outside = sorted(p for p in libs if not p.startswith(sys.prefix + "/"))
assert len(libs) == 4 and not outside, f"mapped {sorted(libs)}"
' || fail "the module did not load its own libraries"

# SRTP from the wheel's libsrtp2: a datagram protected and opened again.
hidden "$py" -c '
import socket, sys
from talmiro_sdk_video import SrtpKey, _rtp
key = SrtpKey.generate()
a, b = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2))
for s in (a, b):
    s.bind(("127.0.0.1", 0))
out, into = _rtp.DatagramTransport(a), _rtp.DatagramTransport(b)
out.set_srtp(False, key.suite, key.key_salt)
into.set_srtp(False, inbound_suite=key.suite, inbound_key=key.key_salt)
packet = bytes([0x80, 96, 0, 1, 0, 0, 0, 1, 0, 0, 0, 7]) + b"payload"
out.send(packet, b.getsockname())
b.settimeout(2)
assert b.recv(2048, socket.MSG_PEEK) != packet
got = into.receive()
assert [d for d, _ in got] == [packet], got
maps = {line.split()[-1] for line in open("/proc/self/maps")
        if any(n in line for n in ("libsrtp2", "libnss", "libsoftokn", "libfreebl", "libnspr"))}
assert len(maps) >= 6 and all(p.startswith(sys.prefix + "/") for p in maps), maps
' || fail "SRTP did not work from the wheel"

hidden "$py" -c 'import numpy' 2>/dev/null && fail "NumPy is installed in the fresh environment"
out=$(hidden "$py" -m talmiro_sdk_video info) || fail "info failed without NumPy"
grep -q '^encoder libx264: yes$' <<<"$out" || fail "info: $out"
grep -q '^backend auto opens: \(x264\|nvenc\)$' <<<"$out" || fail "info: $out"
hidden "$py" -m talmiro_sdk_video --help >/dev/null || fail "--help failed without NumPy"
if err=$(hidden "$py" -m talmiro_sdk_video link --transport memory --frames 5 2>&1 >/dev/null); then
  fail "link without NumPy succeeded"
fi
[ "$(wc -l <<<"$err")" -eq 1 ] && grep -qF "pip install 'talmiro-sdk-video[demo]'" <<<"$err" ||
  fail "link without NumPy printed: $err"

pip_install "$wheel[demo]"
summary=$(hidden "$py" -m talmiro_sdk_video link --transport memory --size 160x96 --frames 30 --loss 0.05 \
  --seed 2 --no-progress --json) || fail "link --json with the demo extra failed"
"$py" -c '
import json, sys
s = json.loads(sys.argv[1])
assert s["frames_sent"] == 30 and s["lost"] > 0 and s["decoded"] > 15, s
assert s["psnr_clean_min_db"] > 30, s
' "$summary" || fail "link --json summary: $summary"
echo "test_wheel: ok: $(basename "$wheel") runs with ${hide[*]} hidden" >&2
