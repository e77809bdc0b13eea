"""H264Decoder through the module: pictures and stamps, requests and resets, size limits, failed
allocations, parameter sets, flushing, stats and argument errors."""

import gc
import inspect
import pathlib
import random
import sys
import threading

import numpy as np
import pytest

import talmiro_sdk_video._codec as codec

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "talmiro-media" / "testing"))
from au_records import read_au_records  # noqa: E402

DATA = pathlib.Path(__file__).parent / "data"
P_FRAME = b"\x00\x00\x01\x41\x9a"  # a non-key slice header: dropped before any start
NO_TS = "unsupported: t_us i64::MIN is the decoder's no-timestamp marker"


# The sample clips: TestPattern(64, 48, speed=2) pictures, picture n stamped n * 33333, an IDR
# picture every 8 (clip_idr) or an intra refresh every 5 (clip_refresh); written by make_seeds.
IDR_CLIP = read_au_records(DATA / "clip_idr_64x48.bin")
REFRESH_CLIP = read_au_records(DATA / "clip_refresh_64x48.bin")
SOURCE = codec.TestPattern(64, 48, speed=2)


def luma_psnr(image, n):
    """PSNR of a decoded picture's luma against the clips' source picture n."""
    return codec.psnr(image.y, SOURCE.frame(n).y)


def decode_unit(dec, unit, t_us=None):
    data, stamp, key, config, recovery = unit
    return dec.decode(data, stamp if t_us is None else t_us, key, config, recovery)


def nal_units(data):
    """(type, bytes from its start code on) of each NAL unit of encoder output."""
    starts = []
    i = data.find(b"\x00\x00\x01")
    while i >= 0:
        starts.append(i - 1 if i > 0 and data[i - 1] == 0 else i)
        i = data.find(b"\x00\x00\x01", i + 3)
    ends = starts[1:] + [len(data)]
    return [(data[s:e].lstrip(b"\x00")[1] & 0x1F, data[s:e]) for s, e in zip(starts, ends)]


def param_sets_of(data):
    return b"".join(b for t, b in nal_units(data) if t in (7, 8))


def strip_param_sets(data):
    """The Annex-B bytes without their SPS and PPS NAL units."""
    return b"".join(b for t, b in nal_units(data) if t not in (7, 8))


def as_unit(unit, t_us):
    """A bare byte string is a unit without any flag."""
    return (unit, t_us, False, False, False) if isinstance(unit, bytes) else unit


def test_fresh_decoder():
    dec = codec.H264Decoder()
    assert dec.state == "waiting"
    assert dec.signal() is None and dec.take_signal() is None
    assert dec.param_sets() is None
    stats = dec.stats()
    assert list(stats) == ["fed", "images", "errors", "resets", "recovering", "cpu_us", "sync",
                           "state", "fed_since_output"]
    assert list(stats["sync"]) == ["frames", "dropped", "fed", "output", "starts",
                                   "starts_at_recovery", "resets", "idr_requests", "losses"]
    assert all(v == 0 for k, v in stats.items() if k not in ("sync", "state"))
    assert set(stats["sync"].values()) == {0} and stats["state"] == "waiting"


def test_signatures():
    assert str(inspect.signature(codec.H264Decoder)) == (
        "(output_corrupt=True, stuck_frames=10, wedged_frames=150, recovery_silence_frames=60, "
        "start_at_recovery=True, request_idr_on_loss=True, max_pixels=9437184)")
    dec = codec.H264Decoder()
    assert str(inspect.signature(dec.decode)) == (
        "(data, t_us=0, key=False, config=False, recovery=False, complete=True)")
    for name in ("flush", "close", "take_signal", "signal", "param_sets", "stats"):
        assert str(inspect.signature(getattr(dec, name))) == "()"
    assert codec.H264Decoder.__doc__.startswith("`talmiro_media::H264Decoder` for Python")
    assert "with `request_idr_on_loss`" in codec.H264Decoder.__doc__
    assert "idr_requests/losses`" in dec.stats.__doc__
    assert codec.H264Decoder.state.__doc__.startswith('`"waiting"`')


def test_stream_decodes_one_picture_per_unit_with_stamps_and_quality():
    dec = codec.H264Decoder()
    for n, unit in enumerate(IDR_CLIP):
        images = decode_unit(dec, unit)
        assert len(images) == 1, n
        img = images[0]
        assert (img.width, img.height, img.t_us, img.recovering) == (64, 48, unit[1], False)
        assert luma_psnr(img, n) >= 30
        assert dec.state == "streaming"
    assert dec.param_sets() == param_sets_of(IDR_CLIP[0][0])
    stats = dec.stats()
    n = len(IDR_CLIP)
    assert (stats["fed"], stats["images"], stats["errors"]) == (n, n, 0)
    assert stats["sync"]["starts"] == 1 and stats["sync"]["output"] == n
    assert dec.flush() == []
    assert dec.stats()["images"] == n


def test_no_timestamp_marker():
    dec = codec.H264Decoder()
    assert dec.decode(P_FRAME, -(2 ** 63)) == []  # dropped: never looked at
    with pytest.raises(codec.MediaError) as err:
        decode_unit(dec, IDR_CLIP[0], -(2 ** 63))
    assert str(err.value) == NO_TS
    assert dec.state == "waiting" and dec.stats()["errors"] == 1 and dec.stats()["fed"] == 0
    assert [i.t_us for i in decode_unit(dec, IDR_CLIP[0], 3)] == [3]


def garbage_units():
    rng = random.Random(7)
    idr = IDR_CLIP[0][0]
    out = [b"", b"\x00\x00\x01", b"\x00\x00\x00\x01\x65\xff\xff\xff\x00", idr[:len(idr) // 3]]
    for i in range(10):
        body = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 400)))
        out.append((b"\x00\x00\x00\x01\x65" if i % 2 else b"") + body)
    return out


@pytest.mark.parametrize("garbage", garbage_units())
@pytest.mark.parametrize("streaming", [False, True])
def test_garbage_flagged_as_key(garbage, streaming):
    dec = codec.H264Decoder()
    if streaming:
        decode_unit(dec, IDR_CLIP[0], 100)
    codec.set_ffmpeg_log_level("quiet")
    try:
        images = dec.decode(garbage, 200, True)
    except codec.MediaError:
        assert dec.state == "waiting"
        stats = dec.stats()
        assert (stats["errors"], stats["resets"], stats["sync"]["resets"]) == (1, 1, 1)
        assert decode_unit(dec, IDR_CLIP[1]) == []  # dropped until the next start
        t_us = 50  # a new start takes a lower stamp unchanged
    else:
        assert isinstance(images, list) and len(images) <= 1
        t_us = 300
    finally:
        codec.set_ffmpeg_log_level("warning")
    images = decode_unit(dec, IDR_CLIP[0], t_us)
    assert [i.t_us for i in images] == [t_us]
    assert luma_psnr(images[0], 0) >= 30
    assert dec.state == "streaming"


@pytest.mark.parametrize("kwargs,units,expected", [
    # Dropped P-frames before any start: a request on every stuck_frames-th.
    ({}, [P_FRAME] * 25, {10: "request_idr", 20: "request_idr"}),
    ({"stuck_frames": 3}, [P_FRAME] * 7, {3: "request_idr", 6: "request_idr"}),
    ({"stuck_frames": 0}, [P_FRAME] * 3, {1: "request_idr", 2: "request_idr", 3: "request_idr"}),
    # A stream that gives a picture per unit never signals.
    ({"stuck_frames": 2, "wedged_frames": 2}, IDR_CLIP, {}),
    # A start that is at once wedged: reset, the unit still decoded; the next P-frame dropped.
    ({"wedged_frames": 1}, [IDR_CLIP[0], IDR_CLIP[1]], {1: "reset"}),
    # Recovery points do not start when not allowed; cached SPS/PPS make no difference (a
    # unit of sets alone is no picture and counts nothing towards a request).
    ({"start_at_recovery": False, "stuck_frames": 5},
     [param_sets_of(REFRESH_CLIP[5][0])]
     + [(strip_param_sets(u[0]), u[1], False, False, True) for u in REFRESH_CLIP[5:11]],
     {6: "request_idr"}),
])
def test_request_and_reset_cadence(kwargs, units, expected):
    dec = codec.H264Decoder(**kwargs)
    seen = {}
    for i, unit in enumerate(units, 1):
        decode_unit(dec, as_unit(unit, i))
        assert dec.signal() == dec.signal()
        signal = dec.take_signal()
        assert dec.take_signal() is None
        if signal is not None:
            seen[i] = signal
    assert seen == expected
    stats = dec.stats()
    assert stats["sync"]["idr_requests"] == list(expected.values()).count("request_idr")
    assert stats["resets"] == stats["sync"]["resets"] == list(expected.values()).count("reset")


def idr_unit(width, height, t_us):
    enc = codec.H264Encoder(width, height, backend="x264")
    (unit,) = enc.encode(bytes(width * height * 3 // 2), t_us)
    return unit[:5]


@pytest.mark.parametrize("kwargs,big", [
    ({"max_pixels": 64 * 48 - 1}, lambda: IDR_CLIP[0]),
    ({}, lambda: idr_unit(4096, 2306, 0)),  # two rows above the 4096x2304 of the default cap
])
def test_pictures_above_max_pixels_are_refused(kwargs, big):
    dec = codec.H264Decoder(**kwargs)
    with pytest.raises(codec.MediaError) as err:
        decode_unit(dec, big())
    assert str(err.value) == "ffmpeg: Invalid data found when processing input"
    stats = dec.stats()
    assert (stats["errors"], stats["resets"], stats["images"], dec.state) == (1, 1, 0, "waiting")
    # Still usable: the next IDR within the cap decodes.
    (img,) = decode_unit(dec, idr_unit(48, 32, 7))
    assert (img.width, img.height, img.t_us, dec.state) == (48, 32, 7, "streaming")


@pytest.mark.parametrize("max_pixels", [64 * 48, 2 ** 64 - 1])
def test_pictures_up_to_max_pixels_decode(max_pixels):
    dec = codec.H264Decoder(max_pixels=max_pixels)
    assert len(decode_unit(dec, IDR_CLIP[0])) == 1


def test_failed_allocations_leak_nothing():
    testcapi = pytest.importorskip("_testcapi")
    dec = codec.H264Decoder()
    calls = (dec.stats, lambda: decode_unit(dec, IDR_CLIP[0]))

    def fail_each_allocation_in_turn():
        for call in calls:
            for n in range(40):
                testcapi.set_nomemory(n, n + 1)
                try:
                    call()
                except MemoryError:
                    pass
                finally:
                    testcapi.remove_mem_hooks()

    fail_each_allocation_in_turn()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(5):
        fail_each_allocation_in_turn()
    gc.collect()
    assert sys.getallocatedblocks() - before < 10


def test_parameter_sets_alone_are_kept_not_fed():
    enc = codec.H264Encoder(64, 48, intra_refresh=False, keyframe_interval=1000)
    pattern = codec.TestPattern(64, 48)
    units = [u for n in range(30) for u in enc.encode(pattern.next(n), n)]
    dec = codec.H264Decoder()
    got = [len(dec.decode(*u[:5])) for u in units[:3]]
    assert dec.decode(dec.param_sets(), 99, False, True, False) == []
    got += [len(dec.decode(*u[:5])) for u in units[3:]]
    assert got == [1] * 30 and dec.state == "streaming"
    stats = dec.stats()
    assert (stats["errors"], stats["resets"], stats["fed"]) == (0, 0, 30)


def test_flush_in_mid_stream_starts_over():
    dec = codec.H264Decoder(stuck_frames=5)
    for unit in IDR_CLIP[:3]:
        decode_unit(dec, unit)
    assert dec.flush() == [] and dec.state == "waiting"
    signals = []
    for unit in IDR_CLIP[3:8]:
        assert decode_unit(dec, unit) == []
        signals.append(dec.take_signal())
    assert signals == [None] * 4 + ["request_idr"]
    assert dec.stats()["resets"] == 0
    assert len(decode_unit(dec, IDR_CLIP[8])) == 1 and dec.state == "streaming"


def test_flush_on_fresh_decoder_then_decode():
    dec = codec.H264Decoder()
    assert dec.flush() == []
    assert dec.flush() == []
    assert len(decode_unit(dec, IDR_CLIP[0])) == 1


@pytest.mark.parametrize("call,exc", [
    (lambda d: d.decode(bytearray(P_FRAME)), TypeError),
    (lambda d: d.decode(memoryview(P_FRAME)), TypeError),
    (lambda d: d.decode(P_FRAME, 2 ** 63), OverflowError),
    (lambda d: d.decode(P_FRAME, key=1), TypeError),
    (lambda d: d.decode(P_FRAME, recovery=None), TypeError),
    (lambda d: d.decode(P_FRAME, 0, False, False, False, 1), TypeError),
    (lambda d: d.decode(P_FRAME, complete=None), TypeError),
    (lambda d: d.decode(P_FRAME, 0, False, False, False, True, 1), TypeError),
    (lambda d: d.decode(), TypeError),
    (lambda d: d.flush(1), TypeError),
    (lambda d: codec.H264Decoder(stuck_frames=-1), OverflowError),
    (lambda d: codec.H264Decoder(wedged_frames=2 ** 32), OverflowError),
    (lambda d: codec.H264Decoder(output_corrupt="yes"), TypeError),
    (lambda d: codec.H264Decoder(request_idr_on_loss=1), TypeError),
    (lambda d: codec.H264Decoder(1), TypeError),
    (lambda d: codec.H264Decoder(stuck=1), TypeError),
    (lambda d: codec.H264Decoder(max_pixels=-1), OverflowError),
    (lambda d: codec.H264Decoder(max_pixels=2 ** 64), OverflowError),
    (lambda d: codec.H264Decoder(max_pixels=1.0), TypeError),
])
def test_argument_errors(call, exc):
    with pytest.raises(exc):
        call(codec.H264Decoder())


def test_bytes_subclass_and_keywords():
    class Payload(bytes):
        pass

    dec = codec.H264Decoder(True, 10, 150, 60, True)
    data, t_us, key, config, recovery = IDR_CLIP[0]
    images = dec.decode(data=Payload(data), t_us=t_us, key=key, config=config,
                        recovery=recovery)
    assert len(images) == 1


def test_closed_decoder():
    dec = codec.H264Decoder()
    decode_unit(dec, IDR_CLIP[0])
    assert dec.close() is None
    for call in (lambda: dec.decode(P_FRAME), dec.flush):
        with pytest.raises(codec.MediaError) as err:
            call()
        assert err.value.args == ("decoder closed",)
    assert dec.state == "closed" and dec.stats() == {"state": "closed"}
    assert dec.take_signal() is None and dec.signal() is None and dec.param_sets() is None
    assert dec.close() is None


def test_threads_share_one_decoder():
    dec = codec.H264Decoder()
    errors = []

    def feed():
        try:
            for _ in range(200):
                dec.decode(P_FRAME, 1)
                dec.stats()
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=feed) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert dec.stats()["sync"]["dropped"] == 800


@pytest.mark.parametrize("width,height", [(256, 64), (320, 240), (18, 16)])
def test_decoded_planes_are_packed_and_outlive_picture_decoder_and_close(width, height):
    """256 wide shares libavcodec's frame, 320x240 and 18x16 are copied into recycled storage:
    either way the planes are tightly packed and stay bit-exact while later pictures are
    decoded and after the picture, the decoder and `close()` are gone."""
    enc = codec.H264Encoder(width, height, backend="x264", intra_refresh=False)
    cols, rows = np.meshgrid(np.arange(width), np.arange(height))
    cw, ch = (width + 1) // 2, (height + 1) // 2
    dec = codec.H264Decoder()
    held = None
    for n in range(60):
        y = ((cols * 3 + rows + n * 5) % 220 + 16).astype(np.uint8)
        planes = (y, np.full((ch, cw), 100 + n, np.uint8), np.full((ch, cw), 150, np.uint8))
        for data, t_us, key, config, recovery, _ in enc.encode(planes, n):
            images = dec.decode(data, t_us, key, config, recovery)
            if held is None and images:
                held = images[0]
    assert held is not None
    views = [np.asarray(p) for p in held.planes()]
    for view, shape in zip(views, [(height, width), (ch, cw), (ch, cw)]):
        assert view.shape == shape and view.strides == (shape[1], 1)
        assert view.flags.c_contiguous and not view.flags.writeable
    expected = [v.copy() for v in views]
    assert codec.buffer_address(held.y) == views[0].ctypes.data
    dec.close()
    del held, dec, images
    gc.collect()
    assert all(np.array_equal(v, e) for v, e in zip(views, expected))
