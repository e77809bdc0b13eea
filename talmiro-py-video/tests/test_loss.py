"""Loss-aware receiving: a lost reference picture is seen in the bitstream, the pictures it
damages come out flagged `recovering`, and the receiver asks for an IDR at once.

The oracle is a lossless shadow decoder that sees every access unit: libavcodec's decoding is
deterministic, so a picture of the lossy decoder that differs from the shadow's was damaged."""
import functools
import shutil
import subprocess

import pytest

import talmiro_sdk_video._codec as codec

W, H, FPS = 320, 240, 30
FRAME_US = 1_000_000 // FPS


def link(frames, drops=(), rtt=2, intra_refresh=True, idr_at=(), bitrate_at=None, cut=None,
         **decoder_kwargs):
    """Encodes pattern pictures with the link's settings, loses the access units of `drops`,
    keeps of unit n only the first `cut[n][0]` of its bytes, passed with `complete=cut[n][1]`,
    and answers "request_idr" after `rtt` frames. Returns, per picture of the lossy decoder,
    (frame, key, recovering, equal to the shadow's), the signals by frame and both decoders."""
    enc = codec.H264Encoder(W, H, fps=FPS, bitrate_kbps=600, intra_refresh=intra_refresh)
    pattern = codec.TestPattern(W, H, fps=FPS)
    lossy = codec.H264Decoder(**decoder_kwargs)
    shadow = codec.H264Decoder()
    due, pictures, signals = [], [], {}
    for n in range(frames):
        if n in idr_at or n in due:
            enc.request_idr()
        if bitrate_at and n in bitrate_at:
            enc.set_bitrate_kbps(bitrate_at[n])
        t_us = 1_000 + n * FRAME_US
        for data, t, key, config, recovery, _ in enc.encode(pattern.next(t_us), t_us):
            want = {p.t_us: p.tobytes() for p in shadow.decode(data, t, key, config, recovery)}
            if n in drops:
                continue
            complete = True
            if cut and n in cut:
                keep, complete = cut[n]
                data = data[:int(len(data) * keep)]
            for p in lossy.decode(data, t, key, config, recovery, complete):
                pictures.append((n, key, p.recovering, want.get(p.t_us) == p.tobytes()))
            signal = lossy.take_signal()
            if signal is not None:
                signals[n] = signal
                if signal == "request_idr":
                    due.append(n + rtt)
    enc.close()
    return pictures, signals, lossy, shadow


@pytest.mark.parametrize("intra_refresh", [True, False])
@pytest.mark.parametrize("drops", [{20}, {20, 21, 22}, {15, 40}])
def test_every_damaged_picture_is_flagged_and_the_requested_idr_ends_it(intra_refresh, drops):
    pictures, signals, lossy, _ = link(80, drops, intra_refresh=intra_refresh)
    assert [n for n, _, flagged, same in pictures if not same and not flagged] == []
    assert any(not same for *_, same in pictures)
    # The first access unit after each run of drops asks at once.
    firsts = sorted(n + 1 for n in drops if n + 1 not in drops)
    assert [n for n, s in signals.items() if s == "request_idr"] == firsts
    stats = lossy.stats()
    assert stats["sync"]["losses"] == len(firsts)
    assert stats["recovering"] == sum(flagged for _, _, flagged, _ in pictures)
    # From the requested IDR on, pictures are bit-exact and not flagged until the next loss.
    for first in firsts:
        idr = next(n for n, key, *_ in pictures if key and n > first)
        assert idr == first + 2
        after = [p for p in pictures if idr <= p[0] < min([d for d in drops if d > idr] + [99])]
        assert after and all(same and not flagged for _, _, flagged, same in after)


@pytest.mark.parametrize("burst", [14, 15, 16, 17])
def test_bursts_that_bring_frame_num_round_are_seen(burst):
    # frame_num wraps every 16 units here: after 15 or 16 lost units it looks right again, and
    # the jump in the capture stamps tells.
    drops = set(range(20, 20 + burst))
    pictures, signals, lossy, _ = link(80, drops, intra_refresh=False)
    assert [n for n, _, flagged, same in pictures if not same and not flagged] == []
    assert lossy.stats()["sync"]["losses"] == 1
    assert signals.get(20 + burst) == "request_idr"


@pytest.mark.parametrize("keep", [0.5, 0.9])
@pytest.mark.parametrize("complete", [True, False])
def test_cut_units_are_flagged_and_ask_for_an_idr(keep, complete):
    # Passed as complete, libavcodec conceals the cut and says so; passed as incomplete, the
    # decoder knows at once. Either way the stream is damaged until the IDR picture asked for,
    # which decodes exactly.
    pictures, signals, lossy, _ = link(40, cut={5: (keep, complete)}, intra_refresh=False)
    assert [n for n, _, flagged, same in pictures if not same and not flagged] == []
    assert signals.get(5) == "request_idr"
    assert lossy.stats()["sync"]["losses"] == 1
    assert all(same and not flagged for n, _, flagged, same in pictures if n >= 7)


def test_switched_off_flags_but_does_not_request():
    pictures, signals, lossy, _ = link(50, {20}, request_idr_on_loss=False)
    assert signals == {}
    assert [n for n, _, flagged, same in pictures if not same and not flagged] == []
    assert lossy.stats()["sync"]["losses"] == 1 and lossy.stats()["sync"]["idr_requests"] == 0


@pytest.mark.parametrize("intra_refresh", [True, False])
def test_loss_free_streams_see_nothing(intra_refresh):
    # Forced IDRs, bitrate changes and several wraps of frame_num (MaxFrameNum is 16 here).
    pictures, signals, lossy, _ = link(70, intra_refresh=intra_refresh, idr_at={9, 10, 33},
                                       bitrate_at={5: 200, 25: 1500, 50: 300})
    assert signals == {}
    assert len(pictures) == 70
    assert all(same and not flagged for *_, flagged, same in pictures)
    assert lossy.stats()["sync"]["losses"] == 0 and lossy.stats()["recovering"] == 0


# Streams made by the ffmpeg command line (its libx264), split into access units at the access
# unit delimiters it is told to insert.
FFMPEG = shutil.which("ffmpeg")
STREAMS = {
    "main": ["-profile:v", "main", "-bf", "0", "-x264-params", "keyint=24"],
    "high b-frames": ["-profile:v", "high", "-bf", "3", "-x264-params", "b-pyramid=none"],
    "high b-pyramid cqm": ["-profile:v", "high", "-bf", "3",
                           "-x264-params", "b-pyramid=normal:cqm=jvt:keyint=40"],
    "high slices": ["-profile:v", "high", "-bf", "2", "-x264-params", "slices=4:b-pyramid=none"],
    "intra refresh": ["-profile:v", "main", "-bf", "0",
                      "-x264-params", "intra-refresh=1:keyint=20"],
}


def nal_units(data):
    """(type, nal_ref_idc, first byte offset) of each NAL unit."""
    out, i = [], data.find(b"\x00\x00\x01")
    while i >= 0 and i + 3 < len(data):
        header = data[i + 3]
        out.append((header & 0x1F, header >> 5 & 3, i + 3))
        i = data.find(b"\x00\x00\x01", i + 3)
    return out


@functools.cache
def ffmpeg_stream(name):
    """Access units (data, key, reference) of 60 pictures of a moving test source."""
    cmd = [FFMPEG, "-hide_banner", "-loglevel", "error", "-f", "lavfi",
           "-i", "testsrc2=size=160x96:rate=25", "-frames:v", "60", "-c:v", "libx264",
           *STREAMS[name], "-bsf:v", "h264_metadata=aud=insert", "-f", "h264", "-"]
    raw = subprocess.run(cmd, check=True, capture_output=True).stdout
    starts = [pos for t, _, pos in nal_units(raw) if t == 9]
    units = []
    for begin, end in zip(starts, starts[1:] + [len(raw) + 3]):
        data = raw[begin - 3:end - 3].rstrip(b"\x00")
        nals = nal_units(data)
        key = any(t == 5 for t, _, _ in nals)
        reference = any(t in (1, 5) and ref for t, ref, _ in nals)
        units.append((data, key, reference))
    assert len(units) == 60
    return units


def decode_stream(units, drop=None):
    dec = codec.H264Decoder()
    signals = []
    for i, (data, key, _) in enumerate(units):
        if i == drop:
            continue
        dec.decode(data, 1_000 * i, key)
        if dec.take_signal() is not None:
            signals.append(i)
    return dec.stats(), signals


@pytest.mark.skipif(FFMPEG is None, reason="the ffmpeg command line tool is not installed")
@pytest.mark.parametrize("name", STREAMS)
def test_ffmpeg_streams(name):
    units = ffmpeg_stream(name)
    stats, signals = decode_stream(units)
    assert (stats["sync"]["losses"], stats["recovering"], signals) == (0, 0, [])
    assert stats["images"] >= 55
    # A lost reference picture is seen at the next access unit; a lost non-reference one is no
    # loss at all.
    ref = next(i for i, (_, key, reference) in enumerate(units) if i > 10 and reference and not key)
    stats, signals = decode_stream(units, drop=ref)
    assert stats["sync"]["losses"] == 1 and signals[:1] == [ref + 1]
    non_ref = [i for i, (_, _, reference) in enumerate(units) if not reference]
    assert bool(non_ref) == ("b-frames" in name or "b-pyramid" in name or "slices" in name)
    for drop in non_ref[:3]:
        stats, signals = decode_stream(units, drop=drop)
        assert (stats["sync"]["losses"], signals) == (0, []), drop
