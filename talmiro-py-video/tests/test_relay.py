"""The seeded lossy relay: loss, bursts, delay, jitter and reordering, full queues, feedback, and
its command line."""

import json
import socket
import struct
import subprocess
import sys
import time

import pytest

from talmiro_sdk_video._net import bind_pair
from talmiro_sdk_video.relay import Relay, RelayConfig

LOCAL = "127.0.0.1"


def rtp(seq: int, ssrc: int = 0x5EED) -> bytes:
    return struct.pack(">BBHII", 0x80, 96, seq & 0xFFFF, seq * 3000, ssrc) + struct.pack(
        ">q", time.monotonic_ns())


def drain(sock: socket.socket, got: list) -> None:
    while True:
        try:
            data, src = sock.recvfrom(2048)
        except BlockingIOError:
            return
        got.append((data, src, time.monotonic_ns()))


def relay_packets(cfg: RelayConfig, packets: list[bytes], host: str = LOCAL
                  ) -> tuple[list[tuple[bytes, int]], dict]:
    """Sends the packets through a relay on `host`; what arrived in arrival order with each
    one's arrival time (ns), and the relay's counters."""
    recv_rtp, recv_rtcp = bind_pair(host, 0)
    sender = socket.socket(recv_rtp.family, socket.SOCK_DGRAM)
    got: list = []
    with sender, recv_rtp, recv_rtcp, Relay((host, 0), (host, recv_rtp.getsockname()[1]),
                                            cfg) as relay:
        for n, packet in enumerate(packets):
            sender.sendto(packet, relay.listen_address)
            if n % 20 == 19:  # paced, so no socket buffer overflows on the way
                time.sleep(0.002)
                drain(recv_rtp, got)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            drain(recv_rtp, got)
            c = relay.counters()
            if c["forward"]["received"] == len(packets) and c["queued"] == 0 and \
                    c["forward"]["forwarded"] == len(got):
                break
            time.sleep(0.01)
        counters = relay.counters()
    return [(d, t) for d, _, t in got], counters


def run_through(cfg: RelayConfig, count: int = 1000) -> tuple[list[tuple[int, int]], dict]:
    """Sends `count` RTP packets through a relay; the sequence numbers in arrival order with
    each one's time in the relay (ns), and the relay's counters."""
    got, counters = relay_packets(cfg, [rtp(seq) for seq in range(count)])
    arrivals = [(struct.unpack_from(">H", d, 2)[0], t - struct.unpack_from(">q", d, 12)[0])
                for d, t in got]
    return arrivals, counters


@pytest.mark.parametrize("loss", [0.05, 0.2])
def test_loss_is_near_the_rate_and_the_same_for_the_same_seed(loss):
    count = 1000
    seqs = [{s for s, _ in run_through(RelayConfig(loss=loss, seed=seed), count)[0]}
            for seed in (7, 7, 8)]
    lost = count - len(seqs[0])
    sigma = (count * loss * (1 - loss)) ** 0.5
    assert abs(lost - count * loss) < 4 * sigma
    assert seqs[0] == seqs[1] and seqs[0] != seqs[2]


def test_bursts_lose_runs_of_packets():
    arrivals, counters = run_through(RelayConfig(burst_rate=0.02, burst_packets=4, seed=3))
    have = {s for s, _ in arrivals}
    runs, run = [], 0
    for seq in range(1000):
        if seq in have:
            if run:
                runs.append(run)
            run = 0
        else:
            run += 1
    runs += [run] if run else []
    assert runs and all(r >= 4 for r in runs)
    assert counters["forward"]["lost_in_burst"] == 1000 - len(have)
    assert counters["forward"]["lost"] == 0


def rtx(seq: int, original: int, ssrc: int) -> bytes:
    """An RTX packet (payload type 97) resending `original` of `rtp(original)`'s stream."""
    return struct.pack(">BBHIIH", 0x80, 97, seq & 0xFFFF, original * 3000, ssrc, original)


def test_bursts_take_the_same_originals_whatever_is_resent_between():
    """What is resent (how often, which packets, from which RTX SSRC, or as plain copies)
    changes no original packet's fate."""
    cfg = RelayConfig(loss=0.03, burst_rate=0.02, seed=11)
    lost_sets = []
    for ssrc, every, plain in ((0xAAAA, 7, False), (0xBBBB, 3, True), (0xAAAA, 1000, False)):
        packets, rtx_seq = [], 0
        for seq in range(1000):
            packets.append(rtp(seq))
            if seq % every == every - 1:
                packets.append(rtp(seq - 2)[:12] if plain else rtx(rtx_seq, seq - 2, ssrc))
                rtx_seq += 1
        got, counters = relay_packets(cfg, packets)
        originals = {struct.unpack_from(">H", d, 2)[0] for d, _ in got
                     if d[1] == 96 and len(d) > 12}
        lost_sets.append(set(range(1000)) - originals)
        assert counters["forward"]["lost_in_burst"] > 0
    assert lost_sets[0] == lost_sets[1] == lost_sets[2]
    assert 30 < len(lost_sets[0]) < 250


def test_delay_jitter_and_reordering_lose_nothing_and_swap_neighbours():
    arrivals, counters = run_through(RelayConfig(delay_ms=20, jitter_ms=10, reorder=0.1, seed=5),
                                     count=600)
    seqs = [s for s, _ in arrivals]
    assert sorted(seqs) == list(range(600))
    swapped = [i for i in range(1, len(seqs)) if seqs[i] < seqs[i - 1]]
    # A packet held back leaves right behind the one that came after it, and jitter alone
    # never reorders.
    assert len(swapped) == counters["forward"]["reordered"] > 0
    assert all(seqs[i] == seqs[i - 1] - 1 for i in swapped)
    # Never early; the upper bound only catches a packet that got stuck.
    assert min(t for _, t in arrivals) >= 20_000_000
    assert max(t for _, t in arrivals) < 2_000_000_000


def test_a_full_queue_drops_and_counts():
    arrivals, counters = run_through(RelayConfig(delay_ms=300, max_queue=10), count=40)
    assert len(arrivals) == 10 and counters["forward"]["overflow"] == 30


def test_datagrams_the_system_dropped_are_counted():
    """Sent before the relay reads, more than its socket holds: what it never saw is counted
    (the count rides on the next datagram read after the drops)."""
    sent = 0
    relay = Relay((LOCAL, 0), (LOCAL, 9))  # not started, so not reading
    room = relay._a_rtp.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for seq in range(room // 1400 + 1000):
            sender.sendto(rtp(seq) + bytes(1400), relay.listen_address)
            sent += 1
        relay.start()
        try:
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                before = relay.counters()["forward"]["received"]
                time.sleep(0.1)
                if relay.counters()["forward"]["received"] == before:
                    break
            sender.sendto(rtp(sent), relay.listen_address)
            sent += 1
            while time.monotonic() < deadline:
                c = relay.counters()["forward"]
                if c["received"] + c["socket_drops"] == sent:
                    break
                time.sleep(0.01)
        finally:
            relay.stop()
    assert c["socket_drops"] > 0 and c["received"] + c["socket_drops"] == sent


def test_feedback_goes_back_to_the_sender():
    recv_rtp, recv_rtcp = bind_pair(LOCAL, 0)
    send_rtp, send_rtp_next = bind_pair(LOCAL, 0)
    send_rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    override = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    send_rtcp.bind((LOCAL, 0))
    override.bind((LOCAL, 0))
    socks = [recv_rtp, recv_rtcp, send_rtp, send_rtp_next, send_rtcp, override]
    for s in socks:
        s.settimeout(5)

    def exchange(pli: bytes) -> int:
        """The receiver takes a packet and answers its source port + 1, as receivers do before
        they hear the sender's RTCP; the port the media came from."""
        _, media_src = recv_rtp.recvfrom(2048)
        recv_rtcp.sendto(pli, (media_src[0], media_src[1] + 1))
        return media_src[1]

    pli = struct.pack(">BBHII", 0x81, 206, 2, 1, 0x5EED)
    try:
        with Relay((LOCAL, 0), (LOCAL, recv_rtp.getsockname()[1])) as relay:
            # Before the sender's RTCP is heard: its RTP source port + 1.
            send_rtp.sendto(rtp(1), relay.listen_address)
            assert exchange(pli) == relay.receiver_facing_address[1]
            assert send_rtp_next.recvfrom(2048)[0] == pli
            # Once it is: where its RTCP came from.
            sr = struct.pack(">BBHI", 0x80, 200, 6, 0x5EED) + bytes(20)
            send_rtcp.sendto(sr, (LOCAL, relay.listen_address[1] + 1))
            assert recv_rtcp.recvfrom(2048)[0] == sr
            send_rtp.sendto(rtp(2), relay.listen_address)
            exchange(pli)
            assert send_rtcp.recvfrom(2048)[0] == pli
        with Relay((LOCAL, 0), (LOCAL, recv_rtp.getsockname()[1]),
                   rtcp_back=override.getsockname()) as relay:
            send_rtcp.sendto(sr, (LOCAL, relay.listen_address[1] + 1))
            assert recv_rtcp.recvfrom(2048)[0] == sr
            send_rtp.sendto(rtp(3), relay.listen_address)
            exchange(pli)
            assert override.recvfrom(2048)[0] == pli
            assert relay.counters()["back"]["received"] == 1
    finally:
        for s in socks:
            s.close()


def cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "talmiro_sdk_video", "relay", *args],
                          capture_output=True, text=True, timeout=60)


def test_cli_runs_for_its_seconds_and_prints_one_line():
    result = cli("--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--loss", "0.1", "--delay-ms",
                 "5", "--seconds", "0.3", "--json")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()
    assert len(lines) == 1
    counters = json.loads(lines[0])
    assert counters["forward"]["received"] == 0 and counters["queued"] == 0


@pytest.mark.parametrize("args", [
    ["--to", f"{LOCAL}:9"],
    ["--listen", f"{LOCAL}:0", "--to", LOCAL],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:65535"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--loss", "1.5"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--burst-packets", "0"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--jitter-ms", "-1"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--seconds", "-2"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--out-port", "65535"],
])
def test_cli_bad_arguments_give_one_line(args):
    result = cli(*args)
    assert result.returncode != 0
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: "), result.stderr
