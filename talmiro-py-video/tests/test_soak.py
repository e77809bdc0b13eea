"""Soak test of the whole link: encoder, a seeded lossy channel and decoder over 10,000 frames.
The channel drops 10% of the access units at random plus bursts of 5 to 30, and damages a few
of the rest (cut short, or one bit flipped).

The receiver answers the decoder's "request_idr" the way the wrapper does, by asking the
sender for an IDR picture, which reaches the encoder a round trip later. The test checks that
nothing but MediaError is ever raised, that the picture comes back after every loss within a
bound that follows from the refresh period and the request round trip, and that resident
memory stays flat.
"""

import pytest

import talmiro_sdk_video._codec as codec
from talmiro_sdk_video.in_process import LossEpisodes, LossyChannel

FRAMES = 10_000
WIDTH, HEIGHT, FPS = 320, 240, 30
FRAME_US = 33_333
# Intra refresh with a full refresh wave every REFRESH pictures, each wave opened by a recovery
# point.
REFRESH = 15
# Frames between the receiver's IDR request and the encoder seeing it (100 ms at 30 fps).
ROUND_TRIP = 3
STUCK_FRAMES = 10
LOSS = 0.10
# Of the access units that arrive, this share arrives cut short or with a flipped byte.
DAMAGE = 0.005
BURST_START = 0.01
BURST_FRAMES = (5, 30)
# The channel is clean for the last frames, so the final loss has room to recover.
CLEAN_TAIL = 200
# A decoded picture this close to the one that went in is the real picture again; concealed
# pictures after a loss measure 6-30 dB against it, a clean link 70 dB and more.
GOOD_PSNR_DB = 40.0

# After the last lost access unit either pictures keep coming out (concealed), and the next
# recovery point (at most REFRESH frames away) starts a wave that has refreshed the whole
# picture REFRESH frames later; or they stop, the decoder asks for an IDR picture after
# STUCK_FRAMES access units without one and the IDR picture arrives ROUND_TRIP frames after
# that. Two frames of slack for the frame on which either happens.
RECOVERY_BOUND = max(2 * REFRESH, STUCK_FRAMES + ROUND_TRIP) + 2


def under_address_sanitizer() -> bool:
    """AddressSanitizer keeps freed memory in quarantine, so resident memory grows without a
    leak there; its own leak checks stand in for the memory figure."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def resident_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS in /proc/self/status")


def test_lossy_link_recovers_every_loss_with_flat_memory():
    encoder = codec.H264Encoder(
        WIDTH, HEIGHT, fps=FPS, bitrate_kbps=600, keyframe_interval=REFRESH, backend="x264"
    )
    decoder = codec.H264Decoder(stuck_frames=STUCK_FRAMES)
    pattern = codec.TestPattern(WIDTH, HEIGHT, fps=FPS)
    channel = LossyChannel(LOSS, BURST_START, BURST_FRAMES, seed=20261208, damage=DAMAGE)

    requests_due: list[int] = []
    media_errors = 0
    lost_units = damaged_units = 0
    signals = {"request_idr": 0, "reset": 0}
    episodes = LossEpisodes()
    rss_at_1000 = rss_peak_late = 0

    for n in range(FRAMES):
        while requests_due and requests_due[0] <= n:
            requests_due.pop(0)
            encoder.request_idr()
        picture = pattern.next(n * FRAME_US)
        try:
            units = encoder.encode(picture, n * FRAME_US)
        except codec.MediaError:
            media_errors += 1
            units = []
        for data, t_us, key, config, recovery, _encoded_us in units:
            if n < FRAMES - CLEAN_TAIL and channel.lost():
                lost_units += 1
                episodes.loss(n)
                continue
            arrived = channel.damaged(data) if n < FRAMES - CLEAN_TAIL else data
            if arrived is not data:
                damaged_units += 1
                # A damaged access unit counts as a loss: the picture is wrong until refreshed.
                episodes.loss(n)
            try:
                images = decoder.decode(arrived, t_us, key, config, recovery)
            except codec.MediaError:
                media_errors += 1
                images = []
            signal = decoder.take_signal()
            if signal is not None:
                signals[signal] += 1
                if signal == "request_idr":
                    requests_due.append(n + ROUND_TRIP)
            for image in images:
                frame = image.t_us // FRAME_US
                assert frame == n, "the picture out belongs to the access unit in"
                if episodes.open() and codec.psnr(image.y, picture.y) >= GOOD_PSNR_DB:
                    episodes.good_picture(frame)
            del images
        if episodes.open():
            assert n - episodes.last <= RECOVERY_BOUND, (
                f"frame {n}: no good picture {n - episodes.last} frames after the loss at "
                f"frame {episodes.last} (bound {RECOVERY_BOUND})"
            )
        if n == 999:
            rss_at_1000 = resident_bytes()
        elif n >= FRAMES - 1000:
            rss_peak_late = max(rss_peak_late, resident_bytes())

    assert not episodes.open(), "the last loss was never recovered"
    assert lost_units > 0.1 * FRAMES and len(episodes.recovered) > 100
    worst = max(last for last, _first in episodes.recovered)
    longest = max(first for _last, first in episodes.recovered)
    growth = rss_peak_late - rss_at_1000
    stats = decoder.stats()
    assert stats["images"] == stats["sync"]["output"]
    assert stats["sync"]["frames"] == FRAMES - lost_units
    assert stats["fed"] <= stats["sync"]["fed"]
    print(
        f"\nsoak: {FRAMES} frames {WIDTH}x{HEIGHT}, {lost_units} access units lost, "
        f"{damaged_units} damaged, "
        f"{len(episodes.recovered)} loss episodes recovered, worst {worst} frames after the "
        f"last loss (bound {RECOVERY_BOUND}), longest episode {longest} frames; "
        f"signals {signals}, IDR pictures {encoder.stats()['idr']}, MediaError {media_errors}, "
        f"decoder errors {stats['errors']} resets {stats['resets']}; "
        f"RSS growth {growth / 1e6:.2f} MB"
    )
    if not under_address_sanitizer():
        assert growth < 2_000_000, f"resident memory grew by {growth} bytes"
    encoder.close()
    decoder.close()


@pytest.mark.parametrize("seed", [1, 2])
def test_link_without_requests_recovers_through_refresh(seed):
    """Losses alone, nobody answering the IDR requests: the refresh waves must still bring the
    picture back (the requests are a shortcut, not the only way out)."""
    encoder = codec.H264Encoder(
        WIDTH // 2, HEIGHT // 2, fps=FPS, keyframe_interval=REFRESH, backend="x264"
    )
    decoder = codec.H264Decoder(stuck_frames=STUCK_FRAMES)
    pattern = codec.TestPattern(WIDTH // 2, HEIGHT // 2, fps=FPS)
    channel = LossyChannel(LOSS, BURST_START, BURST_FRAMES, seed, damage=DAMAGE)
    episodes = LossEpisodes()
    for n in range(600):
        picture = pattern.next(n * FRAME_US)
        for data, t_us, key, config, recovery, _ in encoder.encode(picture, n * FRAME_US):
            if n < 500 and channel.lost():
                episodes.loss(n)
                continue
            try:
                images = decoder.decode(data, t_us, key, config, recovery)
            except codec.MediaError:
                images = []
            decoder.take_signal()
            for image in images:
                if codec.psnr(image.y, picture.y) >= GOOD_PSNR_DB:
                    episodes.good_picture(n)
        if episodes.open():
            # Without answered requests only the next recovery point and its wave help.
            assert n - episodes.last <= 2 * REFRESH + 2
    assert not episodes.open() and episodes.recovered
