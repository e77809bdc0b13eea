"""RTCP through the module: the builders and the parser, what the network sends, reception
statistics, NTP time and the NACK round trip."""

import random

import pytest

import talmiro_sdk_video._rtp as rtp

BLOCK = {"ssrc": 0x11223344, "fraction_lost": 64, "cumulative_lost": -3,
         "extended_highest_seq": 0x1FFFE, "jitter": 77, "lsr": 0xAABBCCDD, "dlsr": 0x10000}
NTP = rtp.ntp_from_us(1_765_000_000_123_456)


def test_every_builder_parses_back_field_for_field():
    data = (rtp.rtcp_sr(1, NTP, 90000, 10, 12000, [BLOCK])
            + rtp.rtcp_sdes(1, "me@host",
                              [("note", "héllo"), ("priv", "talmiro-pattern", "fps=30")])
            + rtp.rtcp_rr(2, reports=[{"ssrc": 9}])
            + rtp.rtcp_nack(3, 4, [65534, 65535, 0, 40])
            + rtp.rtcp_pli(5, 6)
            + rtp.rtcp_fir(7, 8, 255)
            + rtp.rtcp_bye([1, 2], "closing")
            + rtp.rtcp_bye([3]))
    packets, counts = rtp.rtcp_parse(data)
    zero = dict.fromkeys(BLOCK, 0)
    assert packets == [
        {"type": "sr", "ssrc": 1, "ntp": NTP, "rtp_timestamp": 90000, "packet_count": 10,
         "octet_count": 12000, "reports": [BLOCK]},
        {"type": "sdes", "chunks": [{"ssrc": 1, "items": [
            ("cname", "me@host"), ("note", "héllo"), ("priv", "talmiro-pattern", "fps=30")]}]},
        {"type": "rr", "ssrc": 2, "reports": [{**zero, "ssrc": 9}]},
        {"type": "nack", "sender_ssrc": 3, "media_ssrc": 4, "pairs": [(65534, 0x0003), (40, 0)],
         "lost": [65534, 65535, 0, 40]},
        {"type": "pli", "sender_ssrc": 5, "media_ssrc": 6},
        {"type": "fir", "sender_ssrc": 7, "media_ssrc": 0, "entries": [{"ssrc": 8, "seq": 255}]},
        {"type": "bye", "ssrcs": [1, 2], "reason": "closing"},
        {"type": "bye", "ssrcs": [3], "reason": None},
    ]
    assert counts == {"parsed": 8, "refused": 0, "truncated": 0, "bad_version": 0,
                      "bad_padding": 0, "count_past_end": 0, "too_short": 0, "malformed": 0,
                      "unknown_type": 0, "unknown_feedback": 0, "nack_pairs_dropped": 0}
    # Any contiguous buffer is read in place; a NACK's numbers may be left out.
    assert rtp.rtcp_parse(memoryview(bytearray(data)))[0] == packets
    del packets[3]["lost"]
    assert rtp.rtcp_parse(data, nack_lost=False)[0] == packets


def test_what_the_network_sends_is_counted_never_raised():
    good = rtp.rtcp_rr(1) + rtp.rtcp_pli(1, 2)
    packets, counts = rtp.rtcp_parse(good[:-3])
    assert [p["type"] for p in packets] == ["rr"]
    assert counts["truncated"] == counts["refused"] == 1
    # An SDES text that is not UTF-8 is read with replacement characters.
    sdes = bytes([0x81, 202, 0, 2, 0, 0, 0, 1, 1, 2, 0xFF, 0x41])
    assert rtp.rtcp_parse(sdes)[0][0]["chunks"][0]["items"] == [("cname", "\ufffdA")]
    rng = random.Random(7)
    for _ in range(300):
        noise = bytes([0x80 | rng.randrange(64), rng.randrange(200, 207)])
        noise += rng.randbytes(rng.randrange(40))
        packets, counts = rtp.rtcp_parse(noise)
        assert counts["parsed"] == len(packets)
    with pytest.raises(ValueError, match="contiguous"):
        rtp.rtcp_parse(memoryview(bytes(16))[::2])


@pytest.mark.parametrize("call, error, text", [
    (lambda: rtp.rtcp_rr(1, [{"ssrc": 1}] * 32), ValueError, "32 report blocks, at most 31"),
    (lambda: rtp.rtcp_rr(1, [{"jitter": 1}]), KeyError, "lacks 'ssrc'"),
    (lambda: rtp.rtcp_rr(1, [{"ssrc": 1, "fraction_lost": 256}]), OverflowError, "fraction_lost"),
    (lambda: rtp.rtcp_rr(1, [{"ssrc": 1, "cumulative_lost": 1 << 23}]), OverflowError, "24-bit"),
    (lambda: rtp.rtcp_rr(1, [(1, 2)]), TypeError, r"reports\[0\] must be a dict"),
    (lambda: rtp.rtcp_sdes(1, "x" * 256), ValueError, "at most 255"),
    (lambda: rtp.rtcp_sdes(1, "x", [("bogus", "y")]), ValueError, "unknown item name"),
    (lambda: rtp.rtcp_sdes(1, "x", [("priv", "y")]), TypeError, "prefix"),
    (lambda: rtp.rtcp_sdes(1, "x", [("note", "\ud800")]), UnicodeEncodeError, "surrogates"),
    (lambda: rtp.rtcp_nack(1, 2, []), ValueError, "without pairs"),
    (lambda: rtp.rtcp_nack(1, 2, [65536]), OverflowError, "16-bit"),
    (lambda: rtp.rtcp_fir(1, 2, 256), OverflowError, "8-bit"),
    (lambda: rtp.rtcp_bye([1 << 32]), OverflowError, "32-bit"),
])
def test_builders_refuse_what_does_not_fit(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_reception_stats_feed_a_receiver_report():
    stats = rtp.RtpReceptionStats(0xC0FFEE)
    assert stats.report(0) is None and stats.ssrc == 0xC0FFEE and stats.clock_rate == 90000
    for seq, ts, arrival in [(100, 0, 0), (101, 0, 1000), (103, 3000, 40000), (106, 6000, 66000)]:
        stats.packet(seq, ts, arrival)
    stats.sender_report(NTP, 50_000)
    block = stats.report(550_000)
    assert block == {"ssrc": 0xC0FFEE, "fraction_lost": (3 << 8) // 7, "cumulative_lost": 3,
                     "extended_highest_seq": 106, "jitter": 1222 >> 4,
                     "lsr": (NTP >> 16) & 0xFFFFFFFF, "dlsr": 0x8000}
    assert rtp.rtcp_parse(rtp.rtcp_rr(1, [block]))[0][0]["reports"] == [block]
    assert stats.stats()["received"] == 4 and stats.stats()["sender_reports"] == 1
    assert repr(stats) == "RtpReceptionStats(ssrc=0x00c0ffee, received=4)"
    with pytest.raises(OverflowError):
        stats.packet(65536, 0, 0)


def test_ntp_time_and_round_trip():
    assert rtp.ntp_from_us(0) == 2_208_988_800 << 32
    assert rtp.us_from_ntp(NTP) == 1_765_000_000_123_456
    # The report arrives at 46864.500 s, echoes an SR of 46853.125 s held 5.250 s: 6.125 s.
    assert rtp.rtcp_rtt_us(0xB7052000, 0x00054000, 0xB710_8000_0000) == 6_125_000
    assert rtp.rtcp_rtt_us(0, 0x00054000, 0xB710_8000_0000) is None


def test_nack_rtt_from_request_to_retransmission():
    rtt = rtp.NackRtt()
    assert rtt.rtt_us is None and repr(rtt) == "NackRtt(no sample)"
    rtt.nack_sent([10, 11], 1_000)
    assert rtt.retransmission(10, 41_000) == 40_000
    rtt.nack_sent([11], 50_000)
    assert rtt.retransmission(11, 60_000) is None
    assert rtt.retransmission(12, 60_000) is None
    assert (rtt.rtt_us, rtt.latest_us) == (40_000, 40_000)
    assert rtt.stats() == {"samples": 1, "ambiguous": 1, "unmatched": 1}
    assert repr(rtt) == "NackRtt(rtt_us=40000, samples=1)"
    with pytest.raises(OverflowError):
        rtt.nack_sent([1, 65536], 0)
