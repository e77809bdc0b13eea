"""`python -m talmiro_sdk_video`: info, the link over memory and UDP, saved streams, snapshots,
argument errors, a stream seed's packets, SRTP keys (refusals, never shown), and the stubs
against the module."""

import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest

import talmiro_sdk_video._codec as codec
from talmiro_sdk_video._net import free_pair
from talmiro_sdk_video.sdp import VideoSdp, parse_sdp
from talmiro_sdk_video.srtp import SrtpKey

SMALL = ["--transport", "memory", "--size", "160x96", "--frames", "90", "--fps", "30",
         "--bitrate", "800", "--no-progress"]


def run(*args: str, check: bool = True) -> subprocess.CompletedProcess:
    result = subprocess.run([sys.executable, "-m", "talmiro_sdk_video", *args],
                            capture_output=True, text=True, timeout=300)
    if check:
        assert result.returncode == 0, result.stderr
    return result


def test_info():
    out = run("info").stdout
    assert out.startswith(f"libavcodec {codec.avcodec_version()}\n")
    assert "encoder libx264: yes" in out
    assert "backend auto opens: x264" in out or "backend auto opens: nvenc" in out


@pytest.mark.parametrize("mode", [[], ["--idr", "--keyframe-interval", "15"]])
def test_lossy_link_summary(mode):
    summary = json.loads(run("link", *SMALL, "--loss", "0.05", "--burst-rate", "0.02",
                             "--seed", "3", "--json", *mode).stdout)
    assert summary["frames_sent"] == 90
    assert summary["access_units"] == 90
    assert summary["lost"] > 0
    # Every access unit that arrived became one picture, or was dropped before a start point.
    assert summary["decoded"] <= summary["access_units"] - summary["lost"]
    assert summary["decoded"] > 45
    # Pictures no loss has touched are as good as on a lossless link.
    assert summary["psnr_clean_min_db"] > 30
    assert 0 < summary["damaged_pictures"] < summary["decoded"]
    assert summary["losses"] == len(summary["recovery_frames"]) + summary["unrecovered"]
    # The receiver saw the losses and flagged every picture they made wrong.
    assert 0 < summary["losses_seen"] <= summary["lost"]
    assert summary["hit_unflagged"] == 0
    assert summary["recovering_pictures"] >= summary["damaged_pictures"]
    assert summary["wrong_share"] == summary["damaged_pictures"] / summary["decoded"]
    rec = sorted(summary["recovery_frames"])
    assert (summary["recovery_max"], summary["recovery_p95"]) == (rec[-1], rec[int(0.95 * len(rec))])
    assert summary["encode_us"]["p50"] > 0 and summary["latency_us"]["p99"] >= 0
    assert summary["bitrate_kbps"] > 0


def test_lossless_link_decodes_every_frame_and_text_summary():
    out = run("link", *SMALL).stdout
    assert "frames sent 90, access units 90, lost 0, decoded 90 (0 hit by losses" in out
    assert "pictures per AU 1.000" in out
    assert "luma PSNR" in out


@pytest.mark.parametrize("fmt", ["nv12", "rgb24", "bgra"])
def test_link_with_other_pixel_formats(fmt):
    summary = json.loads(run("link", *SMALL, "--frames", "20", "--pixel-format", fmt,
                             "--json").stdout)
    assert summary["decoded"] == 20 and summary["psnr_min_db"] > 30


def split_access_units(stream: bytes) -> list[bytes]:
    """Cuts an Annex-B stream of single-slice pictures into access units: a new one begins at
    an SPS, SEI or delimiter after a slice, or at a second slice."""
    starts = []
    i = 0
    while (i := stream.find(b"\x00\x00\x01", i)) != -1:
        begin = i - 1 if i > 0 and stream[i - 1] == 0 else i
        starts.append((begin, stream[i + 3] & 0x1F))
        i += 3
    units, current, has_slice = [], None, False
    for begin, nal_type in starts:
        is_slice = nal_type in (1, 5)
        if current is None or (has_slice and (is_slice or nal_type in (6, 7, 9))):
            if current is not None:
                units.append(current)
            current, has_slice = begin, False
        has_slice = has_slice or is_slice
    if current is not None:
        units.append(current)
    return [stream[a:b] for a, b in zip(units, units[1:] + [len(stream)])]


def test_saved_stream_decodes_frame_for_frame(tmp_path: Path):
    path = tmp_path / "link.h264"
    run("link", *SMALL, "--frames", "30", "--save", str(path))
    units = split_access_units(path.read_bytes())
    assert len(units) == 30
    dec = codec.H264Decoder()
    pattern = codec.TestPattern(160, 96)
    for n, au in enumerate(units):
        pictures = dec.decode(au, n, n == 0, n == 0, False)
        assert len(pictures) == 1
        assert codec.psnr(pictures[0].y, pattern.frame(n).y) > 30


def test_snapshot_png(tmp_path: Path):
    pytest.importorskip("PIL")
    from PIL import Image
    path = tmp_path / "worst.png"
    run("link", *SMALL, "--frames", "10", "--snapshot", str(path))
    with Image.open(path) as img:
        assert img.size == (320, 96) and img.mode == "RGB"


def sent_with_a_nack(seed: int) -> list[tuple[int, int, int, int]]:
    """(payload type, SSRC, sequence number, timestamp) of every packet `send --stream-seed`
    sends to a socket that NACKs its first packet twice."""
    from talmiro_sdk_video._net import bind_pair
    rtp, rtcp = bind_pair("127.0.0.1", 0)
    proc = subprocess.Popen(
        [sys.executable, "-m", "talmiro_sdk_video", "send", "--to",
         f"127.0.0.1:{rtp.getsockname()[1]}", "--size", "160x96", "--frames", "3",
         "--stream-seed", str(seed), "--no-progress", "--json"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    got: list = []
    nacks = 0
    try:
        rtp.setblocking(True)
        rtp.settimeout(0.2)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            running = proc.poll() is None
            try:
                data, src = rtp.recvfrom(65536)
            except (TimeoutError, socket.timeout):
                if running:
                    continue
                break  # the sender is gone and its last packets are read
            pt, seq, ts, ssrc = data[1] & 0x7F, *struct.unpack_from(">HII", data, 2)
            got.append((pt, ssrc, seq, ts))
            if nacks < 2 and pt == 96:
                # Twice the first packet: the second retransmission has a number of its own.
                rtcp.sendto(struct.pack(">BBHIIHH", 0x81, 205, 3, 1, ssrc, got[0][2], 0),
                            (src[0], src[1] + 1))
                nacks += 1
                time.sleep(0.05)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(5)
        rtp.close()
        rtcp.close()
    assert proc.returncode == 0, err
    assert json.loads(out)["packets_resent"] == sum(p == 97 for p, *_ in got) >= 1
    return got


def test_a_stream_seed_fixes_every_packet_retransmissions_included():
    first, again, other = sent_with_a_nack(5), sent_with_a_nack(5), sent_with_a_nack(6)
    originals = [p for p in first if p[0] == 96]
    assert originals == [p for p in again if p[0] == 96] and len(originals) >= 3
    resent, resent_again = ([p[1:3] for p in run if p[0] == 97] for run in (first, again))
    count = min(len(resent), len(resent_again))
    assert resent[:count] == resent_again[:count] and resent[0][0] != originals[0][1]
    assert originals[0][1:] != [p for p in other if p[0] == 96][0][1:]


@pytest.mark.parametrize("args", [
    ["link", "--size", "17x9"],
    ["link", "--size", "big"],
    ["link", "--pixel-format", "yuv444"],
    ["link", "--backend", "x265"],
    ["link", "--frames", "0"],
    ["link", "--loss", "2"],
    ["link", "--no-such-flag"],
])
def test_bad_arguments_give_one_line(args):
    result = run(*args, check=False)
    assert result.returncode != 0
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: "), result.stderr
    assert "Traceback" not in result.stderr


KEY = SrtpKey.generate()


def key_files(tmp: Path) -> dict[str, str]:
    """Key files good and bad, and descriptions with and without a key, by name."""
    def write(name: str, text: str, mode: int = 0o600) -> str:
        path = tmp / name
        path.write_text(text)
        path.chmod(mode)
        return str(path)
    return {"good": write("good.key", KEY.inline() + "\n"),
            "other": write("other.key", SrtpKey.generate().inline()),
            "readable": write("readable.key", KEY.inline(), 0o644),
            "garbage": write("garbage.key", "not a key!"),
            "missing": str(tmp / "missing.key"),
            "keyed_sdp": write("keyed.sdp", VideoSdp(5004, crypto=KEY).to_text()),
            "keyless_sdp": write("keyless.sdp", VideoSdp(5004).to_text().replace(
                "RTP/AVPF", "RTP/SAVPF"), 0o644)}


SEND = ["send", "--to", "127.0.0.1:5004", "--frames", "1"]
BAD_KEYS = [
    (SEND + ["--key-file", "{missing}"], "cannot read key file"),
    (SEND + ["--key-file", "{readable}"], "can be read by others: chmod 600 it"),
    (SEND + ["--key-file", "{garbage}"], "not base64"),
    (SEND + ["--key-file", "{good}", "--srtp-suite", "AEAD_AES_256_GCM"],
     "AEAD_AES_256_GCM takes a 44-byte key and salt, got 30 bytes"),
    (SEND + ["--srtp", "--srtp-suite", "AES_CM_256"], "invalid choice"),
    (SEND + ["--srtp"], "--srtp without --key-file needs --sdp"),
    (SEND + ["--feedback-key-file", "{good}"], "need --srtp or --key-file"),
    (["receive", "--port", "5004", "--srtp-suite", "AEAD_AES_128_GCM"],
     "need --key-file or an --sdp with a=crypto"),
    (["receive", "--sdp", "{keyless_sdp}"], "no a=crypto key"),
    (["receive", "--sdp", "{keyed_sdp}", "--key-file", "{other}"], "hold different keys"),
    (["receive", "--sdp", "{keyed_sdp}", "--srtp-suite", "AES_CM_128_HMAC_SHA1_32"],
     "--srtp-suite is AES_CM_128_HMAC_SHA1_32, the --sdp's a=crypto AES_CM_128_HMAC_SHA1_80"),
    (["receive", "--port", "5004", "--key-file", "{good}", "--feedback-key-file", "{readable}"],
     "readable.key can be read by others"),
]


@pytest.mark.parametrize("args, message", BAD_KEYS)
def test_a_key_that_cannot_serve_is_one_line_and_never_shown(tmp_path, args, message):
    files = key_files(tmp_path)
    result = run(*(a.format(**files) for a in args), check=False)
    assert result.returncode == 2 and result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: ") and message in lines[0], lines
    assert KEY.inline() not in result.stderr


def test_srtp_by_the_senders_description_and_no_key_in_any_output(tmp_path):
    port = free_pair()
    sdp = tmp_path / "stream.sdp"
    sender = subprocess.Popen(
        [sys.executable, "-m", "talmiro_sdk_video", "send", "--to", f"127.0.0.1:{port}",
         "--bind", "127.0.0.1", "--size", "160x96", "--frames", "150", "--srtp", "--sdp",
         str(sdp), "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(200):
            if sdp.exists() or sender.poll() is not None:
                break
            time.sleep(0.05)
        received = run("receive", "--sdp", str(sdp), "--bind", "127.0.0.1", "--seconds", "20")
        out, err = sender.communicate(timeout=60)
    finally:
        if sender.poll() is None:
            sender.kill()
            sender.wait(5)
    assert sender.returncode == 0, err
    key = parse_sdp(sdp.read_text()).crypto
    assert key is not None and key.suite == "AES_CM_128_HMAC_SHA1_80"
    assert os.stat(sdp).st_mode & 0o777 == 0o600
    for text in (out, err, received.stdout, received.stderr):
        assert key.inline() not in text
    sent = json.loads(out.splitlines()[-1])
    assert sent["srtp"] == "AES_CM_128_HMAC_SHA1_80" and sent["feedback_auth_failures"] == 0
    assert "protected by SRTP (AES_CM_128_HMAC_SHA1_80): refused for failed authentication 0, " \
           "replays 0" in received.stdout
    pictures = int(received.stdout.split()[1])
    assert pictures >= 1


def test_stubs_match_the_module():
    stubtest = shutil.which("stubtest") or str(Path(sys.executable).with_name("stubtest"))
    if not Path(stubtest).exists():
        pytest.skip("mypy's stubtest is not installed")
    allow = Path(__file__).with_name("stubtest_allowlist.txt")
    result = subprocess.run([stubtest, "talmiro_sdk_video._codec", "talmiro_sdk_video._rtp",
                             "--allowlist", str(allow)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
