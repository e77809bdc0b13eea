"""Image and Plane: zero-copy plane views and their buffer export, lifetimes, properties, and
pictures read from NumPy arrays and other buffers."""

import ctypes
import gc

import numpy as np
import pytest

import talmiro_sdk_video._codec as codec


def frame(width, height, n=0, capture_us=0, pixel_format="i420"):
    return codec.TestPattern(width, height, pixel_format=pixel_format).frame(n, capture_us)


def ceil_half(n):
    return n - n // 2


@pytest.mark.parametrize("cls", [codec.Image, codec.Plane])
def test_classes_cannot_be_instantiated(cls):
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize("width,height", [(640, 480), (3, 3), (64, 48), (5, 2), (2, 7)])
def test_plane_geometry(width, height):
    img = frame(width, height)
    cw, ch = ceil_half(width), ceil_half(height)
    assert (img.width, img.height, img.format) == (width, height, "i420")
    for plane, shape in ((img.y, (height, width)), (img.u, (ch, cw)), (img.v, (ch, cw))):
        assert plane.shape == shape
        assert len(plane) == shape[0]
        assert plane.nbytes == shape[0] * shape[1]
        assert np.asarray(plane).shape == shape
    assert img.nbytes == width * height + 2 * cw * ch
    assert len(img.tobytes()) == img.nbytes


def test_memoryview_of_a_plane():
    img = frame(640, 480)
    m = memoryview(img.y)
    assert m.readonly
    assert (m.format, m.itemsize, m.ndim) == ("B", 1, 2)
    assert (m.shape, m.strides) == ((480, 640), (640, 1))
    assert m.nbytes == 307200
    assert m.c_contiguous


def test_planes_are_zero_copy_views_of_the_image():
    img = frame(64, 48)
    y, u, v = img.planes()
    addresses = [codec.buffer_address(p) for p in (y, u, v)]
    # Every read gives a new Plane over the same bytes, not a copy.
    assert img.y is not img.y
    assert addresses == [codec.buffer_address(p) for p in (img.y, img.u, img.v)]
    assert len(set(addresses)) == 3
    for plane, address in zip((y, u, v), addresses):
        arr = np.asarray(plane)
        assert arr.ctypes.data == address
        assert not arr.flags.writeable
        with pytest.raises(ValueError):
            arr[0, 0] = 1
        assert arr.tobytes() == plane.tobytes() == bytes(plane)
    assert img.tobytes() == y.tobytes() + u.tobytes() + v.tobytes()


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int),
                ("ndim", ctypes.c_int), ("format", ctypes.c_char_p),
                ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


def get_buffer(obj, flags):
    """PyObject_GetBuffer with exactly `flags`; the view's fields as a dict."""
    api = ctypes.pythonapi
    api.PyObject_GetBuffer.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
    api.PyBuffer_Release.argtypes = [ctypes.POINTER(PyBuffer)]
    api.PyBuffer_Release.restype = None
    view = PyBuffer()
    api.PyObject_GetBuffer(obj, ctypes.byref(view), flags)
    try:
        ndim = view.ndim
        return {"buf": view.buf, "obj": view.obj == id(obj), "len": view.len,
                "itemsize": view.itemsize, "readonly": view.readonly, "ndim": ndim,
                "format": view.format,
                "shape": tuple(view.shape[:ndim]) if view.shape else None,
                "strides": tuple(view.strides[:ndim]) if view.strides else None,
                "suboffsets": view.suboffsets}
    finally:
        api.PyBuffer_Release(ctypes.byref(view))


SIMPLE, WRITABLE, FORMAT, ND, STRIDES, FULL_RO = 0, 0x1, 0x4, 0x8, 0x18, 0x11C
C_CONTIGUOUS, F_CONTIGUOUS, ANY_CONTIGUOUS = 0x38, 0x58, 0x98


@pytest.mark.parametrize("flags,fmt,ndim,shape,strides", [
    (SIMPLE, None, 1, None, None),
    (FORMAT, b"B", 1, None, None),
    (ND, None, 2, (48, 64), None),
    (0x10, None, 1, None, None),
    (STRIDES, None, 2, (48, 64), (64, 1)),
    (FULL_RO, b"B", 2, (48, 64), (64, 1)),
    (C_CONTIGUOUS, None, 2, (48, 64), (64, 1)),
    (ANY_CONTIGUOUS | FORMAT, b"B", 2, (48, 64), (64, 1)),
])
def test_buffer_export_follows_the_request_flags(flags, fmt, ndim, shape, strides):
    plane = frame(64, 48).y
    view = get_buffer(plane, flags)
    assert view == {"buf": codec.buffer_address(plane), "obj": True, "len": 3072, "itemsize": 1,
                    "readonly": 1, "ndim": ndim, "format": fmt, "shape": shape,
                    "strides": strides, "suboffsets": None}


@pytest.mark.parametrize("flags", [WRITABLE, WRITABLE | FULL_RO, WRITABLE | ND])
def test_writable_buffer_request_is_refused(flags):
    plane = frame(64, 48).y
    with pytest.raises(BufferError, match="^decoded planes are read-only$"):
        get_buffer(plane, flags)
    # The read-only path still works after a refused request.
    assert memoryview(plane).readonly


def test_fortran_contiguous_request_needs_a_row_or_a_column():
    with pytest.raises(BufferError, match="^decoded planes are not Fortran-contiguous$"):
        get_buffer(frame(64, 48).y, F_CONTIGUOUS)
    # One row (or one column) is both C- and Fortran-contiguous.
    for plane, shape in ((frame(16, 2).u, (1, 8)), (frame(2, 16).v, (8, 1))):
        view = get_buffer(plane, F_CONTIGUOUS)
        assert (view["shape"], view["len"]) == (shape, 8)


def test_plane_outlives_its_image():
    img = frame(64, 48, n=5)
    expected = [img.y.tobytes(), img.u.tobytes(), img.v.tobytes()]
    planes = list(img.planes())
    view = memoryview(img.v)
    arr = np.asarray(img.u)
    del img
    gc.collect()
    # Churn the allocator so freed image memory would be reused and overwritten.
    junk = [frame(64, 48, n=k).tobytes() for k in range(8)]
    assert [p.tobytes() for p in planes] == expected
    assert bytes(view) == expected[2]
    assert arr.tobytes() == expected[1]
    del planes
    gc.collect()
    assert bytes(view) == expected[2] and arr.tobytes() == expected[1]
    assert junk


def test_image_properties_and_repr():
    img = frame(640, 480, n=3, capture_us=1500)
    assert (img.t_us, img.recovering) == (1500, False)
    assert repr(img) == "Image(640x480 i420, t_us=1500, recovering=false)"
    assert repr(frame(16, 16, capture_us=-7)) == "Image(16x16 i420, t_us=-7, recovering=false)"


def test_image_from_an_nv12_pattern_is_i420():
    img = frame(64, 48, pixel_format="nv12")
    assert img.format == "i420"
    assert img.tobytes() == frame(64, 48).tobytes()
