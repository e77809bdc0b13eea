"""Session descriptions (SDP, RFC 4566) for one H.264 video stream over RTP (RFC 6184).

`VideoSdp(...).to_text()` writes the description a player needs to receive our stream: the
port, `a=rtpmap:96 H264/90000`, the `a=fmtp` line with `packetization-mode=1`,
`profile-level-id` and `sprop-parameter-sets`, the feedback we answer (`a=rtcp-fb` `nack`,
`nack pli`) and, when retransmissions go as packets of their own, the `rtx` payload type with
`apt`, and the transport-wide sequence number's `a=extmap` when its packets carry one (the
receiver then answers with transport-wide feedback). `parse_sdp(text)` reads one written by a foreign sender: it takes the first H.264 stream
of the first video section it can receive (packetization mode 0 or 1).

With an SRTP key (`crypto`), the media line says the secure profile (`RTP/SAVPF`, `RTP/SAVP`)
and `a=crypto` (RFC 4568 SDES) carries the suite and the key: such a description is a secret.

A description comes from outside: `parse_sdp` bounds what it reads and raises `SdpError` for
what it cannot use; what it does not know it skips.
"""

from __future__ import annotations

import base64
import binascii
import re
from dataclasses import dataclass, field

from ._rtp import TRANSPORT_SEQ_EXTENSION_URI
from .srtp import SRTP_SUITES, SrtpKey, SrtpKeyError

MAX_SDP_BYTES = 64 * 1024
MAX_LINES = 2000
MAX_RTX_TIME_MS = 600_000   # how long a sender may say it keeps packets for resending
# The header extension id our packets carry the transport-wide sequence number under, and the
# extmap URI that names the extension (one-byte form: ids 1..14).
TRANSPORT_CC_EXTENSION_ID = 3
TRANSPORT_CC_URI = TRANSPORT_SEQ_EXTENSION_URI
_TOKEN = re.compile(r"[!#$%&'*+\-.0-9A-Z^_`a-z{|}~]+")   # RFC 4566 token characters
_HOST = re.compile(r"[0-9A-Za-z.:\-]+")


class SdpError(ValueError):
    """A description that cannot be used, with what is wrong with it."""


@dataclass
class VideoSdp:
    """What a description says about one H.264 video stream."""

    port: int
    address: str = "127.0.0.1"
    payload_type: int = 96
    profile_level_id: str | None = None           # six hex digits: profile_idc, flags, level
    sprop_parameter_sets: tuple[bytes, ...] = ()  # NAL units (SPS, PPS) without start codes
    packetization_mode: int = 1
    rtcp_port: int | None = None                  # None: port + 1
    rtcp_fb: tuple[str, ...] = ("nack", "nack pli")
    rtx_payload_type: int | None = None           # retransmissions as packets of their own
    rtx_time_ms: int | None = None
    framerate: float | None = None
    session_name: str = "talmiro video"
    profile: str = "RTP/AVPF"                     # AVPF: the profile feedback belongs to
    fmtp: dict[str, str] = field(default_factory=dict)  # every fmtp parameter, as read
    # The stream's SRTP key: the media line then says the secure form of `profile`.
    crypto: SrtpKey | None = None
    # The header extension id (1..14) of the transport-wide sequence number; None: not sent.
    transport_cc: int | None = None

    @classmethod
    def from_parameter_sets(cls, sps: bytes, pps: bytes, port: int, **kw) -> VideoSdp:
        """A description for a stream with these parameter sets (NAL units without start
        codes): `profile-level-id` is the SPS's three bytes after its NAL header."""
        if len(sps) < 4 or sps[0] & 0x1F != 7:
            raise SdpError("the SPS must be a NAL unit of type 7 of at least 4 bytes")
        if len(pps) < 2 or pps[0] & 0x1F != 8:
            raise SdpError("the PPS must be a NAL unit of type 8 of at least 2 bytes")
        return cls(port=port, profile_level_id=sps[1:4].hex(), sprop_parameter_sets=(sps, pps),
                   **kw)

    @classmethod
    def from_packetizer(cls, packetizer, port: int, **kw) -> VideoSdp:
        """A description for the stream an `RtpPacketizer` sends: its payload type, and the
        parameter sets and `profile-level-id` of the latest SPS and PPS it sent (none before
        it sent any)."""
        sets = packetizer.sprop_parameter_sets
        return cls(port=port, payload_type=packetizer.payload_type,
                   profile_level_id=packetizer.profile_level_id,
                   sprop_parameter_sets=tuple(base64.b64decode(s) for s in sets.split(","))
                   if sets else (), **kw)

    @property
    def media_profile(self) -> str:
        """The profile the media line says: `profile`, in its secure form with a key."""
        return "RTP/S" + self.profile[4:] if self.crypto is not None else self.profile

    @property
    def rtcp(self) -> int:
        """The port RTCP goes to."""
        return self.rtcp_port if self.rtcp_port is not None else self.port + 1

    def to_text(self) -> str:
        """The description, lines ended by CRLF."""
        self._check()
        ip = "IP6" if ":" in self.address else "IP4"
        pts = [self.payload_type] + ([self.rtx_payload_type] if self.rtx_payload_type is not None
                                     else [])
        fmtp = [f"packetization-mode={self.packetization_mode}"]
        if self.profile_level_id:
            fmtp.append(f"profile-level-id={self.profile_level_id}")
        if self.sprop_parameter_sets:
            fmtp.append("sprop-parameter-sets=" + ",".join(
                base64.b64encode(nal).decode("ascii") for nal in self.sprop_parameter_sets))
        lines = [
            "v=0",
            f"o=- 0 0 IN {ip} {self.address}",
            f"s={self.session_name}",
            f"c=IN {ip} {self.address}",
            "t=0 0",
            f"m=video {self.port} {self.media_profile} {' '.join(map(str, pts))}",
        ]
        if self.rtcp_port is not None:
            lines.append(f"a=rtcp:{self.rtcp_port}")
        if self.crypto is not None:
            lines.append(f"a=crypto:1 {self.crypto.suite} inline:{self.crypto.inline()}")
        lines.append(f"a=rtpmap:{self.payload_type} H264/90000")
        lines.append(f"a=fmtp:{self.payload_type} {';'.join(fmtp)}")
        lines += [f"a=rtcp-fb:{self.payload_type} {fb}" for fb in self.rtcp_fb]
        if self.transport_cc is not None:
            lines.append(f"a=extmap:{self.transport_cc} {TRANSPORT_CC_URI}")
        if self.rtx_payload_type is not None:
            rtx = f"apt={self.payload_type}"
            if self.rtx_time_ms is not None:
                rtx += f";rtx-time={self.rtx_time_ms}"
            lines.append(f"a=rtpmap:{self.rtx_payload_type} rtx/90000")
            lines.append(f"a=fmtp:{self.rtx_payload_type} {rtx}")
        if self.framerate:
            lines.append(f"a=framerate:{self.framerate:g}")
        return "\r\n".join(lines) + "\r\n"

    def _check(self) -> None:
        # Every value goes into a line of text: nothing may end the line or start another.
        if not 1 <= self.port <= 65534:
            raise SdpError(f"port must be between 1 and 65534, got {self.port}")
        if self.rtcp_port is not None and not 1 <= self.rtcp_port <= 65535:
            raise SdpError(f"rtcp_port must be between 1 and 65535, got {self.rtcp_port}")
        for name in ("payload_type", "rtx_payload_type"):
            pt = getattr(self, name)
            if pt is not None and not 96 <= pt <= 127:
                raise SdpError(f"{name} must be a dynamic payload type (96..127), got {pt}")
        if self.rtx_payload_type == self.payload_type:
            raise SdpError("rtx_payload_type must differ from payload_type")
        if self.transport_cc is not None and (type(self.transport_cc) is not int
                                              or not 1 <= self.transport_cc <= 14):
            raise SdpError(f"transport_cc must be an extension id 1..14, got {self.transport_cc!r}")
        if not _HOST.fullmatch(self.address):
            raise SdpError(f"address must be a host name or an IP address, got {self.address!r}")
        if not self.session_name or any(c in self.session_name for c in "\r\n\0"):
            raise SdpError("session_name must be one line of text")
        if self.profile_level_id is not None and not re.fullmatch(r"[0-9A-Fa-f]{6}",
                                                                  self.profile_level_id):
            raise SdpError(f"profile-level-id must be six hex digits, "
                           f"got {self.profile_level_id!r}")
        if self.packetization_mode not in (0, 1):
            raise SdpError(f"packetization-mode must be 0 or 1, got {self.packetization_mode}")
        if self.profile not in ("RTP/AVP", "RTP/AVPF"):
            raise SdpError(f"profile must be RTP/AVP or RTP/AVPF (a key makes it RTP/SAVP or "
                           f"RTP/SAVPF), got {self.profile!r}")
        if self.crypto is not None and not isinstance(self.crypto, SrtpKey):
            raise SdpError("crypto must be an SrtpKey")
        for fb in self.rtcp_fb:
            if not fb or not all(_TOKEN.fullmatch(word) for word in fb.split(" ")):
                raise SdpError(f"rtcp-fb value must be tokens, got {fb!r}")
        if self.rtx_time_ms is not None and not 0 <= self.rtx_time_ms <= MAX_RTX_TIME_MS:
            raise SdpError(f"rtx_time_ms must be between 0 and {MAX_RTX_TIME_MS}, "
                           f"got {self.rtx_time_ms}")


def _port(text: str, line: str, low: int = 1, high: int = 65535) -> int:
    """The port of `text` (a "/count" after it aside), between `low` and `high`; an SdpError
    names the line it came from."""
    number = text.split("/", 1)[0]
    if not re.fullmatch(r"[0-9]{1,5}", number):
        raise SdpError(f"{line[:80]!r}: not a port: {number[:40]!r}")
    port = int(number)
    if not low <= port <= high:
        raise SdpError(f"{line[:80]!r}: port out of range ({low}..{high}): {port}")
    return port


def _payload_type(text: str, line: str) -> int:
    if not re.fullmatch(r"[0-9]{1,3}", text) or int(text) > 127:
        raise SdpError(f"{line[:80]!r}: payload type out of range (0..127): {text[:40]!r}")
    return int(text)


def _fmtp_params(text: str) -> dict[str, str]:
    params = {}
    for part in text.split(";"):
        key, sep, value = part.strip().partition("=")
        if key:
            params[key.strip().lower()] = value.strip() if sep else ""
    return params


@dataclass
class _Fields:
    """A section's rtpmap encodings, fmtp parameters and rtcp-fb values by payload type (-1:
    `*`), and the fmtp line each payload type's parameters came from."""

    rtpmap: dict[int, str] = field(default_factory=dict)
    fmtp: dict[int, dict[str, str]] = field(default_factory=dict)
    fb: dict[int, list[str]] = field(default_factory=dict)
    fmtp_line: dict[int, str] = field(default_factory=dict)


def _section_fields(lines: list[str]) -> _Fields:
    out = _Fields()
    for line in lines:
        if not line.startswith("a="):
            continue
        name, _, value = line[2:].partition(":")
        pt_text, _, rest = value.partition(" ")
        if name not in ("rtpmap", "fmtp", "rtcp-fb"):
            continue
        if pt_text == "*" and name == "rtcp-fb":
            pt = -1
        else:
            try:
                pt = int(pt_text)
            except ValueError:
                continue
        if name == "rtpmap":
            out.rtpmap[pt] = rest.strip()
        elif name == "fmtp":
            out.fmtp[pt] = _fmtp_params(rest)
            out.fmtp_line[pt] = line
        else:
            out.fb.setdefault(pt, []).append(" ".join(rest.split()))
    return out


def parse_sdp(text: str | bytes) -> VideoSdp:
    """The first H.264 stream (packetization mode 0 or 1) of a description's video sections."""
    if isinstance(text, bytes):
        if len(text) > MAX_SDP_BYTES:
            raise SdpError(f"description longer than {MAX_SDP_BYTES} bytes")
        text = text.decode("utf-8", errors="replace")
    if len(text) > MAX_SDP_BYTES:
        raise SdpError(f"description longer than {MAX_SDP_BYTES} bytes")
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    if len(lines) > MAX_LINES:
        raise SdpError(f"description of more than {MAX_LINES} lines")
    if not lines or lines[0] != "v=0":
        raise SdpError("a description starts with v=0")
    # The session part, then one section per m= line.
    sections: list[list[str]] = [[]]
    for line in lines:
        if line.startswith("m="):
            sections.append([])
        sections[-1].append(line)
    session = sections[0]
    session_address = _connection(session)
    name = next((line[2:] for line in session if line.startswith("s=")), "")
    unusable: SdpError | None = None
    for section in sections[1:]:
        media = section[0][2:].split()
        if len(media) < 4 or media[0] != "video" or not media[2].upper().startswith("RTP/"):
            continue
        fields = _section_fields(section)
        found = _h264_payload(section[0], media[3:], fields)
        if found is None:
            continue
        try:
            # Port 0 is a stream turned off; RTCP needs the port after it.
            port = _port(media[1], section[0], 1, 65534)
        except SdpError as err:  # a later section may still serve
            unusable = unusable or err
            continue
        pt, mode = found
        sdp = _stream(section, session_address, name, port, pt, mode, fields, media[2])
        if sdp.transport_cc is None:  # said for every section
            sdp.transport_cc = _extmap(session, TRANSPORT_CC_URI)
        return sdp
    raise unusable or SdpError("no H.264 video stream with packetization mode 0 or 1")


def _h264_payload(line: str, pts: list[str], fields: _Fields) -> tuple[int, int] | None:
    """The first of a media line's payload types that is H.264 in mode 0 or 1, with its mode."""
    for pt_text in pts:
        try:
            int(pt_text)
        except ValueError:
            continue
        pt = _payload_type(pt_text, line)
        encoding = fields.rtpmap.get(pt, "").split("/")
        if len(encoding) < 2 or encoding[0].upper() != "H264" or encoding[1] != "90000":
            continue
        params = fields.fmtp.get(pt, {})
        try:
            mode = int(params.get("packetization-mode", "0"))
        except ValueError:
            raise SdpError("packetization-mode is not a number") from None
        if mode in (0, 1):
            return pt, mode
    return None


def _connection(lines: list[str]) -> str | None:
    for line in lines:
        if line.startswith("c="):
            parts = line[2:].split()
            if len(parts) >= 3:
                return parts[2].split("/", 1)[0]
    return None


def _stream(section, session_address, name, port, pt, mode, fields: _Fields,
            profile) -> VideoSdp:
    params = fields.fmtp.get(pt, {})
    sprop: list[bytes] = []
    for item in filter(None, params.get("sprop-parameter-sets", "").split(",")):
        try:
            sprop.append(base64.b64decode(item, validate=True))
        except (binascii.Error, ValueError):
            raise SdpError(f"sprop-parameter-sets: not base64: {item[:40]!r}") from None
    profile_level_id = params.get("profile-level-id")
    if profile_level_id is not None and not re.fullmatch(r"[0-9A-Fa-f]{6}", profile_level_id):
        raise SdpError(f"profile-level-id must be six hex digits, got {profile_level_id[:40]!r}")
    rtcp_port = None
    framerate = None
    for line in section:
        if line.startswith("a=rtcp:"):
            rtcp_port = _port(line[7:].split()[0] if line[7:].split() else "", line)
        elif line.startswith("a=framerate:"):
            try:
                framerate = float(line[12:])
            except ValueError:
                pass
    rtx_pt, rtx_time = _rtx(pt, fields)
    address = _connection(section) or session_address or "127.0.0.1"
    transport_cc = _extmap(section, TRANSPORT_CC_URI)
    profile = profile.upper()
    crypto = _crypto(section, profile)
    return VideoSdp(port=port, address=address, payload_type=pt,
                    profile_level_id=profile_level_id, sprop_parameter_sets=tuple(sprop),
                    packetization_mode=mode, rtcp_port=rtcp_port,
                    rtcp_fb=tuple(fields.fb.get(pt, []) + fields.fb.get(-1, [])),
                    rtx_payload_type=rtx_pt,
                    rtx_time_ms=rtx_time, framerate=framerate, session_name=name or "-",
                    profile="RTP/" + profile[5:] if profile.startswith("RTP/S") else profile,
                    fmtp=dict(params), crypto=crypto, transport_cc=transport_cc)


def _extmap(lines: list[str], uri: str) -> int | None:
    """The id `a=extmap:ID[/DIRECTION] URI` gives the extension `uri`; None when no line of
    the one-byte form's ids (1..14) names it."""
    for line in lines:
        if not line.startswith("a=extmap:"):
            continue
        parts = line[9:].split()
        if len(parts) < 2 or parts[1] != uri:
            continue
        number = parts[0].split("/", 1)[0]
        if re.fullmatch(r"[0-9]{1,2}", number) and 1 <= int(number) <= 14:
            return int(number)
    return None


def _crypto(section: list[str], profile: str) -> SrtpKey | None:
    """The SRTP key of a section: its first `a=crypto` line (RFC 4568) of a suite we have
    that we can use. A secure profile (RTP/SAVP, RTP/SAVPF) needs one; so does a plain one
    with `a=crypto` lines (some senders say RTP/AVP and a key). An error never shows the key:
    it names the line by its tag and suite alone."""
    offers = [line[9:] for line in section if line.startswith("a=crypto:")]
    if not offers and not profile.startswith("RTP/S"):
        return None
    refusal = None
    for offer in offers:
        try:
            return _crypto_offer(offer)
        except SdpError as err:
            refusal = refusal or err
    if refusal is not None:
        raise refusal
    raise SdpError(f"the profile {profile} is SRTP but the description has no a=crypto key")


def _crypto_offer(value: str) -> SrtpKey:
    parts = value.split()
    # What an error may show: a tag of digits and a suite's name, never a word that may be
    # (part of) a key.
    tag = parts[0] if parts and re.fullmatch(r"[0-9]{1,9}", parts[0]) else None
    suite = parts[1] if len(parts) > 1 and re.fullmatch(r"[A-Z0-9_]{1,40}", parts[1]) else None
    where = f"a=crypto:{tag or '?'} {suite or '?'}"
    if len(parts) < 3 or tag is None or suite is None:
        raise SdpError(f"{where}: want a=crypto:TAG SUITE inline:KEY")
    if suite not in SRTP_SUITES:
        raise SdpError(f"{where}: the suite is not one of {', '.join(SRTP_SUITES)}")
    if len(parts) > 3:
        raise SdpError(f"{where}: session parameters are not supported")
    # Key parameters: the first of those separated by ';', each inline:KEY[|LIFETIME][|MKI:LEN].
    method, _, key = parts[2].split(";")[0].partition(":")
    if method != "inline":
        raise SdpError(f"{where}: the key method must be inline")
    key, *extra = key.split("|")
    if any(":" in part for part in extra):
        raise SdpError(f"{where}: keys with an MKI are not supported")
    try:
        return SrtpKey.from_inline(key, suite)
    except SrtpKeyError as err:
        raise SdpError(f"{where}: {err}") from None


def _rtx(pt: int, fields: _Fields) -> tuple[int | None, int | None]:
    """The payload type of the RTX stream for `pt` and its rtx-time (None: not said or not a
    number); an SdpError names an fmtp line with values the receiver cannot use."""
    for other, encoding in fields.rtpmap.items():
        if encoding.split("/")[0].lower() != "rtx" or \
                fields.fmtp.get(other, {}).get("apt") != str(pt):
            continue
        line = fields.fmtp_line[other]
        if not 0 <= other <= 127:
            raise SdpError(f"{line[:80]!r}: RTX payload type out of range (0..127): {other}")
        text = fields.fmtp[other].get("rtx-time", "")
        if not re.fullmatch(r"[0-9]+", text):
            return other, None
        if len(text) > 9 or int(text) > MAX_RTX_TIME_MS:
            raise SdpError(f"{line[:80]!r}: rtx-time out of range (0..{MAX_RTX_TIME_MS} ms): "
                           f"{text[:40]}")
        return other, int(text)
    return None, None

