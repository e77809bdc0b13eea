"""Type stubs for the compiled codec module `talmiro_sdk_video._codec`."""

from types import TracebackType
from typing import Literal, Self, TypeAlias, TypedDict, final, type_check_only

from typing_extensions import Buffer

__all__ = ["MediaError", "Image", "Plane", "H264Encoder", "H264Decoder", "TestPattern", "psnr",
           "buffer_address", "has_encoder", "avcodec_version", "set_ffmpeg_log_level"]

class MediaError(Exception):
    """the codec refused: bad picture, unsupported configuration, or a libavcodec error"""

# The fixed sets of texts the module takes and gives.
PixelFormat: TypeAlias = Literal["i420", "nv12", "rgb24", "bgr24", "rgba", "bgra"]
BackendChoice: TypeAlias = Literal["auto", "x264", "libx264", "nvenc", "h264_nvenc"]
Backend: TypeAlias = Literal["x264", "nvenc"]
SyncState: TypeAlias = Literal["waiting", "primed", "streaming"]
Signal: TypeAlias = Literal["request_idr", "reset"]

# The pixel formats and backend names the module takes, in the media core's order (the
# aliases above agree with them: tests compare the two).
PIXEL_FORMATS: tuple[PixelFormat, ...]
BACKENDS: tuple[Literal["auto"] | Backend, ...]

# One access unit out of the encoder: (data, t_us, key, config, recovery, encoded_us).
AccessUnitTuple: TypeAlias = tuple[bytes, int, bool, bool, bool, int]

@type_check_only
class EncoderStats(TypedDict):
    frames_in: int
    frames_out: int
    bytes: int
    idr: int
    recovery: int
    reinserted: int
    forced_idr: int
    bitrate_changes: int
    converted: int
    convert_us: int
    encode_us: int
    idr_requests: int
    backend: Backend
    pixel_format: PixelFormat

@type_check_only
class SyncStats(TypedDict):
    frames: int
    dropped: int
    fed: int
    output: int
    starts: int
    starts_at_recovery: int
    resets: int
    idr_requests: int
    losses: int

@type_check_only
class DecoderStats(TypedDict):
    fed: int
    images: int
    errors: int
    resets: int
    recovering: int
    # Thread CPU time the decode calls took.
    cpu_us: int
    sync: SyncStats
    state: SyncState
    fed_since_output: int

# What `H264Decoder.stats()` gives once the decoder is closed.
@type_check_only
class ClosedDecoderStats(TypedDict):
    state: Literal["closed"]

@final
class Image:
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def t_us(self) -> int: ...
    @property
    def recovering(self) -> bool: ...
    @property
    def format(self) -> Literal["i420"]: ...
    @property
    def y(self) -> Plane: ...
    @property
    def u(self) -> Plane: ...
    @property
    def v(self) -> Plane: ...
    def planes(self) -> tuple[Plane, Plane, Plane]: ...
    @property
    def nbytes(self) -> int: ...
    def tobytes(self) -> bytes: ...

@final
class Plane:
    @property
    def shape(self) -> tuple[int, int]: ...
    @property
    def nbytes(self) -> int: ...
    def tobytes(self) -> bytes: ...
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...

PictureArg = Image | Buffer | tuple[Buffer, Buffer, Buffer] | tuple[Buffer, Buffer] | list[Buffer]

@final
class H264Encoder:
    def __new__(
        cls,
        width: int,
        height: int,
        fps: int = 30,
        bitrate_kbps: int = 2000,
        intra_refresh: bool = True,
        keyframe_interval: int = 0,
        backend: BackendChoice = "auto",
        pixel_format: PixelFormat = "i420",
        preset: str | None = None,
        tune: str | None = None,
    ) -> Self: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def fps(self) -> int: ...
    @property
    def bitrate_kbps(self) -> int: ...
    @property
    def intra_refresh(self) -> bool: ...
    @property
    def gop(self) -> int: ...
    @property
    def backend(self) -> Backend: ...
    @property
    def pixel_format(self) -> PixelFormat: ...
    @property
    def frame_size(self) -> int: ...
    @property
    def idr_requests(self) -> int: ...
    def encode(self, image: PictureArg, capture_us: int, force_idr: bool = False) -> list[AccessUnitTuple]: ...
    def flush(self) -> list[AccessUnitTuple]: ...
    def close(self) -> None: ...
    def request_idr(self) -> None: ...
    def set_bitrate_kbps(self, kbps: int) -> None: ...
    def param_sets(self) -> bytes | None: ...
    def stats(self) -> EncoderStats: ...
    def timings(self) -> tuple[int, int]: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

@final
class H264Decoder:
    def __new__(
        cls,
        output_corrupt: bool = True,
        stuck_frames: int = 10,
        wedged_frames: int = 150,
        recovery_silence_frames: int = 60,
        start_at_recovery: bool = True,
        request_idr_on_loss: bool = True,
        max_pixels: int = 9437184,
    ) -> Self: ...
    def decode(
        self, data: bytes, t_us: int = 0, key: bool = False, config: bool = False,
        recovery: bool = False, complete: bool = True,
    ) -> list[Image]:
        """`complete=False`: part of the access unit was lost on the way; its picture comes out
        `recovering`, and a reference picture damages the stream until an IDR picture."""
        ...
    def flush(self) -> list[Image]: ...
    def close(self) -> None: ...
    def take_signal(self) -> Signal | None: ...
    def signal(self) -> Signal | None: ...
    @property
    def state(self) -> SyncState | Literal["closed"]: ...
    def param_sets(self) -> bytes | None: ...
    def stats(self) -> DecoderStats | ClosedDecoderStats: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

@final
class TestPattern:
    def __new__(
        cls, width: int, height: int, fps: int = 30, pixel_format: Literal["i420", "nv12"] = "i420",
        speed: int = 4,
    ) -> Self: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def fps(self) -> int: ...
    @property
    def position(self) -> int: ...
    def next(self, capture_us: int) -> Image: ...
    def frame(self, n: int, capture_us: int = 0) -> Image: ...

def psnr(a: Buffer, b: Buffer) -> float | None: ...
def buffer_address(obj: Buffer) -> int: ...
def has_encoder(name: str) -> bool: ...
def avcodec_version() -> str: ...
def set_ffmpeg_log_level(level: str) -> None: ...
