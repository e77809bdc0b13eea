"""SRTP and SRTCP between our sender and receiver and Debian's ffmpeg and GStreamer on loopback:
each side takes the other's protected stream without refusing a datagram, and PLI goes both
ways through SRTCP.

The keys as each tool takes them: ffmpeg the suite and the base64 key-salt (`a=crypto` in an
SDP, or -srtp_out_suite/-srtp_out_params for srtp://), AES_CM_128_HMAC_SHA1_80 and _32 only;
GStreamer's srtpenc the key-salt as a hex buffer property, srtpdec the same in its sink caps,
bound to one SSRC there (caps name no SSRC otherwise, and a gst-launch pipeline cannot answer
srtpdec's request-key signal), so the SSRC whose packets it unprotects is fixed beforehand."""

import os
import subprocess
import time
from pathlib import Path

import pytest

import talmiro_sdk_video._codec as codec
from talmiro_sdk_video._net import free_pair, wall_us
from talmiro_sdk_video.receiver import RtpReceiver
from talmiro_sdk_video.relay import Relay, RelayConfig
from talmiro_sdk_video.sender import RtpSender
from talmiro_sdk_video.srtp import SrtpKey
# `spawn` is the fixture the tests take by name.
from test_interop import (CLI, FEEDBACK_CAPS, GST_SOURCE, LOCAL, SIZE, H, W,  # noqa: F401
                          KeyUnits, assert_shown_exact, gst, need, play_45, raw_frames, send_cmd,
                          spawn, stop, summary, wait_bound)

FPS = 30
# GStreamer's cipher and its RTP and RTCP authentication for each suite (GCM authenticates by
# itself). Our _32 suite sends SRTCP with the 80-bit tag, as DTLS-SRTP's does (and takes both).
GST_SUITES = {
    "AES_CM_128_HMAC_SHA1_80": ("aes-128-icm", "hmac-sha1-80", "hmac-sha1-80"),
    "AES_CM_128_HMAC_SHA1_32": ("aes-128-icm", "hmac-sha1-32", "hmac-sha1-80"),
    "AEAD_AES_128_GCM": ("aes-128-gcm", "null", "null"),
    "AEAD_AES_256_GCM": ("aes-256-gcm", "null", "null"),
}


def srtpenc(key: SrtpKey, name: str = "enc") -> str:
    cipher, auth, rtcp_auth = GST_SUITES[key.suite]
    return (f"srtpenc name={name} key={key.key_salt.hex()} rtp-cipher={cipher} rtp-auth={auth} "
            f"rtcp-cipher={cipher} rtcp-auth={rtcp_auth}")


def srtp_caps(key: SrtpKey, ssrc: int, media: str = "application/x-srtp") -> str:
    """Sink caps that give srtpdec the key of the packets of `ssrc` (RTP and RTCP alike)."""
    cipher, auth, rtcp_auth = GST_SUITES[key.suite]
    return (f"{media},ssrc=(uint){ssrc},srtp-key=(buffer){key.key_salt.hex()},"
            f"srtp-cipher={cipher},srtp-auth={auth},srtcp-cipher={cipher},srtcp-auth={rtcp_auth}")


def ffmpeg_srtp_out(key: SrtpKey, port: int) -> list[str]:
    return ["-f", "rtp", "-srtp_out_suite", key.suite, "-srtp_out_params", key.inline(),
            f"srtp://{LOCAL}:{port}"]


def send_pictures(tx: RtpSender, frames: int) -> None:
    """Encodes and sends `frames` test-pattern pictures at their pace, with an IDR picture
    whenever the sender asks the encoder for one."""
    enc = codec.H264Encoder(W, H, fps=FPS, bitrate_kbps=400, backend="x264")
    tx.encoder = enc
    pattern = codec.TestPattern(W, H, FPS)
    start = wall_us()
    for n in range(frames):
        time.sleep(max(0.0, (start + n * 1e6 / FPS - wall_us()) / 1e6))
        stamp = start + round(n * 1e6 / FPS)
        for unit in enc.encode(pattern.frame(n, stamp), stamp):
            tx.send_unit(unit)
    enc.close()


def receive_while(rx: RtpReceiver, proc: subprocess.Popen, seconds: float) -> None:
    """Takes pictures from `rx` while `proc` runs, for `seconds` at most."""
    deadline = time.monotonic() + seconds
    while proc.poll() is None and time.monotonic() < deadline:
        rx.receive(timeout=0.05)


def assert_nothing_refused(r: dict) -> None:
    assert r["auth_failures"] == r["replays"] == r["unprotect_errors"] == 0, r
    assert r["packets_refused"] == r["rtcp_refused"] == 0, r


# ---- ffmpeg, with our send and receive commands ----

def key_file(tmp_path: Path, key: SrtpKey) -> str:
    path = tmp_path / "srtp.key"
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
        f.write(key.inline() + "\n")
    return str(path)


@pytest.mark.parametrize("with_key", [True, False])
def test_ffmpeg_decodes_our_srtp_stream_bit_exact(with_key, tmp_path, spawn):
    """With the key, ffmpeg shows every picture exact; without it (the description less its
    a=crypto, as one on the path would have it), nothing."""
    need("ffmpeg")
    port, keyed = free_pair(), ("--key-file", key_file(tmp_path, SrtpKey.generate()))
    sdp_path, raw = tmp_path / "s.sdp", tmp_path / "out.yuv"
    # The description (and its key) from a one-picture run, so that ffmpeg listens first.
    subprocess.run(send_cmd(port, 1, *keyed, "--sdp", str(sdp_path)), check=True,
                   capture_output=True, timeout=60)
    given = sdp_path
    if not with_key:
        given = tmp_path / "plain.sdp"
        given.write_text("".join(line for line in sdp_path.read_text().splitlines(True)
                                 if not line.startswith("a=crypto")).replace("RTP/SAVP", "RTP/AVP"))
    proc = spawn(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
                  "-protocol_whitelist", "file,udp,rtp,srtp,crypto", "-i", str(given),
                  "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p", str(raw)])
    err = play_45(port, proc, tmp_path, *keyed)
    if not with_key:
        assert not raw.exists() or raw_frames(raw) == []
        return
    assert "error" not in err.lower(), err
    assert_shown_exact(tmp_path / "sent.h264", raw)


@pytest.mark.parametrize("suite", ["AES_CM_128_HMAC_SHA1_80", "AES_CM_128_HMAC_SHA1_32"])
def test_ffmpeg_srtp_stream_received_clean(suite, tmp_path, spawn):
    need("ffmpeg")
    port, key = free_pair(), SrtpKey.generate(suite)
    receiver = spawn(CLI + ["receive", "--port", str(port), "--bind", LOCAL, "--seconds", "20",
                            "--key-file", key_file(tmp_path, key), "--srtp-suite", suite,
                            "--json", "--no-progress"])
    wait_bound(port, receiver)
    tool = spawn(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-re",
                  "-f", "lavfi", "-i", f"testsrc=size={SIZE}:rate={FPS}", "-frames:v", "45",
                  "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast",
                  "-tune", "zerolatency", "-bf", "0", "-g", "30", "-b:v", "400k",
                  *ffmpeg_srtp_out(key, port)])
    tool.wait(20)
    _, tool_err = stop(tool)
    time.sleep(0.4)
    out, err = stop(receiver)
    r = summary(out)
    assert r["packets_received"] > 0, (tool_err, err)
    assert r["packets_refused"] == r["packets_lost"] == r["units_incomplete"] == 0, r
    assert r["decoder_errors"] == 0 and r["pictures"] == 45, r
    # Its sender report, sent with the first packet, comes through SRTCP.
    # (ffmpeg tags SRTCP with 32 bits in the _32 suite, which we take beside the 80-bit tag.)
    assert r["sender_reports"] > 0 and r["auth_failures"] == r["unprotect_errors"] == 0, r
    assert_nothing_refused(r)


# ---- GStreamer, with PLI through SRTCP both ways ----

# Our receiver's RTCP under the stream's key, or under a key of its own.
@pytest.mark.parametrize("suite,own_feedback_key", [("AES_CM_128_HMAC_SHA1_80", False),
                                                    ("AEAD_AES_128_GCM", True)])
def test_gstreamer_srtp_sender_answers_our_pli(suite, own_feedback_key, spawn):
    need("gst-launch-1.0")
    key, feedback_port = SrtpKey.generate(suite), free_pair()
    feedback = SrtpKey.generate(suite) if own_feedback_key else key
    keys = KeyUnits()
    cfg = RelayConfig(loss=0.05, seed=4, clean_back=True)
    with RtpReceiver(0, bind=LOCAL, nack=False, on_unit=keys, srtp=key,
                     srtp_feedback=feedback) as rx:
        keys.receiver = rx
        with Relay((LOCAL, 0), rx.address, cfg, rtcp_back=(LOCAL, feedback_port)) as relay:
            listen = relay.listen_address[1]
            # Its own key pictures are 1000 frames apart: one after our PLI answers it. Our
            # reports and PLIs carry our receiver's SSRC, which srtpdec is given.
            sender = spawn(gst(
                "rtpbin name=rb " + GST_SOURCE.format(frames=120, gop=1000) +
                f"rb.send_rtp_sink_0 rb.send_rtp_src_0 ! enc.rtp_sink_0 enc.rtp_src_0 ! "
                f"udpsink host={LOCAL} port={listen} rb.send_rtcp_src_0 ! enc.rtcp_sink_0 "
                f"enc.rtcp_src_0 ! udpsink host={LOCAL} port={listen + 1} sync=false "
                f"async=false {srtpenc(key)} udpsrc port={feedback_port} reuse=false "
                f"caps={srtp_caps(feedback, rx.ssrc, 'application/x-srtcp')} ! dec.rtcp_sink "
                "srtpdec name=dec dec.rtcp_src ! rb.recv_rtcp_sink_0"))
            receive_while(rx, sender, 15)
            _, err = stop(sender)
        r = rx.stats()
    assert r["packets_received"] > 0 and r["sender_reports"] > 0, err
    assert_nothing_refused(r)
    assert r["plis_sent"] > 0 and r["packets_lost"] > 0, r
    assert keys.after_pli(), keys.plis_before


@pytest.mark.parametrize("suite,own_feedback_key", [("AES_CM_128_HMAC_SHA1_32", False),
                                                    ("AEAD_AES_256_GCM", True)])
def test_gstreamer_srtp_receiver_pli_reaches_our_sender(suite, own_feedback_key, tmp_path,
                                                        spawn):
    need("gst-launch-1.0")
    key, rx_port, out_port, ssrc = SrtpKey.generate(suite), free_pair(), free_pair(), 0x5EC0DE
    feedback = SrtpKey.generate(suite) if own_feedback_key else key
    raw = tmp_path / "out.yuv"
    # It decodes the pictures of our SSRC (not our resends, which come on an SSRC of their
    # own it has no key for) and protects its reports and PLIs with the feedback key.
    receiver = spawn(gst(
        f"rtpbin name=rb rtp-profile=avpf latency=50 udpsrc port={rx_port} reuse=false "
        f"caps={srtp_caps(key, ssrc)},{FEEDBACK_CAPS.split(',', 1)[1]} ! dec.rtp_sink "
        f"srtpdec name=dec dec.rtp_src ! rb.recv_rtp_sink_0 udpsrc port={rx_port + 1} "
        "reuse=false caps=application/x-srtcp ! dec.rtcp_sink dec.rtcp_src ! "
        "rb.recv_rtcp_sink_0 rb. ! rtph264depay request-keyframe=true ! avdec_h264 ! "
        f"video/x-raw,format=I420 ! filesink location={raw} rb.send_rtcp_src_0 ! "
        f"enc.rtcp_sink_0 {srtpenc(feedback)} enc.rtcp_src_0 ! udpsink host={LOCAL} "
        f"port={out_port + 1} sync=false async=false"))
    wait_bound(rx_port, receiver)
    cfg = RelayConfig(loss=0.05, seed=3, clean_back=True)
    with Relay((LOCAL, 0), (LOCAL, rx_port), cfg, out_port=out_port) as relay:
        with RtpSender([(LOCAL, relay.listen_address[1])], bind=LOCAL, ssrc=ssrc,
                       srtp=key, srtp_feedback=feedback) as tx:
            send_pictures(tx, 90)
            time.sleep(0.3)
            s = tx.stats()
        lost = relay.counters()["forward"]["lost"]
    _, err = stop(receiver)
    assert lost > 0 and s["plis_received"] + s["firs_received"] > 0, (s, err)
    assert s["feedback_auth_failures"] == 0 and s["rtcp_refused"] == 0, s
    assert s["idr_from_feedback"] > 0 and s["idr_pictures"] == 1 + s["idr_from_feedback"], s
    assert len(raw_frames(raw)) > 45, err
