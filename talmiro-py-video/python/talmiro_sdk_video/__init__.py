"""Low-latency H.264 link for the talmiro video transport.

The codec lives in the compiled module :mod:`talmiro_sdk_video._codec`.
"""

__version__ = "0.1.0"
