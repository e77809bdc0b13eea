"""The note a test-pattern stream carries in its sender reports (an SDES PRIV item with the
prefix PATTERN_PREFIX): which picture of `TestPattern` each RTP timestamp holds, so that a
receiver can check every picture it shows against its source.
"""

from __future__ import annotations

# The SDES PRIV prefix that names the test pattern a stream carries.
PATTERN_PREFIX = "talmiro-pattern"


def pattern_note(width: int, height: int, fps: int, speed: int, ts0: int) -> str:
    """The PRIV value for a test-pattern stream: picture n of `TestPattern(width, height, fps,
    speed=speed)` carries RTP timestamp ts0 + n * 90000 / fps."""
    return f"w={width} h={height} fps={fps} speed={speed} ts0={ts0}"


def parse_pattern_note(text: str) -> dict[str, int] | None:
    """The fields of a test-pattern PRIV value, or None when it is not one."""
    try:
        fields = dict(part.split("=", 1) for part in text.split())
        out = {k: int(fields[k]) for k in ("w", "h", "fps", "speed", "ts0")}
    except (ValueError, KeyError):
        return None
    if not (1 <= out["w"] <= 16384 and 1 <= out["h"] <= 16384 and 1 <= out["fps"] <= 1000
            and 0 <= out["speed"] <= 1 << 16 and 0 <= out["ts0"] < 1 << 32):
        return None
    return out
