"""SRTP master keys: a suite and its master key and salt, as SDES (`a=crypto`) and key files
carry them (base64 of the key followed by the salt).

    key = SrtpKey.generate()                     # AES_CM_128_HMAC_SHA1_80
    key = SrtpKey.from_file("robot.key")         # one line of base64, readable by its owner only
    sender = RtpSender([...], srtp=key)

A key never shows in a `repr`, a log line or a summary: only its suite does.
"""

from __future__ import annotations

import base64
import binascii
import os
import stat
from dataclasses import dataclass, field

from ._rtp import SRTP_SUITES  # each suite's master key and salt, in bytes

DEFAULT_SUITE = "AES_CM_128_HMAC_SHA1_80"


class SrtpKeyError(ValueError):
    """A key that cannot be used: unknown suite, wrong length, bad base64, an unsafe file."""


@dataclass(frozen=True)
class SrtpKey:
    key_salt: bytes = field(repr=False)
    suite: str = DEFAULT_SUITE

    def __post_init__(self) -> None:
        if self.suite not in SRTP_SUITES:
            raise SrtpKeyError(f"unknown SRTP suite {self.suite!r} (one of "
                               f"{', '.join(SRTP_SUITES)})")
        want = SRTP_SUITES[self.suite]
        if not isinstance(self.key_salt, bytes) or len(self.key_salt) != want:
            got = len(self.key_salt) if isinstance(self.key_salt, (bytes, bytearray)) else "no"
            raise SrtpKeyError(f"{self.suite} takes a {want}-byte key and salt, got {got} bytes")

    def __repr__(self) -> str:
        return f"SrtpKey(suite={self.suite!r}, key_salt=<hidden>)"

    @classmethod
    def generate(cls, suite: str = DEFAULT_SUITE) -> SrtpKey:
        if suite not in SRTP_SUITES:
            return cls(b"", suite)  # raises the unknown-suite error
        return cls(os.urandom(SRTP_SUITES[suite]), suite)

    @classmethod
    def from_inline(cls, text: str, suite: str = DEFAULT_SUITE) -> SrtpKey:
        """The key and salt from base64 text (an `a=crypto` inline value without its lifetime
        or MKI parts)."""
        try:
            raw = base64.b64decode(text.strip().split("|")[0], validate=True)
        except (binascii.Error, ValueError):
            raise SrtpKeyError("the SRTP key is not base64") from None
        return cls(raw, suite)

    @classmethod
    def from_file(cls, path: str | os.PathLike, suite: str = DEFAULT_SUITE) -> SrtpKey:
        """One line of base64 from `path`, a file that only its owner can read."""
        try:
            with open(path, "rb") as f:
                mode = os.fstat(f.fileno()).st_mode
                if mode & (stat.S_IRWXG | stat.S_IRWXO):
                    raise SrtpKeyError(f"key file {os.fspath(path)} can be read by others: "
                                       f"chmod 600 it")
                data = f.read(4096)
        except OSError as e:
            raise SrtpKeyError(f"cannot read key file {os.fspath(path)}: {e.strerror}") from None
        try:
            return cls.from_inline(data.decode("ascii"), suite)
        except (UnicodeDecodeError, SrtpKeyError) as e:
            raise SrtpKeyError(f"key file {os.fspath(path)}: "
                               f"{e if isinstance(e, SrtpKeyError) else 'not base64'}") from None

    def inline(self) -> str:
        """The base64 text of the key and salt, as `a=crypto` and key files carry it."""
        return base64.b64encode(self.key_salt).decode("ascii")


# What a transport counts of the datagrams SRTP refused.
_SRTP_REFUSALS = ("auth_failures", "replays", "unprotect_errors")


def _check_keys(srtp: SrtpKey | None, feedback: SrtpKey | None) -> SrtpKey | None:
    """The stream's key, once both are known to be keys (a feedback key needs a stream key)."""
    for name, key in (("srtp", srtp), ("srtp_feedback", feedback)):
        if key is not None and not isinstance(key, SrtpKey):
            raise TypeError(f"{name} must be an SrtpKey or None, not {type(key).__name__}")
    if feedback is not None and srtp is None:
        raise ValueError("srtp_feedback needs srtp: the stream is plain RTP")
    return srtp


def protect(media, control, stream: SrtpKey, feedback: SrtpKey, *, sending: bool) -> None:
    """Puts SRTP on an end's two transports: the stream's key protects the sender's media and
    its reports, the feedback key the receiver's reports, NACKs and PLIs."""
    if sending:
        media.set_srtp(False, stream.suite, stream.key_salt)
        control.set_srtp(True, stream.suite, stream.key_salt, feedback.suite, feedback.key_salt)
    else:
        media.set_srtp(False, inbound_suite=stream.suite, inbound_key=stream.key_salt)
        control.set_srtp(True, feedback.suite, feedback.key_salt, stream.suite, stream.key_salt)
