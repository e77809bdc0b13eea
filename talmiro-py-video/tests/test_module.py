"""The modules themselves: their names, the stubs' agreement with them, MediaError (pickled
too), module functions, signatures, the one exported symbol of each and the ABI."""

import ast
import multiprocessing
import pickle
import re
import subprocess
import threading
from pathlib import Path

import pytest

import talmiro_sdk_video
import talmiro_sdk_video._codec as codec
import talmiro_sdk_video._rtp as rtp

MODULES = [codec, rtp]
STUB = ast.parse(Path(codec.__file__).with_name("_codec.pyi").read_text())


def stub_all(module=codec) -> list[str]:
    """The stub's `__all__`: the one hand-written list of the module's names."""
    stub = ast.parse(Path(module.__file__).with_name(module.__name__.split(".")[-1] + ".pyi")
                     .read_text())
    for node in stub.body:
        if isinstance(node, ast.Assign) and [getattr(t, "id", None) for t in node.targets] == ["__all__"]:
            return ast.literal_eval(node.value)
    raise AssertionError("the stub has no __all__")


def test_all_lists_names_in_order():
    assert codec.__all__ == stub_all(codec) == [
        "MediaError", "Image", "Plane", "H264Encoder", "H264Decoder", "TestPattern", "psnr",
        "buffer_address", "has_encoder", "avcodec_version", "set_ffmpeg_log_level"]
    assert rtp.__all__ == stub_all(rtp) and "RtpReceiveLoop" in rtp.__all__
    for module in MODULES:
        for name in module.__all__:
            assert hasattr(module, name)


def test_network_module_shares_the_codec_types():
    # One MediaError for both: what the network raises is caught as the codec's.
    with pytest.raises(codec.MediaError):
        rtp.RtpPacketizer(mtu=10)
    queue = rtp.PictureQueue()
    queue.put([codec.TestPattern(64, 48).frame(0)])
    assert type(queue.take(0)[0]) is codec.Image


def stub_literals() -> dict[str, list[str]]:
    """The stub's `Name: TypeAlias = Literal[...]` aliases, as lists of their texts."""
    out = {}
    for node in STUB.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.value, ast.Subscript) \
                and getattr(node.value.value, "id", None) == "Literal":
            items = node.value.slice.elts if isinstance(node.value.slice, ast.Tuple) \
                else [node.value.slice]
            out[node.target.id] = [item.value for item in items]
    return out


def test_names_come_from_the_module_and_the_stub_agrees():
    literals = stub_literals()
    assert codec.PIXEL_FORMATS == ("i420", "nv12", "rgb24", "bgr24", "rgba", "bgra")
    assert literals["PixelFormat"] == list(codec.PIXEL_FORMATS)
    assert codec.BACKENDS[0] == "auto" and literals["Backend"] == list(codec.BACKENDS[1:])
    assert set(codec.BACKENDS) <= set(literals["BackendChoice"])
    assert talmiro_sdk_video.PIXEL_FORMATS is codec.PIXEL_FORMATS
    assert talmiro_sdk_video.BACKENDS is codec.BACKENDS
    assert "PIXEL_FORMATS" not in codec.__all__


def test_media_error_type():
    err = codec.MediaError
    assert err.__module__ == "_core" and err.__name__ == "MediaError"
    assert issubclass(err, Exception)
    assert err.__doc__ == ("the codec refused: bad picture, unsupported configuration, "
                           "or a libavcodec error")


def test_media_error_survives_pickle():
    err = codec.MediaError("ffmpeg: Invalid data found when processing input")
    err.frame = 7
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(err, protocol))
        assert type(back) is codec.MediaError
        assert (back.args, back.frame) == (err.args, 7)


def test_media_error_crosses_a_process():
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        with pytest.raises(codec.MediaError, match=r"^unsupported: picture size 15x48 "):
            pool.apply(codec.H264Encoder, (15, 48))


@pytest.mark.parametrize("module,cls", [
    (codec, "Image"), (codec, "Plane"), (codec, "H264Encoder"), (codec, "H264Decoder"),
    (codec, "TestPattern"), (rtp, "RtpReceptionStats"), (rtp, "NackRtt"),
    (rtp, "RtpPacketizer"), (rtp, "RtpDepacketizer"), (rtp, "RtpResponder"),
    (rtp, "PictureQueue")])
def test_classes_belong_to_the_module(module, cls):
    assert getattr(module, cls).__module__ == module.__name__


def test_avcodec_version():
    v = codec.avcodec_version()
    assert re.fullmatch(r"(0|[1-9]\d*)\.(0|[1-9]\d*)\.(0|[1-9]\d*)", v)
    assert v.startswith("62.")
    with pytest.raises(TypeError):
        codec.avcodec_version(1)


@pytest.mark.parametrize("name,found", [("libx264", True), ("h264_nvenc", True),
                                        ("libx265", False), ("", False), ("lib\0x264", False),
                                        ("\udc80", False)])
def test_has_encoder(name, found):
    assert codec.has_encoder(name) is found
    assert codec.has_encoder(name=name) is found


@pytest.mark.parametrize("call,exc", [
    (lambda: codec.has_encoder(264), TypeError),
    (lambda: codec.has_encoder(), TypeError),
    (lambda: codec.has_encoder("a", "b"), TypeError),
    (lambda: codec.has_encoder(nam="x"), TypeError),
    (lambda: codec.has_encoder("x", name="x"), TypeError),
    (lambda: codec.set_ffmpeg_log_level(None), TypeError),
])
def test_argument_errors(call, exc):
    with pytest.raises(exc):
        call()


def test_type_error_names_the_parameter():
    with pytest.raises(TypeError, match="'name'"):
        codec.has_encoder(1)


@pytest.mark.parametrize("level", ["quiet", "error", "warning", "info", "verbose", "debug",
                                   "Debug", "debug ", "", "nonsense"])
def test_set_ffmpeg_log_level_accepts_any_text(level):
    assert codec.set_ffmpeg_log_level(level) is None
    assert codec.set_ffmpeg_log_level(level=level) is None
    codec.set_ffmpeg_log_level("warning")


@pytest.mark.parametrize("fn", ["has_encoder", "avcodec_version", "set_ffmpeg_log_level"])
def test_text_signatures(fn):
    import inspect
    sig = inspect.signature(getattr(codec, fn))
    assert list(sig.parameters) == {"has_encoder": ["name"], "avcodec_version": [],
                                    "set_ffmpeg_log_level": ["level"]}[fn]


@pytest.mark.parametrize("module", MODULES)
def test_only_pyinit_is_exported(module):
    out = subprocess.run(["nm", "-D", "--defined-only", module.__file__],
                         capture_output=True, text=True, check=True).stdout
    functions = [line.split()[-1] for line in out.splitlines() if line.split()[1] in "TtWw"]
    assert functions == ["PyInit_" + module.__name__.split(".")[-1]]


@pytest.mark.parametrize("module", MODULES)
def test_module_is_abi3_and_finds_bundled_ffmpeg(module):
    assert module.__file__.endswith(module.__name__.split(".")[-1] + ".abi3.so")
    out = subprocess.run(["readelf", "-d", module.__file__], capture_output=True, text=True,
                         check=True).stdout
    assert "$ORIGIN/lib:$ORIGIN/../talmiro_runtime_sdk_video.libs" in out


def test_concurrent_first_calls_are_safe():
    results = []
    threads = [threading.Thread(target=lambda: results.append(codec.has_encoder("libx264")))
               for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert results == [True] * 8


def test_module_uses_only_the_stable_abi_of_3_11():
    import shutil
    import sys
    from pathlib import Path
    audit = shutil.which("abi3audit") or str(Path(sys.executable).with_name("abi3audit"))
    result = subprocess.run([audit, "--strict", "--assume-minimum-abi3", "3.11", codec.__file__],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("cls", ["Image", "Plane", "H264Encoder", "H264Decoder", "TestPattern",
                                 "RtpReceptionStats", "NackRtt", "RtpPacketizer", "RtpDepacketizer",
                                 "RtpResponder", "PictureQueue"])
def test_classes_are_immutable(cls):
    # A replaced __new__ would make objects whose C++ value was never built.
    cls = getattr(codec, cls, None) or getattr(rtp, cls)
    with pytest.raises(TypeError):
        cls.__new__ = staticmethod(lambda c: object.__new__(c))
    with pytest.raises(TypeError):
        cls.extra = 1
    assert not hasattr(cls, "extra")


def test_psnr_docstring():
    assert codec.psnr.__doc__ == (
        "Luma PSNR in dB between two equally sized uint8 buffers (`inf` for identical, `None` "
        "for a\nsize mismatch): the \"does the loop still carry a picture\" metric of the codec "
        "tests.")
