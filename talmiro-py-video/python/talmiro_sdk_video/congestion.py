"""What a sender does with its congestion controller's target bitrate: the encoder follows it
(`set_bitrate_kbps`, which also bounds the encoder's maximum rate and buffer, so that single
pictures do not burst past it), and its course is kept for `stats()` and the summaries."""

from __future__ import annotations

import threading
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass

# The stream's bitrate when no encoder says it.
DEFAULT_MAX_KBPS = 2000
# The encoder is told a new target once it moved this much (relative) from the last one told.
FOLLOW_STEP = 0.05
# Points of the target's course kept (the oldest go): an hour at one a second.
HISTORY_POINTS = 3600


@dataclass(frozen=True)
class RateLimits:
    """The target's floor, start and ceiling in kbit/s."""

    min_kbps: int
    start_kbps: int
    max_kbps: int


def rate_limits(encoder, min_kbps: int | None, start_kbps: int | None,
                max_kbps: int | None) -> RateLimits:
    """The limits asked for, the missing ones from the encoder's bitrate (the ceiling), the
    floor a tenth of it (at least 50 kbit/s) and the start half of it; ValueError when they
    do not hold 0 < min <= start <= max."""
    top = max_kbps if max_kbps is not None else (
        encoder.bitrate_kbps if encoder is not None else DEFAULT_MAX_KBPS)
    low = min_kbps if min_kbps is not None else min(top, max(50, top // 10))
    start = start_kbps if start_kbps is not None else max(low, top // 2)
    if not 0 < low <= start <= top:
        raise ValueError("the rates must hold 0 < min_kbps <= start_kbps <= max_kbps, got "
                         f"{low}, {start}, {top}")
    return RateLimits(low, start, top)


class TargetFollower:
    """Takes each target the controller gives (bit/s, at `now_s` on a monotonic clock), tells
    the encoder (`encoder_of()`, which may change: a new one is told the target at once) when
    it moved enough, and keeps the course: a point per change of at least `FOLLOW_STEP`, or per
    second of smaller changes. Thread-safe."""

    def __init__(self, encoder_of: Callable[[], object], limits: RateLimits, start_s: float):
        self._encoder_of = encoder_of
        self._told_encoder = None
        self._limits = limits
        self._start_s = start_s
        self._lock = threading.Lock()
        self._told = limits.start_kbps
        self._kbps = limits.start_kbps
        self._since_s = start_s
        self._weighted = 0.0  # kbit/s x seconds since the start
        self._low = self._high = limits.start_kbps
        self._history: deque[tuple[float, int]] = deque([(0.0, limits.start_kbps)],
                                                        maxlen=HISTORY_POINTS)
        self._tell(limits.start_kbps, force=True)

    def follow(self, target_bps: int, now_s: float) -> None:
        kbps = min(max(target_bps // 1000, self._limits.min_kbps), self._limits.max_kbps)
        with self._lock:
            self._weighted += self._kbps * max(0.0, now_s - self._since_s)
            self._since_s = max(self._since_s, now_s)
            self._kbps = kbps
            self._low, self._high = min(self._low, kbps), max(self._high, kbps)
            moved = abs(kbps - self._told) >= FOLLOW_STEP * self._told or (
                kbps != self._told and kbps in (self._limits.min_kbps, self._limits.max_kbps))
            t, last = self._history[-1]
            at = round(now_s - self._start_s, 3)
            if moved or (kbps != last and at - t >= 1.0):
                self._history.append((at, kbps))
            if moved:
                self._told = kbps
            told = self._told
        self._tell(told, force=moved)

    def _tell(self, kbps: int, force: bool) -> None:
        encoder = self._encoder_of()
        if encoder is None or (not force and encoder is self._told_encoder):
            return
        self._told_encoder = encoder
        encoder.set_bitrate_kbps(kbps)

    def summary(self, now_s: float) -> dict:
        with self._lock:
            span = now_s - self._start_s
            weighted = self._weighted + self._kbps * max(0.0, now_s - self._since_s)
            return {"target_kbps": self._kbps, "target_kbps_min": self._low,
                    "target_kbps_mean": round(weighted / span, 1) if span > 0 else self._kbps,
                    "target_kbps_max": self._high,
                    "target_history": [list(p) for p in self._history]}
