"""Pictures, pixel formats and byte buffers read from Python arguments: psnr, buffer_address, the
formats taken, and buffers released on every path."""

import array
import functools
import math

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import talmiro_sdk_video._codec as codec

U8_REFUSED = "BufferError: buffer contents are not compatible with u8"


@functools.lru_cache(maxsize=None)
def _encoder(width, height, pixel_format):
    return codec.H264Encoder(width, height, backend="x264", pixel_format=pixel_format)


def encoder(width=640, height=480, pixel_format="i420"):
    return _encoder(width, height, pixel_format)


def frame(width, height):
    return codec.TestPattern(width, height).frame(0)


def u8(*shape):
    return np.zeros(shape, np.uint8)


def padded(rows, cols, stride):
    """A 2-D view of `rows` rows of `cols` bytes, `stride` bytes apart."""
    return np.zeros((rows, stride), np.uint8)[:, :cols]


# ---- psnr ----

@pytest.mark.parametrize("a,b,expected", [
    (b"\x00", b"\xff", 0.0),
    (bytes(range(100)), bytes(range(1, 101)), 48.1308036),
    (bytes(100), bytes(50) + b"\x01" * 50, 51.1411036),
    (np.arange(4096, dtype=np.uint8), np.arange(4096, dtype=np.uint8), math.inf),
    (b"", b"", None),
    (bytes(10), bytes(11), None),
])
def test_psnr_values(a, b, expected):
    result = codec.psnr(a, b)
    if expected is None:
        assert result is None
    else:
        assert result == pytest.approx(expected, abs=5e-8)
        assert codec.psnr(b=b, a=a) == result


def test_psnr_counts_every_byte_whatever_the_shape():
    rng = np.random.default_rng(7)
    a = rng.integers(0, 256, (48, 64), dtype=np.uint8)
    b = rng.integers(0, 256, (48, 64), dtype=np.uint8)
    flat = codec.psnr(a.ravel(), b.ravel().tobytes())
    assert codec.psnr(a, b) == flat
    assert codec.psnr(memoryview(a.tobytes()).cast("B", (64, 48)), b) == flat
    # A differing last byte counts.
    c = a.copy()
    c[-1, -1] ^= 1
    assert codec.psnr(a, c) == pytest.approx(10 * math.log10(65025 * a.size))


@pytest.mark.parametrize("a,b", [
    (u8(8, 8)[:, ::2], u8(8, 4)),
    (u8(32), u8(64)[::2]),
    (u8(8, 8).T[:4], u8(4, 8)),
])
def test_psnr_needs_contiguous_buffers(a, b):
    with pytest.raises(ValueError, match=r"^psnr: buffers must be contiguous$"):
        codec.psnr(a, b)


@pytest.mark.parametrize("a,b,exc,text", [
    (np.zeros(4, np.int16), b"1234", BufferError, "buffer contents are not compatible with u8"),
    (b"1234", array.array("b", b"1234"), BufferError, "buffer contents are not compatible with u8"),
    (b"1234", np.zeros(4, np.float32), BufferError, "buffer contents are not compatible with u8"),
    (np.uint8(3), b"1", BufferError, "shape is null"),
    (object(), b"1", TypeError, None),
    (b"1", "1", TypeError, None),
])
def test_psnr_acquisition_errors_are_raised_unchanged(a, b, exc, text):
    with pytest.raises(exc) as info:
        codec.psnr(a, b)
    if text is not None:
        assert str(info.value) == text


def test_u8_formats():
    raw = b"\x01\x02\x03\x04"
    for ok in (raw, bytearray(raw), memoryview(raw).cast("c"), memoryview(raw).cast("@B"),
               np.frombuffer(raw, np.uint8)):
        assert codec.psnr(ok, raw) == math.inf
    for refused in (memoryview(raw).cast("b"), memoryview(raw).cast("@b"),
                    memoryview(raw).cast("H"), memoryview(raw).cast("?")):
        with pytest.raises(BufferError, match="not compatible with u8"):
            codec.psnr(refused, raw)


def test_functions_release_their_buffers_on_every_path():
    held = bytearray(16)
    codec.psnr(held, bytes(16))
    with pytest.raises(BufferError):
        codec.psnr(held, np.zeros(16, np.int16))
    with pytest.raises(ValueError):
        codec.psnr(held, u8(32)[::2])
    codec.buffer_address(held)
    held.extend(b"x")  # a bytearray cannot resize while a buffer is exported


# ---- buffer_address ----

@pytest.mark.parametrize("arr", [u8(480, 640), u8(720, 640)[100:], u8(48, 64)[:, 8:],
                                 np.arange(100, dtype=np.uint8)[::-3]])
def test_buffer_address_is_the_first_byte(arr):
    assert codec.buffer_address(arr) == arr.ctypes.data
    assert codec.buffer_address(obj=arr) == arr.ctypes.data


def test_buffer_address_errors():
    with pytest.raises(BufferError, match="^buffer contents are not compatible with u8$"):
        codec.buffer_address(np.zeros(3, np.int32))
    with pytest.raises(TypeError):
        codec.buffer_address(3)


def test_buffer_address_of_image_planes():
    img = frame(64, 48)
    whole = np.frombuffer(img.y, np.uint8)
    assert codec.buffer_address(img.y) == whole.ctypes.data == np.asarray(img.y).ctypes.data
    # The U and V views sit in the image's own memory, distinct from Y.
    assert len({codec.buffer_address(p) for p in img.planes()}) == 3


# ---- pixel_format ----

def constructors():
    return [pytest.param(lambda fmt: codec.TestPattern(64, 48, pixel_format=fmt), id="pattern"),
            pytest.param(lambda fmt: _encoder(64, 48, fmt), id="encoder")]


@pytest.mark.parametrize("make", constructors())
@pytest.mark.parametrize("text", ["NV12", "YUV420P", "i420", "nv12", "Yuv420p"])
def test_pixel_format_accepted(make, text):
    make(text)


@pytest.mark.parametrize("make", constructors())
@pytest.mark.parametrize("text,quoted", [
    ("nv21", '"nv21"'), ("yuv444", '"yuv444"'), ("", '""'), ("I420 ", '"I420 "'),
    ('a"b\\c', r'"a\"b\\c"'), ("x\n\r\t\0y", r'"x\n\r\t\0y"'), ("\x07é", r'"\u{7}é"'),
])
def test_pixel_format_refused(make, text, quoted):
    with pytest.raises(ValueError) as info:
        make(text)
    assert str(info.value) == ("pixel_format must be i420, nv12, rgb24, bgr24, rgba or bgra, got "
                               + quoted)


# ---- pictures through H264Encoder.encode ----

def accepted_cases():
    y, u, v, uv = u8(480, 640), u8(240, 320), u8(240, 320), u8(240, 640)
    return [
        ("i420", u8(720, 640)),
        ("i420", u8(460800)),
        ("i420", bytes(460800)),
        ("nv12", u8(720, 640)),
        ("i420", (y, u, v)),
        ("i420", [y, u, v]),
        ("rgb24", (y.ravel(), u.ravel(), v.ravel())),
        ("i420", (y, uv)),
        ("i420", (padded(480, 640, 704), padded(240, 320, 384), v)),
        ("i420", (u8(500, 700), u8(250, 330), u8(241, 321))),
        ("rgb24", u8(480, 640, 3)),
        ("rgb24", u8(500, 700, 3)),
        ("rgb24", as_strided(u8(480 * 2048), (480, 640, 3), (2048, 3, 1))),
        ("rgb24", u8(480, 1920)),
        ("rgb24", u8(921600)),
        ("bgra", u8(480, 640, 4)),
        ("rgba", padded(480, 2560, 3000)),
    ]


@pytest.mark.parametrize("fmt,image", accepted_cases())
def test_pictures_accepted(fmt, image):
    enc = encoder(pixel_format=fmt)
    assert isinstance(enc.encode(image, 1000), list)


@pytest.mark.parametrize("fmt", ["i420", "nv12", "rgb24"])
def test_image_argument_is_read_as_i420(fmt):
    enc = encoder(64, 48, fmt)
    assert isinstance(enc.encode(frame(64, 48), 0), list)


def test_image_of_another_size():
    enc = encoder()
    with pytest.raises(codec.MediaError) as info:
        enc.encode(frame(320, 240), 0)
    assert str(info.value) == "bad image: picture 320x240 for a 640x480 encoder"


def refused_cases():
    y, u, v = u8(480, 640), u8(240, 320), u8(240, 320)
    i16 = np.zeros((480, 640), np.int16)
    cases = [
        ("i420", u8(460799), ValueError,
         "image: 460799 bytes for a 640x480 i420 picture (need 460800); shape [460799]"),
        ("nv12", u8(721, 640), ValueError,
         "image: 461440 bytes for a 640x480 nv12 picture (need 460800); shape [721, 640]"),
        ("i420", np.asfortranarray(u8(720, 640)), ValueError,
         "image: packed buffer must be C-contiguous (use np.ascontiguousarray), "
         "or pass the planes as a tuple"),
        ("i420", i16, TypeError,
         "image: not a uint8 buffer, an Image, or a tuple of planes (" + U8_REFUSED + ")"),
        ("i420", (y,), TypeError, "image planes: expected (y, u, v) or (y, uv), got 1 items"),
        ("i420", [y, u, v, v], TypeError,
         "image planes: expected (y, u, v) or (y, uv), got 4 items"),
        ("i420", (i16, u, v), TypeError, "y plane: not a uint8 buffer (" + U8_REFUSED + ")"),
        ("i420", (y, u, v[:, :, None].repeat(2, 2)), ValueError,
         "v plane: expected a 1-D or 2-D uint8 buffer, got 3 dimensions"),
        ("i420", (as_strided(u8(310000), (480, 640), (640, 2)), u, v), ValueError,
         "y plane: 2-D buffer needs unit column stride and positive row stride "
         "(use np.ascontiguousarray), got strides [640, 2]"),
        ("i420", (y[::-1], u, v), ValueError,
         "y plane: 2-D buffer needs unit column stride and positive row stride "
         "(use np.ascontiguousarray), got strides [-640, 1]"),
        ("i420", (u8(479, 640), u, v), ValueError,
         "y plane: shape [479, 640] smaller than the 480x640 plane"),
        ("i420", (y, u8(240, 319), v), ValueError,
         "u plane: shape [240, 319] smaller than the 240x320 plane"),
        ("i420", (y, u8(76799), v), ValueError, "u plane: 76799 bytes, need 76800"),
        ("i420", (y, u, u8(153600)[::2]), ValueError,
         "v plane: 1-D buffer must be contiguous (use np.ascontiguousarray)"),
        ("i420", (y, u8(240, 639)), ValueError,
         "uv plane: shape [240, 639] smaller than the 240x640 plane"),
        ("i420", (y, object()), TypeError, "uv plane: not a uint8 buffer (TypeError: "),
        ("rgb24", i16, TypeError, "image: not a uint8 buffer (" + U8_REFUSED + ")"),
        ("rgb24", u8(480, 640, 4), ValueError,
         "rgb24 image: shape [480, 640, 4], need (480, 640, 3)"),
        ("bgr24", u8(479, 640, 3), ValueError,
         "bgr24 image: shape [479, 640, 3], need (480, 640, 3)"),
        ("rgb24", u8(480, 1280, 3)[:, ::2], ValueError,
         "rgb24 image: pixels must be contiguous (strides [3840, 6, 1]; use np.ascontiguousarray)"),
        ("rgb24", u8(480, 640, 3)[::-1], ValueError,
         "rgb24 image: pixels must be contiguous (strides [-1920, 3, 1]; use np.ascontiguousarray)"),
        ("rgb24", np.asfortranarray(u8(480, 640, 3)), ValueError,
         "rgb24 image: pixels must be contiguous (strides [1, 480, 307200]; "
         "use np.ascontiguousarray)"),
        ("bgra", u8(1228799), ValueError, "bgra image: 1228799 bytes, need 1228800"),
        ("rgb24", u8(1843200)[::2], ValueError,
         "rgb24 image: 1-D buffer must be contiguous (use np.ascontiguousarray)"),
        ("rgb24", u8(480, 1919), ValueError,
         "rgb24 image: shape [480, 1919] smaller than the 480x1920 plane"),
        ("rgb24", u8(2, 480, 640, 3), ValueError,
         "rgb24 image: expected a 1-D or 2-D uint8 buffer, got 4 dimensions"),
    ]
    return [pytest.param(*c, id=f"{i}-{c[0]}") for i, c in enumerate(cases)]


@pytest.mark.parametrize("fmt,image,exc,text", refused_cases())
def test_pictures_refused(fmt, image, exc, text):
    enc = encoder(pixel_format=fmt)
    with pytest.raises(exc) as info:
        enc.encode(image, 0)
    if text.endswith("(TypeError: "):
        assert str(info.value).startswith(text)
    else:
        assert str(info.value) == text


@pytest.mark.parametrize("fmt,y", [
    ("i420", as_strided(u8(480 * 640), (480, 640), (320, 1))),
    ("i420", as_strided(u8(480 * 700), (480, 700), (639, 1))),
])
def test_overlapping_rows_pass_here_and_fail_the_fit_check(fmt, y):
    enc = encoder(pixel_format=fmt)
    with pytest.raises(codec.MediaError) as info:
        enc.encode((y, u8(240, 320), u8(240, 320)), 0)
    assert str(info.value) == "bad image: plane shorter than rows x stride"


def test_buffers_are_released_after_encode_and_on_errors():
    enc = encoder()
    y, u, v = bytearray(307200), bytearray(76800), bytearray(76800)
    enc.encode((y, u, v), 0)
    with pytest.raises(ValueError):
        enc.encode((y, u, bytearray(10)), 0)
    with pytest.raises(TypeError):
        enc.encode([y, u, v, v], 0)
    packed = bytearray(460800)
    enc.encode(packed, 0)
    with pytest.raises(codec.MediaError):
        enc.encode((y, as_strided(u8(76800), (240, 320), (100, 1)), v), 0)
    for held in (y, u, v, packed):
        held.extend(b"x")  # refused while a buffer export is still alive


def test_indirect_buffers_are_refused():
    # An array of row pointers (PIL style): the pointers must never be read as pixels.
    testbuffer = pytest.importorskip("_testbuffer")
    rows = testbuffer.ndarray([7] * 64, shape=[8, 8], format="B", flags=testbuffer.ND_PIL)
    enc = encoder(16, 16)
    for u, err in ((rows, "ndarray cannot be represented without suboffsets"),
                   (memoryview(rows), "memoryview: underlying buffer requires suboffsets")):
        with pytest.raises(TypeError) as info:
            enc.encode((u8(16, 16), u, u8(8, 8)), 0)
        assert str(info.value) == f"u plane: not a uint8 buffer (BufferError: {err})"
    with pytest.raises(BufferError):
        codec.buffer_address(rows)
    assert enc.stats()["frames_in"] == 0
