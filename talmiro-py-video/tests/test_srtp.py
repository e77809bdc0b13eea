"""SRTP on the link: the keyed stream goes through exact, and nothing else gets in on either
side (forged, tampered, replayed, another key, plain, truncated), each refusal counted."""

import os
import random
import select
import socket
import time

import pytest

import talmiro_sdk_video._codec as codec
import talmiro_sdk_video._rtp as rtp
from talmiro_sdk_video._net import bind_pair
from talmiro_sdk_video.receiver import RtpReceiver
from talmiro_sdk_video.sdp import VideoSdp
from talmiro_sdk_video.sender import RtpSender
from talmiro_sdk_video.srtp import SrtpKey, SrtpKeyError

from test_rtp_link import payload

LOCAL = "127.0.0.1"
W, H, FPS = 160, 96, 30


def _drain(sock: socket.socket, wait: float = 0.02) -> list[tuple[bytes, tuple]]:
    got = []
    while select.select([sock], [], [], wait)[0]:
        got.append(sock.recvfrom(65536))
        wait = 0.002
    return got


def _forgeries(d: bytes, rng: random.Random, stranger: rtp.DatagramTransport,
               stranger_sock: socket.socket) -> list[bytes]:
    """What an attacker on the path makes of one protected media datagram, sent before it."""
    flipped = bytearray(d)
    bit = rng.randrange(len(d) * 8)
    flipped[bit // 8] ^= 1 << (bit % 8)
    header = len(d) - len(payload(d))
    plain = d[:header] + os.urandom(len(d) - header - 10)  # the sender's header, no valid tag
    stranger.send(plain, ("127.0.0.1", stranger_sock.getsockname()[1]))
    other_key = _drain(stranger_sock)[0][0]
    return [bytes(flipped), d[:-1], d[:-10], d[:9], plain, other_key]


def _encoded(frames: int) -> list[list]:
    enc = codec.H264Encoder(W, H, fps=FPS, backend="x264")
    pattern = codec.TestPattern(W, H, FPS)
    units = [list(enc.encode(pattern.frame(n, n * 33_333), n * 33_333)) for n in range(frames)]
    enc.close()
    return units


def test_receiver_takes_only_the_keyed_stream():
    key, rng = SrtpKey.generate(), random.Random(5)
    tap_rtp, tap_rtcp = bind_pair(LOCAL, 0)
    stranger_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    stranger_sock.bind((LOCAL, 0))
    stranger = rtp.DatagramTransport(stranger_sock)
    other = SrtpKey.generate()
    stranger.set_srtp(False, other.suite, other.key_salt)
    injected = replays = 0
    recorded: list[bytes] = []
    with tap_rtp, tap_rtcp, stranger_sock, RtpReceiver(0, bind=LOCAL, srtp=key) as rx, \
            RtpSender([(LOCAL, tap_rtp.getsockname()[1])], bind=LOCAL, srtp=key) as tx:
        rx_rtcp = (LOCAL, rx.address[1] + 1)
        for units in _encoded(30):
            for unit in units:
                tx.send_unit(unit)
            # The sender's reports and the receiver's feedback pass as they are.
            for d, src in _drain(tap_rtcp, 0.005):
                tap_rtcp.sendto(d, rx_rtcp if src == tx.rtcp_address else tx.rtcp_address)
            for d, _ in _drain(tap_rtp):
                recorded.append(d)
                fakes = _forgeries(d, rng, stranger, stranger_sock)
                for fake in fakes + [d, d]:
                    tap_rtp.sendto(fake, rx.address)
                injected += len(fakes) + 1
                replays += 1
                time.sleep(0.001)  # a starved receiver's socket holds the burst
            time.sleep(0.01)
        got = []
        deadline = time.monotonic() + 5
        while len(got) < 30 and time.monotonic() < deadline:
            got += rx.receive(timeout=0.05)
        for n, d in enumerate(recorded):  # the whole run again, as recorded on the path
            tap_rtp.sendto(d, rx.address)
            time.sleep(0.001 if n % 8 == 7 else 0)
        injected += len(recorded)
        replays += len(recorded)
        deadline = time.monotonic() + 3
        while rx.stats()["replays"] < replays and time.monotonic() < deadline:
            time.sleep(0.02)
        got += rx.receive(timeout=0.1)
        s = rx.stats()
    assert len(got) == 30 and not any(p.recovering for p in got)
    assert s["flagged"] == 0 and s["packets_refused"] == 0 and s["decode_errors"] == 0
    assert s["auth_failures"] + s["replays"] + s["unprotect_errors"] == injected
    assert s["replays"] >= replays and s["unprotect_errors"] >= len(recorded)  # d[:9]: too short
    assert s["srtp"] == "AES_CM_128_HMAC_SHA1_80"


def _protected_pli(key: SrtpKey, media_ssrc: int) -> bytes:
    """A PLI protected with `key`, as its bytes on the wire."""
    a = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    with a, b:
        a.bind((LOCAL, 0))
        b.bind((LOCAL, 0))
        t = rtp.DatagramTransport(a)
        t.set_srtp(True, key.suite, key.key_salt)
        t.send(rtp.rtcp_pli(0x1234, media_ssrc), b.getsockname())
        t.close()
        return _drain(b)[0][0]


def test_sender_acts_only_on_keyed_feedback():
    key, other = SrtpKey.generate("AEAD_AES_128_GCM"), SrtpKey.generate("AEAD_AES_128_GCM")
    peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    peer.bind((LOCAL, 0))
    with peer, RtpSender([(LOCAL, peer.getsockname()[1])], bind=LOCAL, srtp=key) as tx:
        good = _protected_pli(key, tx.ssrc)
        wrong_index = bytearray(good)
        wrong_index[-1] ^= 0x01  # the SRTCP index, last with AES-GCM
        forged = [rtp.rtcp_pli(0x1234, tx.ssrc), _protected_pli(other, tx.ssrc), good[:-3],
                  bytes(wrong_index), good[:12]]
        for d in forged + [good, good]:
            peer.sendto(d, tx.rtcp_address)
        deadline = time.monotonic() + 3
        # Datagrams are counted as they are read, PLIs once the feedback thread has taken them.
        while time.monotonic() < deadline and (tx.stats()["rtcp_datagrams"] < len(forged) + 2
                                               or tx.stats()["plis_received"] < 1):
            time.sleep(0.02)
        t = tx.stats()
    assert t["rtcp_datagrams"] == len(forged) + 2
    assert t["plis_received"] == 1 and t["feedback_auth_failures"] == len(forged) + 1


@pytest.mark.parametrize("protected", ["sender", "receiver"])
def test_plain_and_protected_ends_do_not_meet(protected):
    key = SrtpKey.generate()
    with RtpReceiver(0, bind=LOCAL, srtp=key if protected == "receiver" else None) as rx, \
            RtpSender([(LOCAL, rx.address[1])], bind=LOCAL,
                      srtp=key if protected == "sender" else None) as tx:
        for units in _encoded(20):
            for unit in units:
                tx.send_unit(unit)
            time.sleep(0.01)
        time.sleep(0.2)
        got = rx.receive(timeout=0)
        s, t = rx.stats(), tx.stats()
    assert got == []
    if protected == "receiver":
        assert s["auth_failures"] >= t["packets"] and s["packets_received"] == 0
    else:  # the plain receiver cannot tell encrypted payloads: none of them decodes
        assert t["feedback_auth_failures"] == t["rtcp_datagrams"] > 0


def test_keys_are_checked_and_never_shown(tmp_path):
    key = SrtpKey.generate("AEAD_AES_256_GCM")
    assert key.inline() not in repr(key) and len(key.key_salt) == 44
    assert SrtpKey.from_inline(key.inline(), key.suite) == key
    f = tmp_path / "k"
    f.write_text(key.inline() + "\n")
    f.chmod(0o644)
    with pytest.raises(SrtpKeyError, match="can be read by others"):
        SrtpKey.from_file(f, key.suite)
    f.chmod(0o600)
    assert SrtpKey.from_file(f, key.suite) == key
    for bad in [("AES_CM_128_HMAC_SHA1_80", b"x" * 29), ("ROT13", b"x" * 30)]:
        with pytest.raises(SrtpKeyError):
            SrtpKey(bad[1], bad[0])
    with pytest.raises(ValueError, match="needs srtp"):
        RtpReceiver(0, bind=LOCAL, srtp_feedback=key)
    with RtpReceiver(0, bind=LOCAL, sdp=VideoSdp(port=0, crypto=key)) as rx:  # the a=crypto key
        assert rx.stats()["srtp"] == "AEAD_AES_256_GCM"
