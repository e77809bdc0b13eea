"""`with` blocks, weak references and the representation of the codec classes, and the
package's public names."""

import gc
import subprocess
import sys
import weakref

import pytest

import talmiro_sdk_video
import talmiro_sdk_video._codec as codec
import talmiro_sdk_video._rtp as rtp


def encoder():
    return codec.H264Encoder(64, 48, backend="x264", pixel_format="rgb24")


@pytest.mark.parametrize("make, refused", [
    (encoder, lambda obj: obj.encode(bytes(64 * 48 * 3), 0)),
    (codec.H264Decoder, lambda obj: obj.decode(b"\0\0\1\x65")),
])
def test_with_returns_the_object_and_closes_it(make, refused):
    with make() as obj:
        assert isinstance(obj, codec.H264Encoder | codec.H264Decoder)
        assert "closed" not in repr(obj)
    with pytest.raises(codec.MediaError, match="closed"):
        refused(obj)
    # An exception inside the block is not swallowed, and the object is closed all the same.
    with pytest.raises(KeyError):
        with make() as obj:
            raise KeyError("body")
    assert repr(obj).endswith("closed)")
    obj.__exit__(None, None, None)  # closing twice is harmless


@pytest.mark.parametrize("make", [encoder, codec.H264Decoder, lambda: codec.TestPattern(32, 16)])
def test_weak_references(make):
    obj = make()
    called = []
    ref = weakref.ref(obj, called.append)
    proxy = weakref.proxy(obj)
    assert ref() is obj and proxy.__repr__() == repr(obj)
    del obj
    gc.collect()
    assert ref() is None and called == [ref]
    with pytest.raises(ReferenceError):
        proxy.__repr__()


def streaming_decoder():
    pattern = codec.TestPattern(64, 48)
    enc = codec.H264Encoder(64, 48, backend="x264")
    dec = codec.H264Decoder()
    for unit in enc.encode(pattern.next(0), 0):
        dec.decode(*unit[:5])
    return dec


def closed(obj):
    obj.close()
    return obj


@pytest.mark.parametrize("make, text", [
    (encoder, "H264Encoder(64x48 rgb24, backend=x264)"),
    (lambda: closed(encoder()), "H264Encoder(64x48 rgb24, backend=x264, closed)"),
    (codec.H264Decoder, "H264Decoder(state=waiting)"),
    (streaming_decoder, "H264Decoder(state=streaming)"),
    (lambda: closed(codec.H264Decoder()), "H264Decoder(closed)"),
    (lambda: codec.TestPattern(32, 16, fps=25, pixel_format="nv12"),
     "TestPattern(32x16 nv12, fps=25)"),
])
def test_repr(make, text):
    assert repr(make()) == text


def test_package_exports_the_modules():
    python_level = {"RtpSender", "RtpReceiver", "SrtpKey"}  # the link, over the modules
    assert python_level <= set(talmiro_sdk_video.__all__)
    for name in set(talmiro_sdk_video.__all__) - python_level:
        assert getattr(talmiro_sdk_video, name) is getattr(codec, name, None) or \
            getattr(talmiro_sdk_video, name) is getattr(rtp, name)
    assert {"H264Encoder", "H264Decoder", "TestPattern", "Image", "Plane", "MediaError",
            "psnr"} <= set(talmiro_sdk_video.__all__)


# The command line with NumPy unimportable: info and --help work, link says what to install.
WITHOUT_NUMPY = "import sys; sys.modules['numpy'] = None; from talmiro_sdk_video.__main__ import main; sys.exit(main(sys.argv[1:]))"


@pytest.mark.parametrize("args, status", [(["info"], 0), (["--help"], 0),
                                          (["link", "--transport", "memory"], 2)])
def test_cli_without_numpy(args, status):
    result = subprocess.run([sys.executable, "-c", WITHOUT_NUMPY, *args], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == status, result.stderr
    if status:
        assert result.stderr == "error: link needs NumPy: pip install 'talmiro-sdk-video[demo]'\n"
