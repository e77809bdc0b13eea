"""Low-latency H.264 link for the talmiro video transport.

The codec lives in the compiled module :mod:`talmiro_sdk_video._codec`; its classes and
functions are available from here too::

    from talmiro_sdk_video import H264Encoder, H264Decoder, TestPattern, Image, Plane, MediaError, psnr
    from talmiro_sdk_video import RtpPacketizer, RtpDepacketizer
"""

from ._codec import (
    H264Decoder,
    H264Encoder,
    Image,
    MediaError,
    Plane,
    RtpDepacketizer,
    RtpPacketizer,
    TestPattern,
    avcodec_version,
    buffer_address,
    has_encoder,
    psnr,
    set_ffmpeg_log_level,
)

__version__ = "0.1.0"

# The names of the pixel formats a single-buffer picture may be read as.
PIXEL_FORMATS = ("i420", "nv12", "rgb24", "bgr24", "rgba", "bgra")

__all__ = ["H264Encoder", "H264Decoder", "TestPattern", "Image", "Plane", "MediaError",
           "RtpPacketizer", "RtpDepacketizer", "psnr",
           "buffer_address", "has_encoder", "avcodec_version", "set_ffmpeg_log_level"]
