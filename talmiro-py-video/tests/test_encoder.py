"""H264Encoder through the module: arguments and refusals, backends, pixel formats, access-unit
tuples, IDR requests and bitrate changes, parameter sets, stats and flushing."""

import inspect
import sys
import threading
import time

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import talmiro_sdk_video._codec as codec

W, H = 64, 48
CW, CH = W // 2, H // 2
COUNTERS = ["frames_in", "frames_out", "bytes", "idr", "recovery", "reinserted", "forced_idr",
            "bitrate_changes", "converted", "convert_us", "encode_us"]


def x264(width=W, height=H, **kw):
    return codec.H264Encoder(width, height, backend="x264", **kw)


def picture(n, width=W, height=H):
    """Planes of a smooth moving picture, frame `n`: what a camera would give, cheap to code."""
    cols, rows = np.meshgrid(np.arange(width), np.arange(height))
    y = ((cols * 3 + rows * 2 + n * 5) % 220 + 16).astype(np.uint8)
    cr, cc = rows[::2, ::2], cols[::2, ::2]
    u = ((cc + n * 3) % 200 + 28).astype(np.uint8)
    v = ((cr * 2 + n) % 200 + 28).astype(np.uint8)
    return y, u, v


def rgb_picture(n, width=W, height=H):
    cols, rows = np.meshgrid(np.arange(width), np.arange(height))
    return np.stack([(cols * 4 + n * 7) % 256, (rows * 5 + n) % 256,
                     (cols + rows + n * 3) % 256], axis=2).astype(np.uint8)


def packed_i420(n):
    return np.concatenate([p.ravel() for p in picture(n)])


def without_clock(units):
    """The access units without `encoded_us`, which is the only field allowed to differ."""
    return [u[:5] for u in units]


def encode_all(enc, pictures):
    return [without_clock(enc.encode(p, 1000 * i)) for i, p in enumerate(pictures)]


def pattern_image(n):
    return codec.TestPattern(W, H).frame(n, capture_us=1000 * n)


# ---- construction ----

def test_signatures():
    assert str(inspect.signature(codec.H264Encoder)) == (
        "(width, height, fps=30, bitrate_kbps=2000, intra_refresh=True, keyframe_interval=0, "
        "backend='auto', pixel_format='i420', preset=None, tune=None)")
    enc = x264()
    expected = {"encode": "(image, capture_us, force_idr=False)", "flush": "()", "close": "()",
                "request_idr": "()", "set_bitrate_kbps": "(kbps)", "param_sets": "()",
                "stats": "()", "timings": "()"}
    for name, sig in expected.items():
        assert str(inspect.signature(getattr(enc, name))) == sig
    assert codec.H264Encoder.__doc__.startswith("`talmiro_media::H264Encoder` for Python.")
    with pytest.raises(TypeError):
        type("Sub", (codec.H264Encoder,), {})


@pytest.mark.parametrize("args,kwargs,exc,text", [
    ((), {}, TypeError, "missing required argument 'width'"),
    ((W,), {}, TypeError, "missing required argument 'height'"),
    ((W, H), {"heigth": 3}, TypeError, "unexpected keyword argument 'heigth'"),
    ((W, H, 30, 2000, True, 0, "x264", "i420", None, None, 1), {}, TypeError, "at most 10"),
    ((W, H), {"width": W}, TypeError, "given by name ('width') and position"),
    (("64", H), {}, TypeError, "argument 'width' must be int"),
    ((W, 48.0), {}, TypeError, "argument 'height' must be int"),
    ((W, H), {"intra_refresh": 1}, TypeError, "argument 'intra_refresh' must be bool"),
    ((W, H), {"intra_refresh": None}, TypeError, "argument 'intra_refresh' must be bool"),
    ((W, H), {"backend": b"x264"}, TypeError, "argument 'backend' must be str"),
    ((W, H), {"pixel_format": None}, TypeError, "argument 'pixel_format' must be str"),
    ((W, H), {"preset": 1}, TypeError, "argument 'preset' must be str or None"),
    ((W, H), {"tune": b"film"}, TypeError, "argument 'tune' must be str or None"),
    ((2**32, H), {}, OverflowError, "'width' out of range for unsigned 32-bit"),
    ((W, H), {"fps": -1}, OverflowError, "'fps' out of range"),
    ((W, H), {"bitrate_kbps": 2**32}, OverflowError, "'bitrate_kbps' out of range"),
    ((W, H), {"keyframe_interval": 2**64}, OverflowError, "'keyframe_interval' out of range"),
    ((W, H), {"tune": "\udc80"}, UnicodeEncodeError, "surrogates not allowed"),
])
def test_constructor_argument_errors(args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        codec.H264Encoder(*args, **kwargs)
    assert text in str(info.value)


@pytest.mark.parametrize("kwargs,text", [
    ({"width": 15}, "unsupported: picture size 15x48 (need even, >= 16)"),
    ({"height": 14}, "unsupported: picture size 64x14 (need even, >= 16)"),
    ({"fps": 0, "bitrate_kbps": 0}, "unsupported: fps 0"),
    ({"bitrate_kbps": 0}, "unsupported: bitrate 0"),
    ({"preset": "no-such-preset"}, "ffmpeg: Invalid argument"),
])
def test_open_failures_are_media_errors(kwargs, text):
    args = {"width": W, "height": H, "backend": "x264", **kwargs}
    with pytest.raises(codec.MediaError) as info:
        codec.H264Encoder(**args)
    assert str(info.value) == text


def test_defaults_and_every_argument_by_keyword():
    enc = codec.H264Encoder(height=H, width=W)
    assert (enc.fps, enc.bitrate_kbps, enc.intra_refresh, enc.gop) == (30, 2000, True, 30)
    assert enc.backend in ("x264", "nvenc") and enc.pixel_format == "i420"
    enc = codec.H264Encoder(width=W, height=H, fps=25, bitrate_kbps=800,
                            intra_refresh=np.bool_(False), keyframe_interval=90, backend="x264",
                            pixel_format="nv12", preset="veryfast", tune="ultra\0fast")
    assert (enc.width, enc.height, enc.fps, enc.bitrate_kbps) == (W, H, 25, 800)
    assert (enc.intra_refresh, enc.gop, enc.backend, enc.pixel_format) == (False, 90, "x264",
                                                                           "nv12")


@pytest.mark.parametrize("name", ["x264", "X264", "libx264", "LibX264", "LIBX264"])
def test_x264_names(name):
    assert codec.H264Encoder(W, H, backend=name).backend == "x264"


@pytest.mark.parametrize("name", ["nvenc", "NVENC", "h264_nvenc", "H264_NvEnc", "auto", "AUTO"])
def test_other_backend_names_are_accepted(name):
    # Without a usable GPU nvenc fails to open, which is a codec error, not a bad name.
    try:
        assert codec.H264Encoder(W, H, backend=name).backend in ("x264", "nvenc")
    except codec.MediaError as e:
        assert "nvenc" in name.lower() and str(e).startswith("ffmpeg: ")


@pytest.mark.parametrize("name,quoted", [
    ("x265", '"x265"'), ("", '""'), (" x264", '" x264"'), ("x264\n", r'"x264\n"'),
    ('nv"enc\\', r'"nv\"enc\\"'), ("\x1bauto", r'"\u{1b}auto"'), ("ﬀ", '"ﬀ"'),
    ("x\udc80", r'"x\u{dc80}"'),
])
def test_unknown_backend(name, quoted):
    with pytest.raises(ValueError) as info:
        codec.H264Encoder(W, H, backend=name)
    assert str(info.value) == "backend must be auto, x264 or nvenc, got " + quoted


@pytest.mark.parametrize("fmt,size", [("i420", 460800), ("yuv420p", 460800), ("nv12", 460800),
                                      ("rgb24", 921600), ("BGR24", 921600), ("rgba", 1228800),
                                      ("bgra", 1228800)])
def test_frame_size_and_pixel_format(fmt, size):
    enc = codec.H264Encoder(640, 480, backend="x264", pixel_format=fmt)
    assert enc.frame_size == size
    assert enc.pixel_format == {"yuv420p": "i420"}.get(fmt, fmt.lower())
    assert enc.stats()["pixel_format"] == enc.pixel_format


def test_frame_size_rounds_chroma_up():
    assert x264(18, 16).frame_size == 18 * 16 + 2 * 9 * 8


# ---- encoding ----

def test_access_unit_tuples():
    enc = x264()
    assert enc.param_sets() is None
    (data, t_us, key, config, recovery, encoded_us), = enc.encode(packed_i420(0), -5)
    assert type(data) is bytes and data.startswith((b"\0\0\0\1", b"\0\0\1"))
    assert (t_us, key, config, recovery) == (-5, True, True, False)
    assert type(encoded_us) is int and encoded_us > 0
    sets = enc.param_sets()
    assert type(sets) is bytes and sets in data
    units = enc.encode(packed_i420(1), 2**63 - 1)
    assert [u[1:5] for u in units] == [(2**63 - 1, False, False, False)]
    assert units[0][5] >= encoded_us
    s = enc.stats()
    assert list(s) == COUNTERS + ["idr_requests", "backend", "pixel_format"]
    assert (s["frames_in"], s["frames_out"], s["idr"], s["converted"]) == (2, 2, 1, 0)
    assert s["bytes"] == len(data) + len(units[0][0])
    assert enc.timings() == (s["convert_us"], s["encode_us"])


@pytest.mark.parametrize("call,exc,text", [
    (lambda e: e.encode(packed_i420(0)), TypeError, "missing required argument 'capture_us'"),
    (lambda e: e.encode(packed_i420(0), "0"), TypeError, "'capture_us' must be int"),
    (lambda e: e.encode(packed_i420(0), 2**63), OverflowError, "signed 64-bit"),
    (lambda e: e.encode(packed_i420(0), 0, 1), TypeError, "'force_idr' must be bool"),
    (lambda e: e.encode(packed_i420(0), 0, force_idr=None), TypeError, "must be bool"),
    (lambda e: e.encode(packed_i420(0), 0, False, 1), TypeError, "at most 3 arguments"),
    (lambda e: e.encode(picture=packed_i420(0), capture_us=0), TypeError, "'picture'"),
    (lambda e: e.set_bitrate_kbps(0), ValueError, "bitrate must be > 0"),
    (lambda e: e.set_bitrate_kbps(-1), OverflowError, "'kbps' out of range"),
    (lambda e: e.set_bitrate_kbps(2**32), OverflowError, "unsigned 32-bit"),
    (lambda e: e.set_bitrate_kbps(2147484), ValueError, "bitrate must be <= 2147483 kbps"),
    (lambda e: e.set_bitrate_kbps(2**32 - 1), ValueError, "bitrate must be <= 2147483 kbps"),
    (lambda e: e.set_bitrate_kbps(), TypeError, "missing required argument 'kbps'"),
    (lambda e: e.request_idr(1), TypeError, "at most 0 arguments"),
    (lambda e: e.stats(x=1), TypeError, "unexpected keyword argument 'x'"),
])
def test_method_argument_errors_change_nothing(call, exc, text):
    enc = x264()
    with pytest.raises(exc) as info:
        call(enc)
    assert text in str(info.value)
    assert all(enc.stats()[k] == 0 for k in COUNTERS) and enc.idr_requests == 0
    assert enc.set_bitrate_kbps(kbps=1) is None  # still usable


def test_idr_requests_force_idr_and_bitrate():
    enc = x264(intra_refresh=False, keyframe_interval=1000)
    enc.encode(packed_i420(0), 0)
    enc.request_idr()
    enc.request_idr()
    assert enc.idr_requests == 2
    enc.set_bitrate_kbps(1000)
    enc.set_bitrate_kbps(kbps=500)
    keys = [u[2] for n in range(1, 4) for u in enc.encode(packed_i420(n), n)]
    assert keys == [True, False, False]
    (unit,) = enc.encode(packed_i420(4), 4, force_idr=np.bool_(True))
    assert unit[2] and enc.encode(packed_i420(5), 5, True)[0][2]
    s = enc.stats()
    assert (s["forced_idr"], s["idr_requests"], s["bitrate_changes"]) == (3, 2, 1)
    assert enc.bitrate_kbps == 2000 and enc.idr_requests == 2


def test_bitrate_changes_take_effect_quietly(capfd):
    # Noise keeps every picture at the rate limit, so the sizes follow the bitrate.
    codec.set_ffmpeg_log_level("warning")
    enc = x264(160, 120, bitrate_kbps=3000, intra_refresh=False, keyframe_interval=1000)
    rng = np.random.default_rng(1)

    def sizes(frames):
        return [sum(len(u[0]) for u in enc.encode(rng.integers(0, 256, 28800, np.uint8), n))
                for n in range(frames)]

    sizes(4)
    capfd.readouterr()
    enc.set_bitrate_kbps(100)
    assert max(sizes(8)[4:]) < 1000
    enc.set_bitrate_kbps(2147483)  # the largest bitrate libavcodec can hold
    assert min(sizes(8)[4:]) > 4000
    enc.set_bitrate_kbps(3000)
    sizes(2)
    with pytest.raises(ValueError):
        enc.set_bitrate_kbps(2**32 - 1)  # refused before it is stored
    sizes(1)
    assert capfd.readouterr().err == ""
    assert enc.stats()["bitrate_changes"] == 3


def test_flush_ends_the_stream():
    enc = x264()
    assert enc.flush() == []
    with pytest.raises(codec.MediaError, match=r"^ffmpeg: End of file$"):
        enc.encode(packed_i420(0), 0)
    with pytest.raises(codec.MediaError, match=r"^ffmpeg: End of file$"):
        enc.flush()
    assert enc.stats()["frames_in"] == 1
    # An error leaves the encoder open: it still answers with its counters.
    assert enc.param_sets() is None and enc.timings()[0] == 0


def test_encode_errors_from_the_core():
    enc = x264()
    y, u, v = picture(0)
    enc.encode((y, u, v), 0)
    with pytest.raises(codec.MediaError) as info:
        enc.encode((as_strided(y, (H, W), (W - 1, 1)), u, v), 0)
    assert str(info.value) == "bad image: plane shorter than rows x stride"
    assert enc.stats()["frames_in"] == 1
    assert len(enc.encode((y, u, v), 1)) == 1


def test_a_refused_picture_leaves_the_idr_request_pending():
    enc = x264(pixel_format="rgb24", intra_refresh=False, keyframe_interval=1000)
    enc.encode(rgb_picture(0), 0)
    enc.request_idr()
    # Refused by the conversion, after the request was looked at; the rows are never read.
    huge_rows = as_strided(rgb_picture(1), (H, W * 3), (2**31, 1))
    with pytest.raises(codec.MediaError, match="row stride 2147483648 too large"):
        enc.encode(huge_rows, 1)
    ((_, _, key, *_),) = enc.encode(rgb_picture(2), 2)
    assert key and enc.stats()["forced_idr"] == 1


# ---- one picture, every accepted form ----

def i420_forms(n):
    y, u, v = picture(n)
    packed = np.concatenate([y.ravel(), u.ravel(), v.ravel()])
    uv = np.stack([u, v], axis=2).reshape(CH, 2 * CW)
    wide_y = np.zeros((H + 3, W + 40), np.uint8)
    wide_y[:H, :W] = y
    return {
        "array (h*3/2, w)": packed.reshape(H * 3 // 2, W),
        "flat": packed,
        "bytes": packed.tobytes(),
        "bytearray": bytearray(packed.tobytes()),
        "memoryview": memoryview(packed.tobytes()),
        "plane tuple": (y, u, v),
        "plane list": [y, u, v],
        "flat planes": (y.tobytes(), u.ravel(), memoryview(v.tobytes())),
        "strided y plane": (wide_y[:H, :W], u, v),
        "larger y plane": (wide_y, u, v),
        "nv12 planes": (y, uv),
        "nv12 flat planes": (y.ravel(), uv.tobytes()),
    }


def test_every_4_2_0_form_gives_the_same_stream():
    forms = [i420_forms(n) for n in range(3)]
    reference = encode_all(x264(), [f["plane tuple"] for f in forms])
    assert all(len(units) == 1 for units in reference)
    for name in forms[0]:
        assert encode_all(x264(), [f[name] for f in forms]) == reference, name


@pytest.mark.parametrize("fmt", ["i420", "nv12", "rgb24", "bgra"])
def test_tuples_decide_the_layout_whatever_the_pixel_format(fmt):
    forms = [i420_forms(n) for n in range(2)]
    reference = encode_all(x264(), [f["plane tuple"] for f in forms])
    assert encode_all(x264(pixel_format=fmt), [f["plane tuple"] for f in forms]) == reference
    assert encode_all(x264(pixel_format=fmt), [f["nv12 planes"] for f in forms]) == reference


def test_nv12_buffer_in_an_nv12_encoder():
    def nv12(n):
        y, u, v = picture(n)
        return np.concatenate([y.ravel(), np.stack([u, v], axis=2).ravel()])

    enc = x264(pixel_format="nv12")
    units = encode_all(enc, [nv12(n) for n in range(3)])
    assert units == encode_all(x264(pixel_format="nv12"), [i420_forms(n)["nv12 planes"]
                                                          for n in range(3)])
    assert enc.stats()["converted"] == 0
    # The same picture as an I420 tuple needs a chroma re-layout into the NV12 frame.
    enc.encode(i420_forms(0)["plane tuple"], 0)
    assert enc.stats()["converted"] == 1


def rgb_forms(n, bpp):
    rgb = rgb_picture(n)
    if bpp == 4:
        rgb = np.concatenate([rgb, np.full((H, W, 1), 255, np.uint8)], axis=2)
    big = np.zeros((H + 5, W + 7, bpp), np.uint8)
    big[:H, :W] = rgb
    padded = np.zeros((H, W * bpp + 24), np.uint8)
    padded[:, :W * bpp] = rgb.reshape(H, W * bpp)
    return {
        "3-D": rgb,
        "3-D larger": big,
        "3-D strided rows": big[:H, :W],
        "2-D": rgb.reshape(H, W * bpp),
        "2-D strided rows": padded[:, :W * bpp],
        "2-D padded rows": padded,
        "flat": rgb.ravel(),
        "bytes": rgb.tobytes(),
    }


@pytest.mark.parametrize("fmt,bpp", [("rgb24", 3), ("bgr24", 3), ("rgba", 4), ("bgra", 4)])
def test_every_rgb_form_gives_the_same_stream(fmt, bpp):
    forms = [rgb_forms(n, bpp) for n in range(2)]
    ref_enc = x264(pixel_format=fmt)
    reference = encode_all(ref_enc, [f["3-D"] for f in forms])
    assert ref_enc.stats()["converted"] == 2
    for name in forms[0]:
        assert encode_all(x264(pixel_format=fmt), [f[name] for f in forms]) == reference, name


def test_rgba_reads_channels_in_their_order():
    rgba = [rgb_forms(n, 4)["3-D"] for n in range(2)]
    bgra = [np.ascontiguousarray(p[:, :, [2, 1, 0, 3]]) for p in rgba]
    assert (encode_all(x264(pixel_format="rgba"), rgba)
            == encode_all(x264(pixel_format="bgra"), bgra))


def test_image_argument_gives_the_stream_of_its_bytes():
    images = [pattern_image(n) for n in range(3)]
    reference = encode_all(x264(), [img.tobytes() for img in images])
    assert encode_all(x264(), images) == reference
    assert encode_all(x264(), [img.planes() for img in images]) == reference
    # An Image is I420 whatever the encoder's pixel_format.
    assert encode_all(x264(pixel_format="rgb24"), images) == reference
    assert [u[0][1] for u in reference] == [0, 1000, 2000]


# ---- closed ----

def test_closed_encoder():
    enc = x264(pixel_format="rgb24", keyframe_interval=12)
    enc.encode(rgb_picture(0), 0)
    enc.request_idr()
    assert enc.close() is None
    assert enc.close() is None
    for call in (lambda: enc.encode(rgb_picture(1), 1), enc.flush):
        with pytest.raises(codec.MediaError) as info:
            call()
        assert str(info.value) == "encoder closed"
    s = enc.stats()
    assert [s.pop(k) for k in COUNTERS] == [0] * len(COUNTERS)
    assert s == {"idr_requests": 1, "backend": "x264", "pixel_format": "rgb24"}
    assert enc.timings() == (0, 0) and enc.param_sets() is None
    assert enc.request_idr() is None and enc.set_bitrate_kbps(300) is None
    assert enc.idr_requests == 2 and enc.stats()["idr_requests"] == 2
    assert (enc.width, enc.height, enc.fps, enc.bitrate_kbps, enc.intra_refresh, enc.gop,
            enc.backend, enc.pixel_format, enc.frame_size) == (W, H, 30, 2000, True, 12, "x264",
                                                              "rgb24", W * H * 3)


def test_picture_errors_come_before_the_closed_check():
    enc = x264()
    enc.close()
    with pytest.raises(ValueError):
        enc.encode(b"short", 0)


# ---- threads ----

def test_request_idr_from_another_thread_during_encodes():
    enc = x264(intra_refresh=False, keyframe_interval=10_000)
    frames = [packed_i420(n) for n in range(8)]
    go, requests = threading.Event(), 40

    def control():
        go.wait()
        for i in range(requests):
            enc.request_idr()
            if i % 10 == 0:
                enc.set_bitrate_kbps(500 + i)
            time.sleep(0.001)

    thread = threading.Thread(target=control)
    thread.start()
    keys = [u[2] for u in enc.encode(frames[0], 0)]
    go.set()
    n = 1
    while thread.is_alive() and n < 10_000:
        keys += [u[2] for u in enc.encode(frames[n % 8], n)]
        n += 1
    thread.join()
    keys += [u[2] for u in enc.encode(frames[0], n)]
    s = enc.stats()
    assert enc.idr_requests == requests == s["idr_requests"]
    # Requests coalesce: never more IDR pictures than requests, and at least one.
    assert keys[0] and 1 <= s["forced_idr"] <= requests
    assert sum(keys) == s["idr"] == s["forced_idr"] + 1
    assert 1 <= s["bitrate_changes"] <= 4


def test_other_threads_run_while_encoding():
    enc = x264(1920, 1080, pixel_format="rgb24")
    frame = np.random.default_rng(3).integers(0, 256, (1080, 1920, 3), dtype=np.uint8)
    count, go = [0], threading.Event()

    def spin():
        go.wait()
        for _ in range(1000):
            count[0] += 1

    # With a switch interval far longer than one encode, the woken thread can run before
    # `encode` returns only if the call gives the interpreter lock away.
    old = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    progress = []
    try:
        for n in range(3):
            count[0] = 0
            go.clear()
            thread = threading.Thread(target=spin)
            thread.start()
            go.set()
            enc.encode(frame, n)
            progress.append(count[0])
            thread.join()
    finally:
        sys.setswitchinterval(old)
    assert any(p > 0 for p in progress), progress


def test_close_and_accessors_while_another_thread_encodes():
    enc = x264(640, 480)
    frame = bytes(enc.frame_size)
    outcome = []

    def encoder_loop():
        n = 0
        try:
            while True:
                enc.encode(frame, n)
                n += 1
        except codec.MediaError as e:
            outcome.append((n, str(e)))

    thread = threading.Thread(target=encoder_loop)
    thread.start()
    while enc.stats()["frames_out"] < 5:
        enc.timings(), enc.param_sets(), enc.request_idr()
    enc.close()
    thread.join(timeout=60)
    assert not thread.is_alive()
    assert outcome[0][0] >= 5 and outcome[0][1] == "encoder closed"


# ---- the stream decodes ----

def test_stream_decodes_to_the_pictures():
    enc, dec = x264(), codec.H264Decoder()
    decoded, sent = [], {}
    for n in range(20):
        y, u, v = picture(n)
        sent[n * 1000] = y
        for data, t_us, key, config, recovery, _ in enc.encode((y, u, v), n * 1000,
                                                               force_idr=n == 10):
            decoded += dec.decode(data, t_us, key, config, recovery)
    for data, t_us, key, config, recovery, _ in enc.flush():
        decoded += dec.decode(data, t_us, key, config, recovery)
    decoded += dec.flush()
    assert [img.t_us for img in decoded] == sorted(sent)
    for img in decoded:
        assert (img.width, img.height) == (W, H)
        assert codec.psnr(img.y, sent[img.t_us]) > 30


def test_picture_overwritten_after_encode_changes_nothing_encoded():
    """A picture lent to libavcodec is read during `encode` only: one buffer overwritten as
    soon as each call returns gives the stream encoded from fresh copies, byte for byte."""
    for fmt in ("i420", "nv12"):
        lent, copied = x264(pixel_format=fmt), x264(pixel_format=fmt)
        buffer = np.empty(W * H * 3 // 2, dtype=np.uint8)
        a, b = [], []
        for n in range(12):
            y, u, v = picture(n)
            chroma = [u.ravel(), v.ravel()] if fmt == "i420" else [np.stack([u, v], 2).ravel()]
            source = np.concatenate([y.ravel(), *chroma])
            buffer[:] = source
            a += without_clock(lent.encode(buffer, n))
            buffer[:] = 0xAA
            b += without_clock(copied.encode(source.copy(), n))
        assert a + without_clock(lent.flush()) == b + without_clock(copied.flush()), fmt
