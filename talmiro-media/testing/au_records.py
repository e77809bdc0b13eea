"""Access units as records in a file (the layout of au_records.hpp beside this file): the
sample clips of the Python tests and the benchmarks' streams.

Each record: a flags byte (1 key, 2 config, 4 recovery), t_us (signed 64-bit), the length
(unsigned 32-bit), both little endian, then the Annex-B bytes.
"""

from __future__ import annotations

import struct
from pathlib import Path

KEY, CONFIG, RECOVERY = 1, 2, 4
# Flags of datagrams recorded off the network (tests/data/rtp/), t_us their arrival time.
RTCP, FROM_RECEIVER = 1, 2
_HEAD = struct.Struct("<BqI")


def read_au_records(path: Path) -> list[tuple[bytes, int, bool, bool, bool]]:
    """The records of a file as `(data, t_us, key, config, recovery)`, the decoder's
    arguments in order; a record cut short is a `ValueError`."""
    raw = Path(path).read_bytes()
    units, pos = [], 0
    while pos < len(raw):
        start = pos + _HEAD.size
        flags, t_us, size = _HEAD.unpack(raw[pos:start]) if start <= len(raw) else (0, 0, -1)
        if size < 0 or start + size > len(raw):
            raise ValueError(f"{path}: record at {pos} cut short")
        units.append((raw[start:start + size], t_us, bool(flags & KEY), bool(flags & CONFIG),
                      bool(flags & RECOVERY)))
        pos = start + size
    return units


def read_datagram_records(path: Path) -> list[tuple[bytes, int, int]]:
    """The datagrams of a network recording as `(data, t_us, flags)`, flags a sum of `RTCP`
    and `FROM_RECEIVER`."""
    return [(data, t_us, key | config << 1) for data, t_us, key, config, _ in
            read_au_records(path)]
