"""TestPattern through the module: refusals, formats, stamps, frame indices, planes and threads."""

import inspect
import threading

import numpy as np
import pytest

import talmiro_sdk_video._codec as codec

Pattern = codec.TestPattern
RGB_TEXT = ("TestPattern draws i420 or nv12 pictures (an Image); for an RGB source render in "
            "numpy, got ")
FORMAT_TEXT = "pixel_format must be i420, nv12, rgb24, bgr24, rgba or bgra, got "


@pytest.mark.parametrize("args,kwargs,exc,text", [
    ((1, 2), {}, ValueError, "pattern needs at least 2x2"),
    ((2, 0), {}, ValueError, "pattern needs at least 2x2"),
    # the size is checked before the format is looked at
    ((1, 1), {"pixel_format": "rgba"}, ValueError, "pattern needs at least 2x2"),
    ((0, 8), {"pixel_format": "nope"}, ValueError, "pattern needs at least 2x2"),
    ((8, 8), {"pixel_format": "nv21"}, ValueError, FORMAT_TEXT + '"nv21"'),
    ((8, 8), {"pixel_format": 'a"b\\\n\t\0\x7f'}, ValueError,
     FORMAT_TEXT + '"a\\"b\\\\\\n\\t\\0\\u{7f}"'),
    ((8, 8), {"pixel_format": "rgba"}, ValueError, RGB_TEXT + '"rgba"'),
    ((8, 8), {"pixel_format": "Rgb24"}, ValueError, RGB_TEXT + '"Rgb24"'),
    ((8, 8, 30, "BGRA"), {}, ValueError, RGB_TEXT + '"BGRA"'),
    ((8, 8), {"pixel_format": "bgr24"}, ValueError, RGB_TEXT + '"bgr24"'),
    # argument errors come first, in parameter order
    ((1, 1), {"pixel_format": b"i420"}, TypeError, "pixel_format"),
    (("8", 8), {}, TypeError, "width"),
    ((8, 2**32), {}, OverflowError, "height"),
    ((8, 8), {"speed": -1}, OverflowError, "speed"),
    ((8, 8, 2**32), {}, OverflowError, "fps"),
    ((8,), {}, TypeError, "height"),
    ((8, 8), {"colour": 1}, TypeError, "colour"),
    ((8, 8, 30, "i420", 4, 0), {}, TypeError, None),
])
def test_constructor_refusals(args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        Pattern(*args, **kwargs)
    if exc is ValueError:
        assert str(info.value) == text
    elif text:
        assert text in str(info.value)


@pytest.mark.parametrize("fmt", ["i420", "I420", "yuv420p", "YUV420P", "nv12", "NV12", "Nv12"])
def test_formats_in_any_case(fmt):
    img = Pattern(16, 8, pixel_format=fmt).frame(5)
    assert (img.width, img.height, img.format) == (16, 8, "i420")


@pytest.mark.parametrize("fps", [0, 1, 30, 2**32 - 1])
def test_fps_is_carried(fps):
    p = Pattern(width=4, height=4, fps=fps, speed=0)
    assert (p.width, p.height, p.fps, p.position) == (4, 4, fps, 0)


def test_defaults_and_signatures():
    p = Pattern(8, 6)
    assert p.fps == 30
    assert str(inspect.signature(Pattern)) == \
        "(width, height, fps=30, pixel_format='i420', speed=4)"
    assert str(inspect.signature(p.next)) == "(capture_us)"
    assert str(inspect.signature(p.frame)) == "(n, capture_us=0)"
    assert Pattern.position.__doc__ == "Index of the frame `next()` will produce."
    # i420 with speed 4 is the default
    assert p.frame(3).tobytes() == Pattern(8, 6, 30, "i420", 4).frame(3).tobytes()
    assert p.frame(3).tobytes() != Pattern(8, 6, speed=0).frame(3).tobytes()


def test_next_frame_and_position():
    p = Pattern(64, 48)
    images = [p.next(capture_us=100 + i) for i in range(3)]
    assert p.position == 3
    assert [im.t_us for im in images] == [100, 101, 102]
    assert all(im.recovering is False for im in images)
    for i, im in enumerate(images):
        assert im.tobytes() == p.frame(i, 100 + i).tobytes()
    assert p.frame(n=7).t_us == 0
    assert p.frame(7, -5).t_us == -5
    assert p.position == 3
    assert len({im.tobytes() for im in images}) == 3


@pytest.mark.parametrize("call,exc", [
    (lambda p: p.next(), TypeError),
    (lambda p: p.next(1.0), TypeError),
    (lambda p: p.next(2**63), OverflowError),
    (lambda p: p.frame(-1), OverflowError),
    (lambda p: p.frame(2**64), OverflowError),
    (lambda p: p.frame(1, capture_us=-2**63 - 1), OverflowError),
    (lambda p: p.frame(), TypeError),
])
def test_method_argument_errors(call, exc):
    p = Pattern(8, 8)
    with pytest.raises(exc):
        call(p)
    assert p.position == 0


def test_index_accepts_index_objects():
    p = Pattern(8, 8)
    assert p.frame(np.uint64(2**64 - 1)).tobytes() == p.frame(2**64 - 1).tobytes()


def test_largest_index_draws_its_counter():
    # 20 digits need a box 81 pixels wide plus the margin of 2 on each side.
    wide, narrow = Pattern(90, 48, speed=0), Pattern(82, 48, speed=0)
    top = 2**64 - 1
    y = np.asarray(wide.frame(top).y)
    assert (y[2, 2:83] == 16).all() and y[2, 83] != 16
    # the leading 1: top row lights the middle column only, the next row the left two
    assert (y[3, 3], y[3, 4], y[4, 3], y[4, 5]) == (16, 235, 235, 16)
    assert np.asarray(narrow.frame(top).y)[2, 2] != 16  # too narrow: no counter at all


def test_planes_reach_python_unswapped():
    # frame 0 at 64x48: chroma row 1 lies under luma row 2, column 4 under the yellow bar.
    for fmt in ("i420", "nv12"):
        img = Pattern(64, 48, pixel_format=fmt).frame(0)
        assert np.asarray(img.u)[1, 4] == 16 and np.asarray(img.v)[1, 4] == 146
        assert np.asarray(img.y)[20, 8] == 210


@pytest.mark.parametrize("width,height,speed", [(64, 48, 4), (33, 17, 3), (2, 2, 1), (7, 5, 0)])
def test_i420_and_nv12_give_equal_planes(width, height, speed):
    a = Pattern(width, height, pixel_format="i420", speed=speed)
    b = Pattern(width, height, pixel_format="nv12", speed=speed)
    for n in list(range(70)) + [999, 2**64 - 1]:
        fa, fb = a.frame(n, n % 997), b.frame(n, n % 997)
        assert fa.tobytes() == fb.tobytes()
        assert fb.u.shape == (height - height // 2, width - width // 2)


def test_two_threads_get_distinct_consecutive_frames():
    p = Pattern(64, 48)
    per_thread, got = 200, [[], []]
    start = threading.Barrier(2)

    def run(out):
        start.wait()
        for _ in range(per_thread):
            out.append(p.next(0).tobytes())

    threads = [threading.Thread(target=run, args=(out,)) for out in got]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert p.position == 2 * per_thread
    expected = sorted(p.frame(i).tobytes() for i in range(2 * per_thread))
    assert sorted(got[0] + got[1]) == expected


@pytest.mark.parametrize("name", ["width", "height", "fps", "position"])
def test_no_setters(name):
    p = Pattern(8, 8)
    with pytest.raises(AttributeError):
        setattr(p, name, 3)
    with pytest.raises(AttributeError):
        delattr(p, name)


def test_no_other_members_and_no_subclass():
    public = {n for n in dir(Pattern) if not n.startswith("_")}
    assert public == {"width", "height", "fps", "position", "next", "frame"}
    with pytest.raises(TypeError):
        type("Sub", (Pattern,), {})


def test_canvas_too_large_is_refused():
    p = Pattern(2**32 - 1, 2**32 - 1)
    for draw in (lambda: p.frame(0), lambda: p.next(0)):
        with pytest.raises(codec.MediaError) as info:
            draw()
        assert str(info.value) == \
            "unsupported: pattern: 4294967295x4294967295 canvas does not fit in memory"
    assert p.position == 0
