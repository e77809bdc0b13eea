"""Low-latency H.264 link for the talmiro video transport.

The codec lives in the compiled module :mod:`talmiro_sdk_video._codec`; its classes and
functions are available from here too::

    from talmiro_sdk_video import H264Encoder, H264Decoder, TestPattern, Image, Plane, MediaError, psnr

and so are ``RtpPacketizer`` and ``RtpDepacketizer``, the RTCP packet builders and parser
(``rtcp_*``), ``RtpReceptionStats`` and ``NackRtt``. ``RtpSender`` and ``RtpReceiver`` carry a
stream over RTP/UDP with its RTCP feedback (sockets and threads in Python, over those classes).
"""

from ._codec import (
    BACKENDS,
    PIXEL_FORMATS,
    H264Decoder,
    H264Encoder,
    Image,
    MediaError,
    NackRtt,
    Plane,
    RtpReceptionStats,
    RtpDepacketizer,
    RtpPacketizer,
    TestPattern,
    avcodec_version,
    buffer_address,
    has_encoder,
    ntp_from_us,
    psnr,
    rtcp_bye,
    rtcp_fir,
    rtcp_nack,
    rtcp_parse,
    rtcp_pli,
    rtcp_rr,
    rtcp_rtt_us,
    rtcp_sdes,
    rtcp_sr,
    set_ffmpeg_log_level,
    us_from_ntp,
)

from .receiver import RtpReceiver
from .sender import RtpSender

__version__ = "0.1.0"

__all__ = ["H264Encoder", "H264Decoder", "TestPattern", "Image", "Plane", "MediaError", "psnr",
           "buffer_address", "has_encoder", "avcodec_version", "set_ffmpeg_log_level",
           "RtpPacketizer", "RtpDepacketizer", "RtpSender", "RtpReceiver",
           "RtpReceptionStats", "NackRtt", "rtcp_parse", "rtcp_sr", "rtcp_rr", "rtcp_sdes",
           "rtcp_bye", "rtcp_nack", "rtcp_pli", "rtcp_fir", "ntp_from_us", "us_from_ntp",
           "rtcp_rtt_us"]
