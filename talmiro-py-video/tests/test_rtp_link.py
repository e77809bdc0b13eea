"""RtpSender and RtpReceiver over loopback: the clean stream, loss through the relay, foreign
recordings, hostile datagrams, and the send/receive commands."""

import importlib.util
import json
import os
import pathlib
import random
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

import talmiro_sdk_video._codec as codec
import talmiro_sdk_video._rtp as rtp
from talmiro_sdk_video._net import free_pair, wall_us
from talmiro_sdk_video.net_commands import SendConfig, UdpLinkConfig, run_udp_link
from talmiro_sdk_video.receiver import RtpReceiver
from talmiro_sdk_video.relay import RelayConfig
from talmiro_sdk_video.sdp import VideoSdp, parse_sdp
from talmiro_sdk_video.sender import RtpSender

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "talmiro-media" / "testing"))
from au_records import FROM_RECEIVER, RTCP, read_datagram_records  # noqa: E402

RTP_DATA = ROOT / "talmiro-media" / "tests" / "data" / "rtp"
LOCAL = "127.0.0.1"
W, H, FPS = 160, 96, 30


def payload(packet: bytes) -> bytes:
    """An RTP packet's payload: past the fixed header, the CSRCs and any header extension."""
    at = 12 + 4 * (packet[0] & 0x0F)
    if packet[0] & 0x10:
        at += 4 + 4 * int.from_bytes(packet[at + 2:at + 4], "big")
    return packet[at:]


def collect(receiver: RtpReceiver, want: int, seconds: float = 5.0) -> list:
    got: list = []
    deadline = time.monotonic() + seconds
    while len(got) < want and time.monotonic() < deadline:
        got += receiver.receive(timeout=0.05)
    return got


def send_pattern(sender: RtpSender, frames: int, paced: bool = False,
                 hook=None) -> dict[int, tuple[int, bytes]]:
    """Encodes and sends `frames` pattern pictures; for each capture stamp, its RTP timestamp
    and the luma a lossless decode of the sent stream shows."""
    enc = codec.H264Encoder(W, H, fps=FPS, backend="x264")
    sender.encoder = enc
    shadow = codec.H264Decoder()
    pattern = codec.TestPattern(W, H, FPS)
    start = wall_us()
    sender.set_pattern(W, H, FPS, 4, start)
    truth = {}
    for n in range(frames):
        if paced:
            time.sleep(max(0.0, (start + n * 1e6 / FPS - wall_us()) / 1e6))
        stamp = start + round(n * 1e6 / FPS)
        for unit in enc.encode(pattern.frame(n, stamp), stamp):
            for pic in shadow.decode(*unit[:5]):
                truth[pic.t_us] = (sender.timestamp_of(pic.t_us), pic.y.tobytes())
            sender.send_unit(unit)
        if hook is not None:
            hook(n)
    enc.close()
    shadow.close()
    return truth


def test_clean_stream_every_picture_exact_and_stamped():
    peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    with peer, RtpReceiver(0, bind=LOCAL) as rx, RtpSender([(LOCAL, rx.address[1])],
                                                            bind=LOCAL) as tx:
        def plis(n: int) -> None:  # three requests at once: one IDR picture answers them
            if n == 10:
                for _ in range(3):
                    peer.sendto(rtp.rtcp_pli(7, tx.ssrc), tx.rtcp_address)
                time.sleep(0.05)
        truth = send_pattern(tx, 45, paced=True, hook=plis)
        got = collect(rx, 45)
        by_ts = {ts: (stamp, y) for stamp, (ts, y) in truth.items()}
        assert len(got) == 45
        for pic in got:
            ts = rx.rtp_timestamp(pic.t_us)
            stamp, y = by_ts[ts]
            assert not pic.recovering and pic.y.tobytes() == y
            # The capture time comes back through the sender report: two 90 kHz roundings
            # (the picture's timestamp and the report's), 11 µs each, and NTP's µs floor.
            assert abs(pic.t_us - stamp) <= 24
        assert [rx.pattern_frame(p.t_us) for p in got] == list(range(45))
        s = rx.stats()
        assert (s["packets_lost"], s["units_incomplete"], s["packets_refused"], s["flagged"],
                s["plis_sent"]) == (0, 0, 0, 0, 0)
        # No NACK count here: on a loaded machine a starved sender's pause mid-picture looks like a
        # loss, and a NACK for it is right. The depacketizer's own tests pin the NACK timing.
        assert s["units_complete"] == 45 and s["latency_p99_us"] is not None
        t = tx.stats()
        assert (t["plis_received"], t["idr_requests_coalesced"], t["idr_from_feedback"]) == (3, 2, 1)
        assert t["idr_reasons"] == {"first": 1, "pli": 1, "fir": 0, "other": 0}
        assert t["idr_pictures"] == 2


@pytest.mark.parametrize("nack", [True, False])
def test_loss_through_relay_recovered_and_never_unflagged(nack):
    relay = RelayConfig(loss=0.04, burst_rate=0.005, burst_packets=3, delay_ms=3,
                        jitter_ms=2, reorder=0.01, seed=5)
    send = SendConfig(to=[(LOCAL, 1)], width=320, height=240, frames=75, bitrate_kbps=1500,
                      backend="x264")
    summary, _ = run_udp_link(UdpLinkConfig(send=send, relay=relay, nack=nack))
    rx, tx = summary["receive"], summary["send"]
    assert summary["relay"]["forward"]["lost"] + summary["relay"]["forward"]["lost_in_burst"] > 0
    # Whatever the loss did, every picture that differs from a lossless decode is flagged.
    assert summary["wrong_unflagged"] == 0
    assert summary["unjudged"] == 0 and summary["pictures"] == rx["pictures"] > 0
    facts = {"lost": rx["packets_lost"], "recovered": rx["packets_recovered"],
             "nacks_sent": rx["nacks_sent"], "nacks_received": tx["nacks_received"],
             "rtcp_datagrams": tx["rtcp_datagrams"]}
    # A loss the receiver never saw as a gap (the stream's very first packets) asks for nothing.
    if nack and rx["packets_lost"] + rx["packets_recovered"] > 0:
        assert rx["nacks_sent"] > 0 and tx["nacks_received"] > 0, facts
        assert tx["packets_resent"] > 0 and rx["packets_recovered"] > 0, facts
        assert rx["rtt_ms"] is not None and rx["rtx_received"] > 0
        assert summary["wrong"] <= summary["pictures"] // 4
    elif not nack:
        assert rx["nacks_sent"] == tx["packets_resent"] == 0
        assert rx["packets_lost"] > 0 and rx["units_incomplete"] > 0
        # The decoder's counts, read after the receiver closed it.
        assert rx["losses"] > 0 and rx["idr_requests"] > 0
    if rx["plis_sent"]:
        assert tx["plis_received"] > 0 and tx["idr_reasons"]["pli"] > 0
    assert tx["receivers"][0]["rtt_ms"] is not None


def test_key_picture_without_its_parameter_sets_asks_for_idr_at_once():
    """The packet with SPS and PPS was lost before the first one heard, so no gap shows: the
    decoder does not feed the key picture but counts a loss, the PLI goes at once (not after the decoder's silence of
    several frames) and the sender answers it though its first picture went just before."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as hop:
        hop.bind((LOCAL, 0))
        hop.settimeout(0.02)
        with RtpSender([hop.getsockname()], bind=LOCAL) as tx, \
                RtpReceiver(0, bind=LOCAL, rtcp_to=tx.rtcp_address) as rx:
            dropped: list[bytes] = []

            def forward(n: int) -> None:  # all but the stream's first packet
                while True:
                    try:
                        data = hop.recv(65536)
                    except TimeoutError:
                        return
                    if dropped:
                        hop.sendto(data, rx.address)
                    else:
                        dropped.append(data)
            send_pattern(tx, 30, paced=True, hook=forward)
            got = collect(rx, 30, seconds=1.0)
            s, t = rx.stats(), tx.stats()
    assert payload(dropped[0])[0] & 0x1F in (7, 24)  # the SPS, alone or in a STAP-A
    assert s["losses"] >= 1 and s["decode_errors"] == 0 and s["plis_sent"] >= 1 and t["idr_reasons"]["pli"] >= 1
    # The decoder's own request would come only after its silence (10 frames).
    assert len(got) >= 25 and not any(p.recovering for p in got)


def _caps_sdp(caps: str, rtx: bool = False) -> VideoSdp:
    fields = dict(part.strip().split("=", 1) for part in caps.split(",", 1)[1].split(", "))
    value = lambda k: fields[k].split(")", 1)[1].strip('"')  # noqa: E731
    sprop, pt = value("sprop-parameter-sets"), value("payload")
    text = ("v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
            f"m=video 5004 RTP/AVP {pt}{' 97' if rtx else ''}\r\n"
            f"a=rtpmap:{pt} H264/90000\r\n"
            f"a=fmtp:{pt} packetization-mode=1;sprop-parameter-sets={sprop}\r\n")
    if rtx:
        text += f"a=rtpmap:97 rtx/90000\r\na=fmtp:97 apt={pt}\r\n"
    return parse_sdp(text)


def _replay(name: str, sdp: VideoSdp) -> tuple[dict, int]:
    """Sends a recording's RTP and its sender's RTCP to a receiver; its counts and the pictures
    it gave."""
    records = read_datagram_records(RTP_DATA / f"{name}.bin")
    media = sum(1 for _, _, flags in records if not flags & RTCP)
    rtp_out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rtcp_out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    with rtp_out, rtcp_out, RtpReceiver(0, bind=LOCAL, sdp=sdp) as rx:
        port = rx.address[1]
        for i, (data, _, flags) in enumerate(records):
            if flags & FROM_RECEIVER:
                continue
            (rtcp_out if flags & RTCP else rtp_out).sendto(
                data, (LOCAL, port + 1 if flags & RTCP else port))
            if i % 50 == 49:
                time.sleep(0.002)  # keep the socket buffers from overflowing
        deadline = time.monotonic() + 10
        got = 0
        quiet = 0
        while time.monotonic() < deadline and quiet < 3:
            more = len(rx.receive(timeout=0.1))
            got += more
            quiet = quiet + 1 if not more and rx.stats()["packets_received"] == media else 0
        time.sleep(0.15)  # the last gap's wait
        got += len(rx.receive(timeout=0))
        return rx.stats(), got


@pytest.mark.parametrize("name", ["ffmpeg_zerolatency", "ffmpeg_bframes", "ffmpeg_sprop",
                                  "gst_pay", "gst_rtpbin"])
def test_foreign_recording_received_without_refusal_or_loss(name):
    sdp_file, caps_file = RTP_DATA / f"{name}.sdp", RTP_DATA / f"{name}.caps"
    sdp = parse_sdp(sdp_file.read_bytes()) if sdp_file.exists() else \
        _caps_sdp(caps_file.read_text())
    media = sum(1 for _, _, flags in read_datagram_records(RTP_DATA / f"{name}.bin")
                if not flags & RTCP)
    s, got = _replay(name, sdp)
    assert s["packets_refused"] == 0, s["refused"]
    assert (s["packets_received"], s["packets_lost"], s["units_incomplete"]) == (media, 0, 0)
    assert s["flagged"] == 0 and s["decode_errors"] == s["decoder_errors"] == 0
    assert s["losses"] == 0 and s["plis_sent"] == 0 and s["nacks_sent"] == 0
    # Every unit decodes; the last few may still be held in the decoder (B pictures).
    assert got == s["pictures"] >= s["units_complete"] - 3 > 0


@pytest.mark.parametrize("name", ["gst_feedback", "gst_feedback_rtx"])
def test_foreign_recording_with_drops_counts_exactly_those(name):
    """The relay dropped packets of these recordings: just those count as lost (less those an
    RTX packet brought back), and the pictures they damaged are flagged."""
    records = read_datagram_records(RTP_DATA / f"{name}.bin")
    seqs, filled, last = [], set(), None
    for data, _, flags in records:
        if flags & RTCP:
            continue
        seq = struct.unpack_from(">H", data, 2)[0]
        if data[1] & 0x7F == 97:
            filled.add(struct.unpack_from(">H", data, 12)[0])
            continue
        ext = seq if last is None else last + ((seq - last + 32768) % 65536 - 32768)
        seqs.append(ext)
        last = ext
    missing = {x & 0xFFFF for x in range(min(seqs), max(seqs) + 1)} - {x & 0xFFFF for x in seqs}
    s, got = _replay(name, _caps_sdp((RTP_DATA / f"{name}.caps").read_text(),
                                     rtx=name.endswith("rtx")))
    assert s["packets_refused"] == 0, s["refused"]
    assert s["packets_lost"] == len(missing - filled) > 0
    assert s["units_incomplete"] > 0 and s["flagged"] > 0 and got == s["pictures"] > 0


def _rtp(seq: int, ssrc: int, payload: bytes, pt: int = 96, version: int = 2) -> bytes:
    return struct.pack(">BBHII", version << 6, pt, seq & 0xFFFF, 0, ssrc) + payload


# (datagram, the cause it is refused for; None: counted without a fixed cause)
HOSTILE = [
    (bytes(random.Random(7).getrandbits(8) for _ in range(300)), None),
    (b"\x80\x60\x00", "truncated"),
    (_rtp(1, 0xBAD, b"\x65\x88")[:11], "truncated"),
    (_rtp(1, 0xBAD, b"\x65\x88", version=1), "bad_version"),
    (_rtp(1, 0xBAD, b"\x18\x00\x40\x67"), "bad_stap_a"),  # STAP-A length past the end
    (_rtp(1, 0xBAD, b"\x1a\x00\x00"), "mtap"),
    (_rtp(1, 0xBAD, b"\x3c\x05\x88\x84"), "foreign_ssrc"),  # FU-A without a start
    (_rtp(1, 0xBAD, b"\x65\x88", pt=100), "wrong_payload_type"),
]
# An RTCP receiver report whose length runs past the datagram, and a truncated header.
HOSTILE_RTCP = [b"\x81\xc9\x00\x40" + bytes(20), b"\x81", b"\x80\xcd\x00\x02\x00\x00"]


def test_hostile_datagrams_counted_and_stream_intact():
    junk = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    junk.bind((LOCAL, 0))
    stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        stranger.bind(("127.0.0.2", 0))
    except OSError:
        stranger.close()
        stranger = None
    with junk, RtpReceiver(0, bind=LOCAL, sender=LOCAL) as rx, \
            RtpSender([(LOCAL, rx.address[1])], bind=LOCAL) as tx:
        port = rx.address[1]

        def inject(n: int) -> None:
            if n == 20:  # a NACK flood for every packet sent so far, from the receiver's host
                first = tx.stats()["packets"]
                seqs = [(tx.packetizer.next_seq - i) & 0xFFFF for i in range(1, first + 1)]
                for _ in range(10):
                    junk.sendto(rtp.rtcp_nack(1, tx.ssrc, seqs), tx.rtcp_address)
            if n != 10:
                return
            for data, _ in HOSTILE:
                junk.sendto(data, (LOCAL, port))
            for data in HOSTILE_RTCP:
                junk.sendto(data, (LOCAL, port + 1))
                junk.sendto(data, tx.rtcp_address)
            if stranger is not None:  # another host's feedback: refused whatever it says
                stranger.sendto(rtp.rtcp_pli(1, tx.ssrc), tx.rtcp_address)
        truth = send_pattern(tx, 30, hook=inject)
        got = collect(rx, 30)
        time.sleep(0.1)
        s, t = rx.stats(), tx.stats()
    assert len(got) == 30 and all(not p.recovering for p in got)
    assert sorted(p.y.tobytes() for p in got) == sorted(y for _, y in truth.values())
    assert s["packets_refused"] == len(HOSTILE)
    for cause in {c for _, c in HOSTILE if c}:
        assert s["refused"][cause] >= sum(c == cause for _, c in HOSTILE), cause
    assert s["rtcp_refused"] >= len(HOSTILE_RTCP) and t["rtcp_refused"] >= len(HOSTILE_RTCP)
    # Each packet is resent a few times at most, however often it is asked for. (The receiver's
    # own NACKs add to the ten: a slow build spreads a paced picture past its tail wait.)
    assert t["nacks_received"] >= 10 and 0 < t["packets_resent"] <= 3 * t["packets"]
    assert t["resend_limited"] + t["resend_over_budget"] > 0
    if stranger is not None:
        stranger.close()
        assert t["feedback_refused"] == 1 and t["plis_received"] == 0


def test_foreign_source_with_our_ssrc_is_refused():
    injector = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    with injector:
        rx_probe = RtpReceiver(0, bind=LOCAL)
        port = rx_probe.address[1]
        rx_probe.close()
        tx = RtpSender([(LOCAL, port)], bind=LOCAL)
        with tx, RtpReceiver(port, bind=LOCAL, sender=tx.address) as rx:
            def inject(n: int) -> None:  # copies of the next packets, garbled, from elsewhere
                seq = tx.packetizer.next_seq
                for i in range(5):
                    injector.sendto(_rtp(seq + i, tx.ssrc, b"\x65" + bytes(40)), (LOCAL, port))
            truth = send_pattern(tx, 20, hook=inject)
            got = collect(rx, 20)
            deadline = time.monotonic() + 2
            while rx.stats()["packets_refused"] < 100 and time.monotonic() < deadline:
                time.sleep(0.01)
            s = rx.stats()
    assert s["refused_foreign_source"] == s["packets_refused"] == 100
    assert len(got) == 20 and not any(p.recovering for p in got)
    assert sorted(p.y.tobytes() for p in got) == sorted(y for _, y in truth.values())


@pytest.mark.parametrize("flood", ["nack", "pli"])
def test_feedback_flood_from_another_port_costs_bounded_work(flood):
    # From a port of the receiver's host that is not the receiver's: 20 NACKs a second naming
    # every sequence number (the stream's first), or 200 PLIs a second, for two seconds.
    junk = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    junk.bind((LOCAL, 0))
    with junk, RtpReceiver(0, bind=LOCAL, sender=LOCAL) as rx, \
            RtpSender([(LOCAL, rx.address[1])], bind=LOCAL) as tx:
        first = tx.packetizer.next_seq
        every = rtp.rtcp_nack(1, tx.ssrc, [(first + i) & 0xFFFF for i in range(65536)])
        datagram, per_frame = (every, 2 / 3) if flood == "nack" else \
            (rtp.rtcp_pli(1, tx.ssrc), 20 / 3)
        sent = 0

        def inject(n: int) -> None:
            nonlocal sent
            while sent < (n + 1) * per_frame:
                junk.sendto(datagram, tx.rtcp_address)
                sent += 1
        start = time.monotonic()
        truth = send_pattern(tx, 60, paced=True, hook=inject)
        got = collect(rx, 60)
        # Until the sender has handled every one (counted once parsed, after it was read).
        key = "nacks_received" if flood == "nack" else "plis_received"
        deadline = time.monotonic() + 2
        while tx.stats()[key] < sent and time.monotonic() < deadline:
            time.sleep(0.01)
        seconds = time.monotonic() - start
        t = tx.stats()
    assert len(got) == 60 and not any(p.recovering for p in got)
    assert sorted(p.y.tobytes() for p in got) == sorted(y for _, y in truth.values())
    if flood == "nack":
        # Each datagram is read up to 1,024 pairs; of what they name only the packets held
        # are looked at, and no more a second than the receiver's feedback budget.
        # The real receiver may ask too, for a packet a loaded machine dropped.
        assert sent == 40 and sent <= t["nacks_received"] <= sent + 5
        assert t["nack_pairs_dropped"] == sent * (len(every) // 4 - 3 - 1024)
        assert t["resend_misses"] == t["history_misses"] >= sent * (1024 * 17 - t["packets"])
        rate = max(128, 2 * t["packets"])  # packets a second: twice the media's, at least 128
        handled = t["packets_resent"] + t["resend_limited"]
        assert 0 < handled <= rate * (1 + seconds) and t["nack_over_budget"] > 0
    else:
        # At most one IDR picture per 300 ms, the stream's first aside.
        assert t["plis_received"] == sent == 400
        assert 1 <= t["idr_from_feedback"] == t["idr_pictures"] - 1 <= seconds / 0.3 + 1
        granted = t["idr_requests"] - t["idr_requests_coalesced"]
        assert t["idr_requests_coalesced"] > 300 and granted - t["idr_from_feedback"] in (0, 1)


def _stop(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)


def test_send_and_receive_commands(tmp_path):
    port = free_pair()
    cmd = [sys.executable, "-m", "talmiro_sdk_video"]
    sdp_path = tmp_path / "s.sdp"
    # The PNG needs the demo extra (NumPy, Pillow).
    png = importlib.util.find_spec("PIL") and importlib.util.find_spec("numpy")
    snapshot = ["--snapshot", str(tmp_path / "worst.png")] if png else []
    receiver = subprocess.Popen(
        cmd + ["receive", "--port", str(port), "--bind", LOCAL, "--seconds", "20", "--json",
               "--save", str(tmp_path / "in.h264"), *snapshot],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        time.sleep(0.5)
        sent = subprocess.run(
            cmd + ["send", "--to", f"{LOCAL}:{port}", "--bind", LOCAL, "--size", "160x96",
                   "--frames", "30", "--json", "--sdp", str(sdp_path), "--save",
                   str(tmp_path / "out.h264")],
            capture_output=True, text=True, timeout=60)
        out, err = receiver.communicate(timeout=30)
    finally:
        _stop(receiver)
    assert sent.returncode == 0, sent.stderr
    assert receiver.returncode == 0, err
    s = json.loads(sent.stdout.splitlines()[-1])
    r = json.loads(out.splitlines()[-1])
    assert {"frames", "packets", "bytes", "idr_pictures", "idr_from_feedback", "plis_received",
            "firs_received", "nacks_received", "packets_resent", "receivers"} <= set(s)
    assert {"address", "fraction_lost", "jitter_ms", "rtt_ms"} <= set(s["receivers"][0])
    assert {"pictures", "flagged", "packets_received", "packets_lost", "packets_recovered",
            "packets_late", "packets_refused", "units_complete", "units_incomplete",
            "nacks_sent", "plis_sent", "latency_p50_us", "latency_p99_us", "losses",
            "psnr_mean_db", "wrong_share"} <= set(r)
    assert s["frames"] == 30 and s["idr_pictures"] >= 1 and s["packets"] == r["packets_received"]
    assert r["pictures"] == 30 and r["flagged"] == 0 and r["wrong_share"] == 0.0
    assert (tmp_path / "in.h264").read_bytes() == (tmp_path / "out.h264").read_bytes()
    if png:
        assert (tmp_path / "worst.png").read_bytes().startswith(b"\x89PNG")
    sdp = parse_sdp(sdp_path.read_bytes())
    assert (sdp.port, sdp.payload_type, sdp.rtx_payload_type) == (port, 96, 97)
    assert len(sdp.sprop_parameter_sets) == 2 and "nack pli" in sdp.rtcp_fb


@pytest.mark.parametrize("args, message", [
    (["send"], "the following arguments are required: --to"),
    (["send", "--to", "nowhere"], "address must be HOST:PORT"),
    (["send", "--to", "127.0.0.1:0"], "--to port must be between 1 and 65534"),
    (["send", "--to", "127.0.0.1:5004", "--mtu", "20"], "--mtu must be between 64 and 65507"),
    (["send", "--to", "127.0.0.1:5004", "--frames", "0"], "--frames must be at least 1"),
    (["receive"], "--port is needed"),
    (["receive", "--port", "70000"], "port must be between 1 and 65534"),
    (["receive", "--port", "5004", "--max-delay-ms", "0"], "must be above 0"),
    (["receive", "--sdp", os.devnull], "a description starts with v=0"),
    (["link", "--transport", "tcp"], "invalid choice"),
])
def test_command_argument_errors(args, message):
    result = subprocess.run([sys.executable, "-m", "talmiro_sdk_video", *args],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 2
    assert result.stdout == "" and len(result.stderr.splitlines()) == 1
    assert message in result.stderr


def _stream_to(rx: RtpReceiver, transport_cc: int | None, frames: int = 10) -> int:
    """Sends `frames` pattern pictures to `rx` from a plain socket, stamped with transport-wide
    sequence numbers from 65530 under `transport_cc`; the packets sent."""
    enc = codec.H264Encoder(W, H, fps=FPS, backend="x264")
    tx = rtp.RtpPacketizer(transport_cc_extension_id=transport_cc, transport_first_seq=65530)
    sent = 0
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as out:
        for n in range(frames):
            for unit in enc.encode(codec.TestPattern(W, H, FPS).frame(n, n * 33_333), n * 33_333):
                for packet in tx.packetize(unit[0], unit[1]):
                    out.sendto(packet, rx.address)
                    sent += 1
            time.sleep(0.01)
    enc.close()
    return sent


@pytest.mark.parametrize("stamped, answered", [(3, 3), (None, 3), (3, None)])
def test_transport_wide_feedback_covers_the_stamped_packets(stamped, answered):
    """Packets with the extension the receiver was given are answered with transport-wide
    feedback that covers each of them once, in order across the wrap; none otherwise."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as rtcp_in:
        rtcp_in.bind((LOCAL, 0))
        rtcp_in.settimeout(0.1)
        with RtpReceiver(0, bind=LOCAL, sender=LOCAL, rtcp_to=rtcp_in.getsockname(),
                         transport_cc=answered, rr_interval_s=0.2) as rx:
            sent = _stream_to(rx, stamped)
            feedback, reports = [], 0
            deadline = time.monotonic() + 10
            # Until every packet is reported (or, with none due, a report after the last one).
            while time.monotonic() < deadline and sum(f["statuses"] for f in feedback) < sent:
                try:
                    packets, counts = rtp.rtcp_parse(rtcp_in.recv(2048))
                except TimeoutError:
                    continue
                assert counts["refused"] == 0 and packets[0]["type"] == "rr"
                feedback += [p for p in packets if p["type"] == "transport_feedback"]
                if rx.stats()["packets_received"] == sent and packets[-1]["type"] != \
                        "transport_feedback":
                    reports += 1
                    if (stamped, answered) != (3, 3) and reports >= 2:
                        break
            stats = rx.stats()
    assert stats["packets_received"] == sent
    if (stamped, answered) != (3, 3):
        assert feedback == [] and stats["transport_feedback_sent"] == 0
        return
    assert stats["transport_feedback_sent"] >= len(feedback) >= 1
    seq = 65530
    for f in feedback:
        assert (f["base_seq"], f["sender_ssrc"]) == (seq, rx.ssrc)
        seq = (seq + f["statuses"]) % 65536
    assert seq == (65530 + sent) % 65536
