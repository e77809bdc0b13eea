"""Session descriptions: ours round trip (SRTP keys included), ffmpeg's parse, the H.264 stream
and its retransmissions are picked, refusals, and players decode a stream by our description."""

import pathlib
import re
import shutil
import socket
import subprocess
import sys
import time

import pytest

import talmiro_sdk_video._codec as codec
import talmiro_sdk_video._rtp as rtp
from talmiro_sdk_video._net import free_pair
from talmiro_sdk_video.sdp import (TRANSPORT_CC_EXTENSION_ID, TRANSPORT_CC_URI, SdpError,
                                   VideoSdp, parse_sdp)
from talmiro_sdk_video.srtp import SRTP_SUITES, SrtpKey

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "talmiro-media" / "testing"))
from au_records import RTCP, read_datagram_records  # noqa: E402
from tool_processes import stop  # noqa: E402

RTP_DATA = ROOT / "talmiro-media" / "tests" / "data" / "rtp"


def our_packetizer() -> rtp.RtpPacketizer:
    """A packetizer that sent our encoder's first picture."""
    enc = codec.H264Encoder(64, 48, intra_refresh=False)
    units = enc.encode(codec.TestPattern(64, 48).frame(0), 0) + enc.flush()
    tx = rtp.RtpPacketizer()
    tx.packetize(units[0][0], 0)
    return tx


def test_round_trip_of_our_description():
    tx = our_packetizer()
    # The description takes the parameter sets the packetizer sent.
    assert VideoSdp.from_packetizer(rtp.RtpPacketizer(), 5004).sprop_parameter_sets == ()
    sdp = VideoSdp.from_packetizer(tx, port=5004, rtcp_port=6001, rtx_payload_type=97,
                                   rtx_time_ms=200, framerate=30,
                                   transport_cc=TRANSPORT_CC_EXTENSION_ID)
    sps, pps = sdp.sprop_parameter_sets
    assert (sps[0] & 0x1F, pps[0] & 0x1F) == (7, 8)
    assert sdp == VideoSdp.from_parameter_sets(sps, pps, port=5004, rtcp_port=6001,
                                               rtx_payload_type=97, rtx_time_ms=200, framerate=30,
                                               transport_cc=3)
    text = sdp.to_text()
    assert text.endswith("\r\n") and "\n\n" not in text
    assert f"a=fmtp:96 packetization-mode=1;profile-level-id={sps[1:4].hex()};" in text
    assert "a=rtcp-fb:96 nack\r\na=rtcp-fb:96 nack pli\r\n" in text
    assert "a=fmtp:97 apt=96;rtx-time=200\r\n" in text
    assert f"a=extmap:3 {TRANSPORT_CC_URI}\r\n" in text
    assert TRANSPORT_CC_URI == rtp.TRANSPORT_SEQ_EXTENSION_URI
    back = parse_sdp(text)
    back.fmtp = {}
    assert back == sdp


@pytest.mark.parametrize("name", ["ffmpeg_zerolatency", "ffmpeg_bframes", "ffmpeg_sprop"])
def test_parses_ffmpegs_descriptions(name):
    sdp = parse_sdp((RTP_DATA / f"{name}.sdp").read_text())
    assert (sdp.port, sdp.rtcp, sdp.payload_type, sdp.packetization_mode) == (5004, 5005, 96, 1)
    assert (sdp.address, sdp.profile, sdp.rtx_payload_type) == ("127.0.0.1", "RTP/AVP", None)
    if name == "ffmpeg_sprop":
        sps, pps = sdp.sprop_parameter_sets
        assert (sps[0] & 0x1F, pps[0] & 0x1F) == (7, 8)
        assert sdp.profile_level_id.lower() == sps[1:4].hex()
    else:
        assert sdp.sprop_parameter_sets == () and sdp.profile_level_id is None


def test_picks_the_h264_stream_and_its_retransmissions():
    text = "\n".join([
        "v=0", "o=- 1 1 IN IP4 10.0.0.1", "s=x", "c=IN IP4 10.0.0.1", "t=0 0",
        "m=audio 4000 RTP/AVP 0",
        "m=video 5006 RTP/AVPF 98 95 96 97",
        "c=IN IP4 192.168.1.9/127",
        "a=rtcp:5011",
        "a=rtpmap:98 VP8/90000",
        "a=rtpmap:95 H264/90000", "a=fmtp:95 packetization-mode=2",
        "a=rtpmap:96 h264/90000",
        "a=fmtp:96 profile-level-id=42e01f; packetization-mode=1 ;sprop-parameter-sets=Z0I=,aM4=",
        "a=rtpmap:97 rtx/90000", "a=fmtp:97 apt=96;rtx-time=300",
        "a=rtcp-fb:96 nack", "a=rtcp-fb:*  nack   pli", "a=rtcp-fb:98 goog-remb",
        "a=extmap:1 urn:ietf:params:rtp-hdrext:toffset",
        f"a=extmap:15 {TRANSPORT_CC_URI}", f"a=extmap:x {TRANSPORT_CC_URI}",
        f"a=extmap:5/sendrecv {TRANSPORT_CC_URI}",
    ])
    sdp = parse_sdp(text)
    assert sdp.transport_cc == 5
    # Said for the whole session, or not at all.
    session_wide = text.replace("t=0 0", f"t=0 0\na=extmap:7 {TRANSPORT_CC_URI}")
    assert parse_sdp(session_wide).transport_cc == 5
    assert parse_sdp(session_wide.replace("a=extmap:5/", "a=extmap:16/")).transport_cc == 7
    assert parse_sdp(text.replace("a=extmap:5/", "a=extmap:16/")).transport_cc is None
    assert (sdp.port, sdp.rtcp, sdp.address, sdp.payload_type) == (5006, 5011, "192.168.1.9", 96)
    assert sdp.sprop_parameter_sets == (b"gB", b"h\xce")
    assert (sdp.rtx_payload_type, sdp.rtx_time_ms) == (97, 300)
    assert sdp.rtcp_fb == ("nack", "nack pli")


@pytest.mark.parametrize("text, message", [
    ("m=video 5004 RTP/AVP 96", "starts with v=0"),
    ("v=0\nm=video 5004 RTP/AVP 96\na=rtpmap:96 VP8/90000", "no H.264"),
    ("v=0\nm=video 5004 RTP/AVP 96\na=rtpmap:96 H264/90000\na=fmtp:96 packetization-mode=2",
     "no H.264"),
    ("v=0\nm=video 5004 RTP/AVP 96\na=rtpmap:96 H264/90000\n"
     "a=fmtp:96 sprop-parameter-sets=Z0I*,aM4=", "not base64"),
    ("v=0\nm=video 5004 RTP/AVP 96\na=rtpmap:96 H264/90000\na=fmtp:96 profile-level-id=42e01",
     "six hex digits"),
    ("v=0\nm=video port RTP/AVP 96\na=rtpmap:96 H264/90000", "not a port"),
    ("v=0\nm=video 70000 RTP/AVP 96\na=rtpmap:96 H264/90000", "out of range"),
    ("v=0\n" + "a=x\n" * 40000, "longer than"),
])
def test_refuses_what_it_cannot_use(text, message):
    with pytest.raises(SdpError, match=message):
        parse_sdp(text)


def _with_rtx(port="5004", rtx="97", rtx_time="300", rtcp=None) -> str:
    return "\n".join(["v=0", f"m=video {port} RTP/AVPF 96 {rtx}", "a=rtpmap:96 H264/90000",
                      "a=fmtp:96 packetization-mode=1", f"a=rtpmap:{rtx} rtx/90000",
                      f"a=fmtp:{rtx} apt=96;rtx-time={rtx_time}"]
                     + ([f"a=rtcp:{rtcp}"] if rtcp is not None else []))


# Values a receiver cannot use: each refusal names the line that holds it.
HOSTILE = {
    "rtx payload type -1": (_with_rtx(rtx="-1"), "a=fmtp:-1 apt=96"),
    "rtx payload type 1000": (_with_rtx(rtx="1000"), "a=fmtp:1000 apt=96"),
    "port 65535 (no RTCP port after it)": (_with_rtx(port="65535"), "m=video 65535"),
    "port 0 (the stream is off)": (_with_rtx(port="0"), "m=video 0"),
    "port +5004": (_with_rtx(port="+5004"), "m=video +5004"),
    "rtx-time of centuries": (_with_rtx(rtx_time="99999999999999"), "rtx-time=9999"),
    "rtcp port 0": (_with_rtx(rtcp="0"), "a=rtcp:0"),
    "media payload type 128": (_with_rtx().replace("RTP/AVPF 96 97", "RTP/AVPF 128 96"),
                               "m=video 5004 RTP/AVPF 128"),
}


@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_refuses_hostile_values_naming_their_line(case):
    text, line = HOSTILE[case]
    with pytest.raises(SdpError) as err:
        parse_sdp(text)
    assert line in str(err.value)
    assert parse_sdp(_with_rtx()).rtx_time_ms == 300


def test_a_section_turned_off_gives_way_to_the_next():
    text = _with_rtx(port="0") + "\n" + _with_rtx(port="6004").split("\n", 1)[1]
    assert parse_sdp(text).port == 6004


@pytest.mark.parametrize("case", ["port 0 (the stream is off)", "rtx payload type 1000"])
def test_receive_refuses_a_hostile_description_in_one_line(tmp_path, case):
    path = tmp_path / "hostile.sdp"
    path.write_text(HOSTILE[case][0])
    result = subprocess.run([sys.executable, "-m", "talmiro_sdk_video", "receive", "--sdp",
                             str(path), "--seconds", "1"], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 2 and result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: --sdp ") and HOSTILE[case][1] in lines[0]


@pytest.mark.parametrize("change, message", [
    ({"address": "10.0.0.1\r\na=inject"}, "address"),
    ({"session_name": "two\nlines"}, "one line"),
    ({"rtcp_fb": ("nack\r\nx",)}, "tokens"),
    ({"payload_type": 200}, "dynamic"),
    ({"rtx_payload_type": 96}, "differ"),
    ({"port": 65535}, "port"),
    ({"transport_cc": 15}, "transport_cc"),
    ({"transport_cc": "3\r\na=x"}, "transport_cc"),
])
def test_writer_refuses_values_that_break_lines(change, message):
    sdp = VideoSdp(**{"port": 5004, "profile_level_id": "42c01f", **change})
    with pytest.raises(SdpError, match=message):
        sdp.to_text()


def test_srtp_keys_round_trip_in_a_crypto():
    for suite in SRTP_SUITES:
        for profile in ("RTP/AVPF", "RTP/AVP"):
            sdp = VideoSdp(5004, profile_level_id="42c01f", profile=profile,
                           crypto=SrtpKey.generate(suite))
            text = sdp.to_text()
            assert f"m=video 5004 RTP/S{profile[4:]} 96\r\n" in text
            assert f"a=crypto:1 {suite} inline:{sdp.crypto.inline()}\r\n" in text
            back = parse_sdp(text)
            back.fmtp = {}
            assert back == sdp and back.media_profile == "RTP/S" + profile[4:]
            assert sdp.crypto.inline() not in repr(back)
    assert "crypto" not in VideoSdp(5004).to_text()


def _secure(*crypto: str, profile: str = "RTP/SAVP") -> str:
    return "\n".join(["v=0", f"m=video 5004 {profile} 96", "a=rtpmap:96 H264/90000",
                      *(f"a=crypto:{line}" for line in crypto)])


KEY = SrtpKey.generate()
KEY_256 = SrtpKey.generate("AEAD_AES_256_GCM")


def test_takes_the_first_usable_crypto_offer():
    # What ffmpeg writes: the plain profile and a key.
    sdp = parse_sdp(_secure(f"1 AES_CM_128_HMAC_SHA1_80 inline:{KEY.inline()}",
                            profile="RTP/AVP"))
    assert sdp.crypto == KEY and sdp.profile == "RTP/AVP"
    # A suite we lack, an MKI, then a key with a lifetime: the last one serves.
    sdp = parse_sdp(_secure(f"1 F8_128_HMAC_SHA1_80 inline:{KEY.inline()}",
                            f"2 AES_CM_128_HMAC_SHA1_80 inline:{KEY.inline()}|2^20|1:4",
                            f"3 AEAD_AES_256_GCM inline:{KEY_256.inline()}|2^31",
                            profile="RTP/SAVPF"))
    assert sdp.crypto == KEY_256 and sdp.profile == "RTP/AVPF"


@pytest.mark.parametrize("crypto, message", [
    ((), "RTP/SAVP is SRTP but the description has no a=crypto key"),
    ((f"1 F8_128_HMAC_SHA1_80 inline:{KEY.inline()}",), "a=crypto:1 F8_128_HMAC_SHA1_80: "
                                                        "the suite is not one of"),
    ((f"1 AES_CM_128_HMAC_SHA1_80 inline:{KEY.inline()}|2^20|1:4",), "with an MKI"),
    ((f"1 AES_CM_128_HMAC_SHA1_32 inline:{KEY_256.inline()}",), "30-byte key and salt, got 44"),
    (("1 AES_CM_128_HMAC_SHA1_80 inline:not*base64",), "not base64"),
    ((f"1 AES_CM_128_HMAC_SHA1_80 inline:{KEY.inline()} UNENCRYPTED_SRTP",),
     "session parameters"),
    ((f"1 AES_CM_128_HMAC_SHA1_80 uri:{KEY.inline()}",), "must be inline"),
    ((f"inline:{KEY.inline()}",), "a=crypto:? ?: want a=crypto:TAG SUITE inline:KEY"),
])
def test_refuses_crypto_it_cannot_use_without_showing_the_key(crypto, message):
    with pytest.raises(SdpError, match=re.escape(message)) as err:
        parse_sdp(_secure(*crypto))
    assert KEY.inline()[:8] not in str(err.value) and KEY_256.inline()[:8] not in str(err.value)


def listening(port: int) -> bool:
    """Whether some socket is bound to UDP `port` on this machine (from /proc/net/udp)."""
    entries = pathlib.Path("/proc/net/udp").read_text().splitlines()[1:]
    return any(line.split()[1].endswith(f":{port:04X}") for line in entries)


PLAYERS = {
    "ffmpeg": (["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-threads", "1",
                "-protocol_whitelist", "file,udp,rtp", "-i", "{sdp}", "-fps_mode", "passthrough",
                "-f", "framemd5", "-"], "ffmpeg"),
    "gstreamer": (["gst-launch-1.0", "-v", "filesrc", "location={sdp}", "!", "sdpdemux", "!",
                   "rtph264depay", "!", "avdec_h264", "!", "fakesink", "silent=false"],
                  "gst-launch-1.0"),
}


@pytest.mark.parametrize("player", sorted(PLAYERS))
def test_players_decode_a_foreign_stream_by_our_description(tmp_path, player):
    """ffmpeg's recording keeps its parameter sets out of band: the players decode it only
    through the sprop-parameter-sets of the description we wrote from its own."""
    argv, tool = PLAYERS[player]
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed")
    foreign = parse_sdp((RTP_DATA / "ffmpeg_sprop.sdp").read_text())
    port = free_pair()
    sdp = VideoSdp(port=port, profile_level_id=foreign.profile_level_id,
                   sprop_parameter_sets=foreign.sprop_parameter_sets, framerate=30)
    path = tmp_path / "stream.sdp"
    path.write_text(sdp.to_text())
    records = read_datagram_records(RTP_DATA / "ffmpeg_sprop.bin")
    proc = subprocess.Popen([a.format(sdp=path) for a in argv], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if listening(port) or proc.poll() is not None:
                break
            time.sleep(0.05)
        time.sleep(0.2)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as out:
            for data, _, flags in records:
                out.sendto(data, ("127.0.0.1", port + 1 if flags & RTCP else port))
                time.sleep(0.001)
        time.sleep(0.5)
    finally:
        stop(proc)
    stdout, stderr = proc.communicate()
    units = sum(1 for data, _, flags in records if not flags & RTCP and data[1] & 0x80)
    if player == "ffmpeg":
        assert stderr.decode().strip() == ""
        pts = {line.split(",")[2] for line in stdout.decode().splitlines() if line[:1] != "#"}
        # It holds the last units back (the demuxer until another arrives, the decoder by a
        # picture) and drops what it holds when stopped.
        assert units - 5 <= len(pts) <= units
    else:
        assert b"ERROR" not in stdout + stderr
        frames = stdout.decode().count("last-message = chain")
        assert units - 1 <= frames <= units
