"""The seeded lossy relay: loss, bursts, delay, jitter and reordering, full queues, feedback, the
capped link with its queue and rate schedule, and its command line."""

import json
import socket
import struct
import subprocess
import sys
import time

import pytest

from talmiro_sdk_video._net import bind_pair
from talmiro_sdk_video.relay import Bottleneck, Relay, RelayConfig, parse_rate_schedule

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
    result = cli("--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--rate-kbps", "800",
                 "--back-rate-schedule", "0:100,0.5:200", "--back-queue-ms", "50",
                 "--seconds", "0.1", "--json")
    assert result.returncode == 0, result.stderr
    counters = json.loads(result.stdout)
    assert counters["forward"]["rate_kbps"] == [[0.0, 800.0]]
    assert counters["back"]["rate_kbps"] == [[0.0, 100.0], [0.5, 200.0]]


@pytest.mark.parametrize("args", [
    ["--to", f"{LOCAL}:9"],
    ["--listen", f"{LOCAL}:0", "--to", LOCAL],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:65535"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--loss", "1.5"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--burst-packets", "0"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--jitter-ms", "-1"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--seconds", "-2"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--out-port", "65535"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--rate-kbps", "0"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--rate-schedule", "0:100,soon:200"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--back-rate-schedule", "3:100,1:200"],
    ["--listen", f"{LOCAL}:0", "--to", f"{LOCAL}:9", "--back-queue-ms", "-5"],
])
def test_cli_bad_arguments_give_one_line(args):
    result = cli(*args)
    assert result.returncode != 0
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: "), result.stderr


def test_a_bottleneck_sends_at_its_rate_and_drops_what_would_wait_too_long():
    """The model alone, on a simulated clock: 1,250 bytes take 10 ms at 1,000 kbit/s."""
    cap = Bottleneck(1000, 100, (), start=0.0)
    # A burst: each one leaves 10 ms after the one before; the twelfth would wait 110 ms.
    sent = [cap.admit(0.0, 1250) for _ in range(12)]
    assert sent[:11] == pytest.approx([0.01 * (n + 1) for n in range(11)]) and sent[11] is None
    assert cap.admit(5.0, 1250) == pytest.approx(5.01)
    # Twice the rate offered for 10 s: half goes, at the rate, none waiting past the limit.
    cap = Bottleneck(1000, 100, (), start=0.0)
    sent = [cap.admit(n * 0.005, 1250) for n in range(2000)]
    taken = [t for t in sent if t is not None]
    assert len(taken) + cap.drops == 2000 and 990 <= len(taken) <= 1011
    assert taken[-1] <= 10.11
    summary = cap.summary()
    assert summary["queue_drops"] == cap.drops
    assert 90 <= summary["queue_delay_p50_ms"] <= summary["queue_delay_p95_ms"] \
        <= summary["queue_delay_max_ms"] <= 100
    assert summary["rate_kbps"] == [[0.0, 1000.0]]
    # A schedule: 1,000 kbit/s, then no more than the 2,000 offered from 1 s on.
    cap = Bottleneck(None, 100, ((0, 1000), (1.0, 4000)), start=50.0)
    sent = [cap.admit(50.0 + n * 0.005, 1250) for n in range(400)]
    # (those of the last 100 ms before the step leave after it, at the rate they leave at)
    assert 90 <= sum(t is not None for t in sent[:180]) <= 111
    assert all(t is not None for t in sent[230:])
    # A datagram begun at one rate finishes at the next: 1 ms at 1,000, 4.5 ms at 2,000.
    cap = Bottleneck(None, 100, ((1.0, 1000), (2.0, 2000)), start=10.0)
    assert cap.admit(10.5, 1250) == 10.5   # no cap before the first step
    assert cap.admit(11.999, 1250) == pytest.approx(12.0045)
    assert cap.summary()["rate_kbps"] == [[0.0, None], [1.0, 1000.0], [2.0, 2000.0]]
    # Each direction has its own.
    cfg = RelayConfig(back_rate_kbps=100, back_queue_ms=50)
    assert cfg.bottleneck("forward", 0.0) is None and cfg.bottleneck("back", 0.0) is not None
    for bad in (RelayConfig(rate_kbps=0), RelayConfig(queue_ms=-1),
                RelayConfig(rate_schedule=((5, 100), (2, 100))),
                RelayConfig(back_rate_schedule=((0, 0),))):
        with pytest.raises(ValueError):
            bad.check()
    assert parse_rate_schedule("0:1000, 40:2500,60:600") == ((0, 1000), (40, 2500), (60, 600))
    with pytest.raises(ValueError):
        parse_rate_schedule("0:1000,40")


def offer(cfg: RelayConfig, kbps: float, seconds: float, size: int = 1200
          ) -> tuple[list[int], list[tuple[int, int, int]], dict]:
    """Offers `kbps` of `size`-byte RTP datagrams through a relay for `seconds`; the send times
    (ns since the relay started), what arrived as (sequence number, arrival time since the
    start, time in the relay), ns, and the relay's counters once all that came has left it."""
    recv_rtp, recv_rtcp = bind_pair(LOCAL, 0)
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    got: list = []
    sends: list[int] = []
    interval = size * 8 / (kbps * 1000)
    with sender, recv_rtp, recv_rtcp, Relay((LOCAL, 0), (LOCAL, recv_rtp.getsockname()[1]),
                                            cfg) as relay:
        start = time.monotonic_ns()
        deadline = time.monotonic() + seconds + 10
        while len(sends) < seconds / interval and time.monotonic() < deadline:
            due = start + int(len(sends) * interval * 1e9)
            if time.monotonic_ns() < due:
                time.sleep(0.001)
                drain(recv_rtp, got)
                continue
            sends.append(time.monotonic_ns() - start)
            sender.sendto(rtp(len(sends) - 1) + bytes(size - 20), relay.listen_address)
        while time.monotonic() < deadline:
            drain(recv_rtp, got)
            c = relay.counters()
            if c["forward"]["received"] == len(sends) and c["queued"] == 0 and \
                    c["forward"]["forwarded"] == len(got):
                break
            time.sleep(0.01)
        counters = relay.counters()
    arrivals = [(struct.unpack_from(">H", d, 2)[0], t - start,
                 t - struct.unpack_from(">q", d, 12)[0]) for d, _, t in got]
    return sends, arrivals, counters


def rate_kbps(arrivals: list[tuple[int, int, int]], size: int, since_s: float, to_s: float
              ) -> float:
    times = [t for _, t, _ in arrivals if since_s * 1e9 <= t < to_s * 1e9]
    return (len(times) - 1) * size * 8 / ((times[-1] - times[0]) / 1e9) / 1000


def test_a_capped_relay_forwards_at_its_rate_and_queues_no_longer_than_its_limit():
    sends, arrivals, counters = offer(RelayConfig(rate_kbps=1000, queue_ms=100, delay_ms=5),
                                      2000, 2.5)
    forward = counters["forward"]
    offered_kbps = (len(sends) - 1) * 1200 * 8 / (sends[-1] / 1e9) / 1000
    dropped = forward["queue_drops"] / len(sends)
    assert forward["queue_drops"] == len(sends) - len(arrivals) > 0
    assert abs(dropped - (1 - 1000 / offered_kbps)) < 0.12, (dropped, offered_kbps)
    assert forward["bytes_forwarded"] == 1200 * len(arrivals)
    assert 800 <= rate_kbps(arrivals, 1200, 0.3, 10) <= 1100
    # Waiting 100 ms at most, then 9.6 ms on the link and the 5 ms delay; the margin is for a
    # loaded machine.
    assert forward["queue_delay_p95_ms"] <= forward["queue_delay_max_ms"] <= 100.0
    assert forward["queue_delay_p95_ms"] > 50
    assert max(t for _, _, t in arrivals) < (100 + 9.6 + 5 + 60) * 1e6
    assert forward["rate_kbps"] == [[0.0, 1000.0]] and counters["back"]["rate_kbps"] == []


def test_a_rate_schedule_steps_the_relay_at_its_times():
    sends, arrivals, counters = offer(
        RelayConfig(rate_schedule=((0, 600), (1.5, 3000)), queue_ms=100), 1500, 3.0)
    assert 450 <= rate_kbps(arrivals, 1200, 0.3, 1.4) <= 700
    assert rate_kbps(arrivals, 1200, 2.0, 10) >= 1200
    # Nothing is dropped once the rate has risen above what is offered (and the queue of the
    # slow rate has gone).
    late = {n for n, t in enumerate(sends) if t > 1.8e9}
    assert len(late - {seq for seq, _, _ in arrivals}) <= len(late) // 20
    assert counters["forward"]["rate_kbps"] == [[0.0, 600.0], [1.5, 3000.0]]
