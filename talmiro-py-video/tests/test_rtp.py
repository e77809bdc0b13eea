"""RtpPacketizer and RtpDepacketizer through the module: the encoder's access units survive the
round trip byte for byte and decode the same; a lost packet is known; the arguments are checked.
The protocol rules themselves are tested in the core (rtp_*_test.cpp) and fuzzed."""
import random

import pytest

import talmiro_sdk_video._codec as codec
import talmiro_sdk_video._rtp as rtp

W, H, FPS = 320, 240, 30


@pytest.fixture(scope="module")
def units():
    enc = codec.H264Encoder(W, H, fps=FPS, bitrate_kbps=800, intra_refresh=False,
                            keyframe_interval=15)
    pattern = codec.TestPattern(W, H, fps=FPS)
    out = []
    for n in range(30):
        t_us = n * 33_333
        out.extend(enc.encode(pattern.next(t_us), t_us))
    return out


def run(units, mtu, drop=None, shuffle=False, **kwargs):
    tx = rtp.RtpPacketizer(mtu=mtu, ssrc=7, first_seq=65530)
    rx = rtp.RtpDepacketizer(rtx_payload_type=97, **kwargs)
    packets = [p for data, t, *_ in units for p in tx.packetize(data, t)]
    assert all(len(p) <= mtu - 2 for p in packets)
    order = list(range(len(packets)))
    if shuffle:
        rng = random.Random(5)
        for i in range(1, len(order) - 4, 4):
            order[i:i + 4] = rng.sample(order[i:i + 4], 4)
    out, nacks = [], []
    for k, i in enumerate(order):
        if i == drop:
            continue
        # bytes, bytearray and memoryview all go in.
        datagram = (packets[i], bytearray(packets[i]), memoryview(packets[i]))[k % 3]
        got, asked = rx.push(datagram, k)
        out += got
        nacks += asked
    got, asked = rx.poll(10**9)
    return tx, rx, out + got, nacks + asked, packets


@pytest.mark.parametrize("mtu", [200, 1200, 9000])
def test_round_trip_decodes_the_same(units, mtu):
    tx, rx, out, _, _ = run(units, mtu, shuffle=True)
    assert [u[0] for u in out] == [u[0] for u in units]
    assert all(u[3] for u in out)
    assert [u[4:7] for u in out] == [tuple(u[2:5]) for u in units]
    assert [u[1] for u in out] == [tx.timestamp_of(t) for _, t, *_ in units]
    s = rx.stats()
    assert s["units_complete"] == len(units)
    assert s["packets_lost"] == 0 and s["packets_refused"] == 0
    assert s["packets_reordered"] > 0 and set(s["refused"]) >= {"truncated", "mtap", "fu_b"}
    dec = codec.H264Decoder()
    for data, _, _, _, key, config, recovery, _ in out:
        dec.decode(data, 0, key, config, recovery)
    assert dec.stats()["errors"] == 0 and dec.stats()["images"] > 0
    assert tx.profile_level_id and len(tx.profile_level_id) == 6
    assert tx.sprop_parameter_sets.count(",") == 1


def test_a_lost_packet_is_known_and_recovered_by_rtx(units):
    tx, rx, out, nacks, packets = run(units, 1200, drop=20)
    seq = int.from_bytes(packets[20][2:4], "big")
    assert nacks == [seq]
    assert sum(not u[3] for u in out) == 1
    # Again, with the RTX answer to the NACK.
    rx2 = rtp.RtpDepacketizer(rtx_payload_type=97)
    got = []
    for k, p in enumerate(packets):
        if k != 20:
            units_, asked = rx2.push(p, k)
            got += units_
            for s in asked:
                units_, _ = rx2.push(tx.resend_rtx(s), k)
                got += units_
    assert len(got) == len(units) and all(u[3] for u in got)
    assert any(u[7] for u in got)
    assert rx2.stats()["packets_recovered"] == 1 and rx2.stats()["rtx_received"] == 1


def test_refused_datagrams_are_counted_not_raised():
    rx = rtp.RtpDepacketizer()
    mtap = bytes([0x80, 96, 0, 1]) + bytes(8) + b"\x1a"
    for d in (b"", b"\x80" * 11, bytes([0x40]) + bytes(15), mtap):
        assert rx.push(d, 0) == ([], [])
    s = rx.stats()
    assert s["packets_refused"] == 4 and s["refused"]["truncated"] == 2
    assert s["refused"]["bad_version"] == 1 and s["refused"]["mtap"] == 1
    assert rx.next_deadline_us() is None
    assert rx.give_up(0) == ([], [])


@pytest.mark.parametrize("kwargs,exc", [
    ({"mtu": 10}, codec.MediaError),
    ({"payload_type": 128}, ValueError),
    ({"first_seq": 65536}, ValueError),
    ({"ssrc": 2**32}, OverflowError),
    ({"ssrc": "1"}, TypeError),
    ({"payload_type": 97, "rtx_payload_type": 97}, codec.MediaError),
])
def test_packetizer_arguments(kwargs, exc):
    with pytest.raises(exc):
        rtp.RtpPacketizer(**kwargs)


def test_packetizer_properties_and_resend():
    tx = rtp.RtpPacketizer(ssrc=0x1234, rtx_ssrc=0x99, first_seq=10, timestamp_offset=0)
    assert (tx.ssrc, tx.rtx_ssrc, tx.payload_type, tx.rtx_payload_type, tx.mtu) == (
        0x1234, 0x99, 96, 97, 1200)
    assert tx.profile_level_id is None and tx.sprop_parameter_sets is None
    (p,) = tx.packetize(b"\x00\x00\x00\x01\x41\x9a", 1_000_000)
    assert p == bytes([0x80, 0xE0, 0, 10, 0, 1, 0x5F, 0x90, 0, 0, 0x12, 0x34, 0x41, 0x9A])
    assert tx.next_seq == 11 and tx.last_timestamp == 90_000
    assert tx.resend(10) == p and tx.resend(11) is None
    assert tx.resend_rtx(10)[12:] == b"\x00\x0a" + p[12:]
    with pytest.raises(ValueError):
        tx.resend(70000)
    assert tx.stats()["history_misses"] == 1
    assert "ssrc=0x00001234" in repr(tx)


def test_timing_and_responder_rules_reach_python():
    # The receiver's and sender's timing rules are the core's; the module passes times and
    # round trips through, None included, and names the verdicts.
    rx = rtp.RtpDepacketizer(max_delay_us=70_000)
    rx.set_round_trip(None, 3_000)
    assert rx.timing() == (70_000, 35_000)
    rx.set_round_trip(20_000, jitter_us=2_000)
    assert rx.timing() == (59_000, 29_000)
    with pytest.raises(TypeError):
        rx.set_round_trip("20000")
    r = rtp.RtpResponder(max_resends=1, resend_burst=1000)
    assert r.request_idr(0) and not r.request_idr(1, rtt_us=None)
    r.idr_sent(10)
    assert not r.request_idr(20, 100) and r.request_idr(110, 100)
    assert r.may_resend(5004, 9, 0) == "resend"
    r.resent(5004, 9, 1200)
    assert r.may_resend(5004, 10, 0) == "over_budget"
    assert r.may_resend(5004, 9, 1_000_000) == "limited"
    assert r.stats() == {"idr_requests": 4, "idr_requests_coalesced": 2, "resends": 1,
                         "resend_limited": 1, "resend_over_budget": 1, "nack_over_budget": 0}
    # The minimum interval holds requests back beyond a short round trip.
    r = rtp.RtpResponder(min_idr_interval_us=300)
    r.idr_sent(0)
    assert not r.request_idr(299, 10) and r.request_idr(300, 10)
    # A NACK list answered from a packetizer's history in one call: what it holds, in RTX
    # form or as sent, within the receiver's feedback budget.
    tx = rtp.RtpPacketizer(ssrc=5, rtx_ssrc=6, first_seq=65534, timestamp_offset=0)
    sent = [tx.packetize(b"\x00\x00\x01\x41" + bytes([n + 1]), n)[0] for n in range(4)]
    r = rtp.RtpResponder(nack_min_rate=2)
    out, counts = r.answer_nack(tx, 5004, [(65533, 0x0003), (1, 0x8000)], 0, rtx=False)
    assert out == [sent[1], sent[3]]  # 65533 and 17 never sent; the budget covers the newest two
    assert counts == {"named": 5, "not_held": 2, "resent": 2, "limited": 0, "over_budget": 0,
                      "nack_over_budget": 1, "pairs_dropped": 0}
    out, counts = r.answer_nack(tx, 5004, [(65534, 0)], 0)
    assert out == [] and counts["nack_over_budget"] == 1
    out, counts = r.answer_nack(tx, 5005, ((65534, 0),), 0)
    assert [p[12:] for p in out] == [b"\xff\xfe" + sent[0][12:]]
    for bad, exc in [(None, TypeError), ([(1,)], TypeError), ([(1, 65536)], OverflowError)]:
        with pytest.raises(exc):
            r.answer_nack(tx, 1, bad, 0)
    with pytest.raises(TypeError, match="RtpPacketizer"):
        r.answer_nack(r, 1, [], 0)


def _packet(seq: int, marker: bool = True, pt: int = 96, ssrc: int = 5) -> bytes:
    return (bytes([0x80, pt | (0x80 if marker else 0)]) + seq.to_bytes(2, "big") +
            (seq * 3000).to_bytes(4, "big") + ssrc.to_bytes(4, "big") + b"\x65\x88")


@pytest.fixture
def udp():
    import socket
    socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3)]
    for s in socks:
        s.bind(("127.0.0.1", 0))
    yield socks  # receiver, sender, stranger
    for s in socks:
        s.close()


def _now() -> int:
    import time
    return time.monotonic_ns() // 1000


def _loop(rx, rtcp, wake, queue=None, **kw):
    """A loop over transports of the sockets `rx` and `rtcp` (or over those transports)."""
    rx, rtcp = (s if isinstance(s, rtp.DatagramTransport) else rtp.DatagramTransport(s)
                for s in (rx, rtcp))
    return rtp.RtpReceiveLoop(rx, rtcp, wake.fileno(), queue or rtp.PictureQueue(), ssrc=99,
                              cname="me", **kw)


def _rtx(seq: int, ts: int, osn: int) -> bytes:
    return bytes([0x80, 0x80 | 97]) + seq.to_bytes(2, "big") + ts.to_bytes(4, "big") + \
        (6).to_bytes(4, "big") + osn.to_bytes(2, "big") + b"\x65\x88"


def test_receive_loop_takes_the_sender_nacks_and_times_the_round_trip(udp):
    import socket
    rx, tx, other = udp
    rtcp, sink = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2))
    a, b = socket.socketpair()
    with rtcp, sink, a, b:
        for s in (rtcp, sink):
            s.bind(("127.0.0.1", 0))
        host, port = tx.getsockname()
        media, control = rtp.DatagramTransport(rx), rtp.DatagramTransport(rtcp)
        loop = _loop(media, control, a, rtx_payload_type=97, sender_host=host, sender_port=port,
                     rtcp_to_host=sink.getsockname()[0], rtcp_to_port=sink.getsockname()[1])
        tx.sendto(_packet(10), rx.getsockname())
        (unit,) = loop.run()  # units for the caller: it has no decoder
        assert unit.rtp_timestamp == 30000 and unit.complete and unit[3] and not unit.exact
        assert len(unit) == 8 and unit.data == unit[0] and unit.data.endswith(b"\x65\x88")
        # A stranger's datagram is dropped and counted; a gap is NACKed at once (receiver
        # report, SDES, NACK); the RTX that answers it times the round trip.
        other.sendto(_packet(11), rx.getsockname())
        tx.sendto(_packet(12), rx.getsockname())
        tx.sendto(_rtx(1, 33000, 11), rx.getsockname())
        units = loop.run()
        assert [u.rtp_timestamp for u in units] == [33000, 36000] and units[0].recovered
        sink.settimeout(5)
        packets, counts = rtp.rtcp_parse(sink.recv(2048))
        assert [p["type"] for p in packets] == ["rr", "sdes", "nack"] and counts["refused"] == 0
        assert packets[2]["lost"] == [11] and packets[2]["media_ssrc"] == 5
        assert packets[0]["reports"][0]["ssrc"] == 5
        # Every datagram came in and went out through the transports, the stranger's too.
        assert media.stats()["datagrams_received"] == 4 and media.stats()["datagrams_sent"] == 0
        assert control.stats()["datagrams_sent"] >= 1
        s = loop.stats()
        assert s["refused_foreign_source"] == 1 and s["packets_refused"] == 1
        assert s["nacks_sent"] == 1 and s["rtt_samples"] == 1 and s["rtt_ms"] is not None
        assert s["packets_received"] == 3 and s["rtx_received"] == 1 and not s["bye"]


def test_receive_loop_timers_wake_and_arguments(udp):
    import socket
    import time
    rx, tx, sink = udp
    a, b = socket.socketpair()
    with a, b:
        media = rtp.DatagramTransport(rx)
        loop = _loop(media, sink, a, max_delay_us=300_000, min_wait_us=30_000,
                     report_interval_us=50_000, rtcp_to_host="127.0.0.1",
                     rtcp_to_port=tx.getsockname()[1])
        b.send(b"x")
        assert loop.run() is None  # woken
        # A unit whose end never comes is given up by the session's own timer; the report timer
        # sends receiver reports meanwhile.
        tx.sendto(_packet(1, marker=False), rx.getsockname())
        start = time.monotonic()
        (unit,) = loop.run()
        assert not unit.complete and time.monotonic() - start < 2
        tx.settimeout(5)
        assert [p["type"] for p in rtp.rtcp_parse(tx.recv(2048))[0]] == ["rr", "sdes"]
        assert loop.stats()["receiver_reports"] >= 1
        for bad, error in [(dict(payload_type=200), ValueError),
                           (dict(rtcp_to_host="not-a-host"), ValueError),
                           (dict(decoder=object()), TypeError), (dict(sender_port=70000), ValueError)]:
            with pytest.raises(error):
                _loop(rx, sink, a, **bad)
        with pytest.raises(TypeError):
            _loop(rx, sink, a, object())
        with pytest.raises(TypeError):  # descriptors are no transports
            rtp.RtpReceiveLoop(rx.fileno(), sink.fileno(), a.fileno(), rtp.PictureQueue())
        # The loop reads and sends past the hooks: it takes no hooked transport, and while it
        # holds one no hook can be set (clearing one is fine).
        with pytest.raises(ValueError, match="hook"):
            _loop(rtp.DatagramTransport(rx, unprotect=bytes), sink, a)
        with pytest.raises(ValueError, match="RtpReceiveLoop"):
            media.pace = print
        media.protect = None
        media.close()
        with pytest.raises(OSError):
            loop.run()  # the transport it reads is closed
        del loop
        media.pace = print  # let go with the loop


def test_receive_loop_decodes_into_a_picture_queue(units, udp):
    import socket
    import threading
    import time
    rx, tx, rtcp = udp
    pack = rtp.RtpPacketizer(mtu=1200, ssrc=7)
    ts = [pack.timestamp_of(t) for _, t, *_ in units[:10]]
    dec, queue = codec.H264Decoder(), rtp.PictureQueue()
    a, b = socket.socketpair()
    with a, b:
        loop = _loop(rx, rtcp, a, queue, decoder=dec)
        # The sender report that comes first waits for the sender's first packet, then stamps
        # every unit by its mapping (a unit before its timestamp included).
        wall = 10**15
        tx.sendto(rtp.rtcp_sr(7, rtp.ntp_from_us(wall), ts[2], 0, 0), rtcp.getsockname())
        for data, t, *_ in units[:10]:
            for p in pack.packetize(data, t):
                tx.sendto(p, rx.getsockname())
        result = []
        thread = threading.Thread(target=lambda: result.append(loop.run()))
        thread.start()
        pics, deadline = [], time.monotonic() + 10
        while len(pics) < 10 and time.monotonic() < deadline:
            pics += queue.take(0.5)
        b.send(b"x")
        thread.join(10)
    assert result == [None]  # decoded in the loop, nothing left to the caller
    expect = [wall + ((t - ts[2]) * 1_000_000) // 90_000 for t in ts]
    assert [p.t_us for p in pics] == expect and expect[2] == wall and expect[1] % 10 == 6
    assert queue.stamp_of(expect[3]) == (ts[3], True) and len(queue.latencies()) == 10
    assert dec.stats()["images"] == 10 and dec.stats()["cpu_us"] > 0
    assert loop.stats()["sender_reports"] == 1


def test_picture_queue_waits_closes_and_checks():
    import threading
    import time
    queue = rtp.PictureQueue(capacity=2)
    t0 = time.monotonic()
    assert queue.take(0.05) == [] and time.monotonic() - t0 >= 0.04
    pic = codec.TestPattern(64, 48).next(5)
    queue.stamp(5, 90, False)
    queue.put([pic, pic, pic])
    assert queue.stats()["pictures_dropped"] == 1 and queue.stats()["latency_p50_us"] is None
    assert [p.t_us for p in queue.take()] == [5, 5]
    threading.Timer(0.05, queue.close).start()
    assert queue.take(10) == [] and time.monotonic() - t0 < 5
    for bad in ([1], 3):
        with pytest.raises(TypeError):
            queue.put(bad)
    with pytest.raises(ValueError):
        queue.take(-1)
