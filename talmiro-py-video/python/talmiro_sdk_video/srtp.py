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

# Each suite's master key and salt, in bytes.
SRTP_SUITES = {
    "AES_CM_128_HMAC_SHA1_80": (16, 14),
    "AES_CM_128_HMAC_SHA1_32": (16, 14),
    "AEAD_AES_128_GCM": (16, 12),
    "AEAD_AES_256_GCM": (32, 12),
}
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
        want = sum(SRTP_SUITES[self.suite])
        if not isinstance(self.key_salt, bytes) or len(self.key_salt) != want:
            got = len(self.key_salt) if isinstance(self.key_salt, (bytes, bytearray)) else "no"
            raise SrtpKeyError(f"{self.suite} takes a {want}-byte key and salt, got {got} bytes")

    def __repr__(self) -> str:
        return f"SrtpKey(suite={self.suite!r}, key_salt=<hidden>)"

    @classmethod
    def generate(cls, suite: str = DEFAULT_SUITE) -> SrtpKey:
        if suite not in SRTP_SUITES:
            return cls(b"", suite)  # raises the unknown-suite error
        return cls(os.urandom(sum(SRTP_SUITES[suite])), suite)

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
