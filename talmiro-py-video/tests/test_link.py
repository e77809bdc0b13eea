"""Test-pattern pictures through the encoder and the decoder and back, compared by luma PSNR."""
import pytest

import talmiro_sdk_video._codec as codec

WIDTH, HEIGHT, FPS, KBPS = 640, 480, 30, 2000
FRAMES = 90
FRAME_US = 1_000_000 // FPS


@pytest.mark.parametrize("pixel_format", ["i420", "nv12"])
def test_pattern_survives_the_link(pixel_format):
    encoder = codec.H264Encoder(WIDTH, HEIGHT, fps=FPS, bitrate_kbps=KBPS)
    decoder = codec.H264Decoder()
    pattern = codec.TestPattern(WIDTH, HEIGHT, fps=FPS, pixel_format=pixel_format)

    sent = {}
    units = []
    for n in range(FRAMES):
        t_us = 1_000 + n * FRAME_US
        sent[t_us] = n
        units += encoder.encode(pattern.next(t_us), t_us)
    units += encoder.flush()
    assert pattern.position == FRAMES
    assert len(units) == FRAMES
    assert units[0][2] and units[0][3]  # the stream opens with an IDR carrying SPS/PPS

    worst = float("inf")
    for data, t_us, key, config, recovery, encoded_us in units:
        assert isinstance(data, bytes) and encoded_us > 0
        pictures = decoder.decode(data, t_us, key, config, recovery)
        assert len(pictures) == 1, f"access unit of t_us {t_us} gave {len(pictures)} pictures"
        picture = pictures[0]
        assert (picture.width, picture.height, picture.t_us) == (WIDTH, HEIGHT, t_us)
        db = codec.psnr(picture.y, pattern.frame(sent.pop(t_us), t_us).y)
        assert db is not None and db > 30.0, f"frame of t_us {t_us}: {db} dB"
        worst = min(worst, db)
    assert not sent
    assert decoder.state == "streaming"
    assert decoder.flush() == []
    assert decoder.take_signal() is None
    assert decoder.state == "waiting"  # a flush starts over: the next start point is awaited
    assert worst > 30.0
