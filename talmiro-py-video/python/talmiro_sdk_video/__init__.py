"""Low-latency H.264 link for the talmiro video transport.

The codec lives in the compiled module :mod:`talmiro_sdk_video._codec`; its classes and
functions are available from here too::

    from talmiro_sdk_video import H264Encoder, H264Decoder, TestPattern, Image, Plane, MediaError, psnr

and so are, from the compiled network module :mod:`talmiro_sdk_video._rtp`, ``RtpPacketizer``,
``RtpDepacketizer`` and ``RtpResponder``, the RTCP packet builders and parser (``rtcp_*``),
``RtpReceptionStats`` and ``NackRtt``. ``RtpSender`` and ``RtpReceiver`` carry a
stream over RTP/UDP with its RTCP feedback (sockets and threads in Python, over those classes).
"""

import copyreg
from typing import Callable

from ._codec import (
    BACKENDS,
    PIXEL_FORMATS,
    H264Decoder,
    H264Encoder,
    Image,
    MediaError,
    Plane,
    TestPattern,
    avcodec_version,
    buffer_address,
    has_encoder,
    psnr,
    set_ffmpeg_log_level,
)
from ._rtp import (
    NackRtt,
    RtpReceptionStats,
    RtpDepacketizer,
    RtpPacketizer,
    RtpResponder,
    ntp_from_us,
    rtcp_bye,
    rtcp_fir,
    rtcp_nack,
    rtcp_parse,
    rtcp_pli,
    rtcp_rr,
    rtcp_rtt_us,
    rtcp_sdes,
    rtcp_sr,
    us_from_ntp,
)

from .receiver import RtpReceiver
from .sender import RtpSender
from .srtp import SrtpKey

__version__ = "0.1.0"


def _media_error(*args: object) -> MediaError:
    """A MediaError made again from its arguments: what a pickled one is loaded by."""
    return MediaError(*args)


def _reduce_media_error(
    err: MediaError,
) -> tuple[Callable[..., MediaError], tuple[object, ...], dict[str, object] | None]:
    # MediaError's module, "_core", cannot be imported, so pickle (and multiprocessing) load
    # an error through this package instead; its attributes travel as its state.
    return _media_error, err.args, err.__dict__ or None


copyreg.pickle(MediaError, _reduce_media_error)

__all__ = ["H264Encoder", "H264Decoder", "TestPattern", "Image", "Plane", "MediaError", "psnr",
           "buffer_address", "has_encoder", "avcodec_version", "set_ffmpeg_log_level",
           "RtpPacketizer", "RtpDepacketizer", "RtpResponder", "RtpSender", "RtpReceiver",
           "RtpReceptionStats", "NackRtt", "rtcp_parse", "rtcp_sr", "rtcp_rr", "rtcp_sdes",
           "rtcp_bye", "rtcp_nack", "rtcp_pli", "rtcp_fir", "ntp_from_us", "us_from_ntp",
           "rtcp_rtt_us", "SrtpKey"]
