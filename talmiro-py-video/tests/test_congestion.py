"""Congestion control on the sender's side: the encoder following the target, and the
feedback loop over loopback."""

import time

import pytest

from talmiro_sdk_video.congestion import RateLimits, TargetFollower, rate_limits
from talmiro_sdk_video.receiver import RtpReceiver
from talmiro_sdk_video.sender import RtpSender

from test_rtp_link import LOCAL, send_pattern


class FakeEncoder:
    def __init__(self, kbps: int = 2000):
        self.bitrate_kbps = kbps
        self.told: list[int] = []

    def set_bitrate_kbps(self, kbps: int) -> None:
        self.told.append(kbps)


def test_limits_come_from_the_encoder_and_must_hold_in_order():
    assert rate_limits(FakeEncoder(3000), None, None, None) == RateLimits(300, 1500, 3000)
    assert rate_limits(None, 100, None, 400) == RateLimits(100, 200, 400)
    for bad in ((500, None, 400), (0, None, None), (None, 3000, 2000)):
        with pytest.raises(ValueError, match="min_kbps <= start_kbps <= max_kbps"):
            rate_limits(FakeEncoder(), *bad)


def test_encoder_follows_big_moves_and_the_bounds_and_a_new_encoder_at_once():
    first, second = FakeEncoder(), FakeEncoder()
    current = [first]
    f = TargetFollower(lambda: current[0], RateLimits(200, 1000, 2000), start_s=0.0)
    for t, bps in ((1, 1_030_000), (2, 1_100_000), (3, 9_000_000), (4, 50_000)):
        f.follow(bps, float(t))
    assert first.told == [1000, 1100, 2000, 200]  # 1030 is within 5 % of 1000
    current[0] = second
    f.follow(205_000, 5.0)
    assert second.told == [200]
    s = f.summary(6.0)
    assert (s["target_kbps"], s["target_kbps_min"], s["target_kbps_max"]) == (205, 200, 2000)
    assert s["target_history"][0] == [0.0, 1000] and [4.0, 200] in s["target_history"]
    # 1 s at 1000, 1 at 1030, 1 at 1100, 1 at 2000, 1 at 200, 1 at 205.
    assert s["target_kbps_mean"] == pytest.approx((1000 + 1030 + 1100 + 2000 + 200 + 205) / 6, 0.01)


@pytest.mark.parametrize("cc", [True, False])
def test_receiver_feedback_reaches_the_senders_controller(cc):
    with RtpReceiver(0, bind=LOCAL) as rx, \
            RtpSender([(LOCAL, rx.address[1])], bind=LOCAL, congestion_control=cc) as tx:
        send_pattern(tx, 30, paced=True)
        deadline = time.monotonic() + 3
        while cc and time.monotonic() < deadline and not tx.stats()["transport_feedback_received"]:
            time.sleep(0.02)
    # Read once both are closed: the sender sends what its pacer still holds before its BYE.
    s, r = tx.stats(), rx.stats()
    if not cc:
        assert tx.transport_cc is None and s["target_kbps"] is None
        assert r["transport_feedback_sent"] == 0
        return
    assert tx.transport_cc == 3 and r["transport_feedback_sent"] > 0
    assert s["transport_feedback_received"] > 0 and s["congestion"]["feedback_unknown"] == 0
    p = s["pacer"]  # every packet made went through the pacer, and left or was dropped there
    assert p["sent_packets"] + p["dropped_stale_retransmissions"] + p["dropped_overflow"] == \
        s["packets"] + s["packets_resent"]
    assert 200 <= s["target_kbps"] <= 2000
