"""DatagramTransport, the one way datagrams go in and out, and RtpSendStep, a sender's work per
access unit and per NACK through it: batches to every peer, refusals counted, hooks called."""

import gc
import select
import socket
import weakref

import pytest

import talmiro_sdk_video._codec as codec
import talmiro_sdk_video._rtp as rtp

LOCAL = "127.0.0.1"


@pytest.fixture
def udp():
    socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3)]
    for s in socks:
        s.bind((LOCAL, 0))
        s.settimeout(5)
    yield socks  # receiver, sender, stranger
    for s in socks:
        s.close()


def _wait(sock: socket.socket) -> None:
    select.select([sock], [], [], 5)


def test_sends_each_to_each_and_counts_failures(udp):
    rx, tx, other = udp
    grams = [b"a", b"bb", b"c" * 1200]
    t = rtp.DatagramTransport(tx, [rx.getsockname(), other.getsockname()])
    assert t.peers == [rx.getsockname(), other.getsockname()]
    assert t.send(grams) == 0
    assert [rx.recv(2048) for _ in grams] == grams == [other.recv(2048) for _ in grams]
    # One peer by index, several, or an address of its own; port 0 is refused by the kernel:
    # counted, and the sends after it still go.
    t.send(b"one", to=1)
    assert other.recv(64) == b"one"
    t.send([b"x"], to=[0, 1])
    assert rx.recv(64) == other.recv(64) == b"x"
    t.set_peers([(LOCAL, 0), rx.getsockname()])
    assert t.send(b"y") == 1 and rx.recv(64) == b"y"
    stats = t.stats()
    assert (stats["datagrams_sent"], stats["send_errors"]) == (10, 1)
    assert stats["bytes_sent"] == 2 * 1203 + 3 + 2 + 1
    for bad, error in [(dict(to=5), IndexError), (dict(to=("localhost", 5)), ValueError),
                       (dict(to=(LOCAL, 70000)), ValueError), (dict(datagrams=["text"]), TypeError),
                       (dict(to="text"), TypeError)]:
        with pytest.raises(error):
            t.send(**{"datagrams": b"z", **bad})
    with pytest.raises(ValueError):
        rtp.DatagramTransport(tx, [("localhost", 5)])
    # Closed, the transport fails its sends; the socket it came from is still the caller's.
    t.close()
    assert t.closed and t.send(b"late") == 2 and t.stats()["send_errors"] == 3
    tx.sendto(b"still", rx.getsockname())
    assert rx.recv(64) == b"still"


def test_receives_in_batches_and_refuses_what_is_too_long(udp):
    rx, tx, _ = udp
    t = rtp.DatagramTransport(rx, max_size=100)
    assert t.receive() == []
    for data in (b"1", b"2" * 101, b"3" * 100, b"4"):
        tx.sendto(data, rx.getsockname())
    _wait(rx)
    got = []
    for _ in range(50):  # bounded: the datagrams are on loopback already
        got += t.receive(max_count=2)
        if len(got) == 3:
            break
    assert [d for d, _ in got] == [b"1", b"3" * 100, b"4"]
    assert {src for _, src in got} == {tx.getsockname()}
    stats = t.stats()
    assert (stats["datagrams_received"], stats["datagrams_refused"]) == (4, 1)
    assert stats["bytes_received"] == 1 + 101 + 100 + 1


def test_hooks_protect_unprotect_and_pace(udp):
    rx, tx, _ = udp
    paced = []
    sender = rtp.DatagramTransport(tx, [rx.getsockname()],
                                     protect=lambda d: None if d == b"drop" else b"P" + d,
                                     pace=lambda grams, to: paced.append((grams, to)))
    receiver = rtp.DatagramTransport(rx, unprotect=lambda d: d[1:] if d[:1] == b"P" else None)
    # The pacer takes the send over and sends later with send_now, which protects.
    assert sender.send([b"a", b"drop", b"b"], to=0) == 0 and paced == [([b"a", b"drop", b"b"], 0)]
    assert sender.send_now(*paced[0]) == 0
    tx.sendto(b"forged", rx.getsockname())
    got = []
    for _ in range(50):
        _wait(rx)
        got += receiver.receive()
        if len(got) == 2:
            break
    assert [d for d, _ in got] == [b"a", b"b"]
    assert sender.stats()["protect_refused"] == 1 and sender.stats()["datagrams_paced"] == 3
    assert receiver.stats()["datagrams_refused"] == 1
    with pytest.raises(TypeError):
        sender.pace = 5
    # A hook that refers back to its transport does not keep it alive.
    sender.pace = sender.stats
    ref = weakref.ref(sender)
    del sender
    gc.collect()
    assert ref() is None


def _units(n: int) -> list:
    enc = codec.H264Encoder(64, 48, intra_refresh=False)
    pattern = codec.TestPattern(64, 48)
    units = []
    for i in range(n):
        units += enc.encode(pattern.frame(i), i * 33_333)
    return units + enc.flush()


def test_send_step_sends_units_and_answers_nacks(udp):
    rx, tx, other = udp
    pack, responder = rtp.RtpPacketizer(mtu=200), rtp.RtpResponder()
    transport = rtp.DatagramTransport(tx, [rx.getsockname(), other.getsockname()])
    step = rtp.RtpSendStep(pack, responder, transport)
    calls = []
    unit = _units(1)[0]
    n = step.send(unit[0], unit[1], 1_000_000, before=lambda: calls.append(pack.stats()["packets"]))
    # Packetized before `before` runs, sent after it, to both peers; the responder's budget
    # learnt of them.
    assert n > 1 and calls == [n] and pack.stats()["packets"] == n
    sent = [rx.recv(2048) for _ in range(n)]
    assert sent == [other.recv(2048) for _ in range(n)]
    assert transport.stats()["bytes_sent"] == 2 * pack.stats()["bytes"]
    first = int.from_bytes(sent[0][2:4], "big")
    answer = step.answer_nack(7, [(first, 0), ((first - 100) & 0xFFFF, 0)], 1_010_000, to=[1])
    assert (answer["resent"], answer["not_held"]) == (1, 1)
    rtx = other.recv(2048)  # RTX form: the original number in front of the payload
    assert rtx[1] & 0x7F == 97 and rtx[12:14] == sent[0][2:4]
    assert responder.stats()["resends"] == 1
    # With a hook set, the packets pass it on their way out (and `before` still comes first).
    transport.protect = lambda d: b"P" + d
    calls.clear()
    n = step.send(unit[0], unit[1] + 33_333, 1_040_000, before=lambda: calls.append(1))
    assert calls == [1] and [rx.recv(2048)[:2] for _ in range(n)] == [b"P\x80"] * n
    with pytest.raises(TypeError):
        rtp.RtpSendStep(pack, responder, tx)
