"""Our send and receive commands against Debian's ffmpeg and GStreamer on loopback: each takes
the other's stream, feedback (PLI, NACK) works both ways through the relay, and hostile
datagrams sent to the running commands are counted without harming the stream.

Every tool listens on ports picked free here (`udpsrc reuse=false`, so a port taken twice fails
loudly), runs for a few seconds at most and is stopped by its own pid, SIGINT then SIGKILL."""

import base64
import json
import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

import talmiro_sdk_video._codec as codec
from talmiro_sdk_video._net import free_pair
from talmiro_sdk_video.receiver import RtpReceiver
from talmiro_sdk_video.relay import Relay, RelayConfig
from talmiro_sdk_video.sdp import TRANSPORT_CC_URI, parse_sdp
from test_cli import split_access_units

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "talmiro-media" / "testing"))
from tool_processes import port_bound, stop  # noqa: E402

LOCAL = "127.0.0.1"
CLI = [sys.executable, "-m", "talmiro_sdk_video"]
W, H = 320, 240
SIZE = f"{W}x{H}"
FRAME_BYTES = W * H * 3 // 2
RTP_CAPS = "application/x-rtp,media=video,clock-rate=90000,encoding-name=H264,payload=96"
FEEDBACK_CAPS = RTP_CAPS + ",rtcp-fb-nack=(boolean)true,rtcp-fb-nack-pli=(boolean)true"
GST_SOURCE = ("videotestsrc is-live=true num-buffers={frames} ! "
              f"video/x-raw,width={W},height={H},framerate=30/1,format=I420 ! "
              "x264enc tune=zerolatency speed-preset=ultrafast bitrate=400 key-int-max={gop} ! "
              "rtph264pay mtu=1200 config-interval=-1 pt=96 ! ")


def need(tool: str) -> None:
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed (scripts/setup.sh installs it)")


def wait_bound(port: int, proc: subprocess.Popen, seconds: float = 10.0) -> None:
    """Waits until a tool has bound `port`, or fails the test."""
    if not port_bound(port, proc, seconds, LOCAL):
        pytest.fail(f"port {port} was not bound: {proc.args} said {stop(proc)}")


@pytest.fixture
def spawn() -> Iterator:
    started: list[subprocess.Popen] = []

    def run(argv: list[str]) -> subprocess.Popen:
        # The tools are not ours: a sanitizer runtime preloaded for our module stays out of them.
        env = None if argv[0] == sys.executable else \
            {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env)
        started.append(proc)
        return proc
    yield run
    for proc in started:
        stop(proc)


def gst(pipeline: str, eos: bool = False) -> list[str]:
    """gst-launch-1.0 with this pipeline; with `eos`, SIGINT lets the sinks finish (a pipeline
    with rtpbin's RTCP source never does, so only the file writer asks for it)."""
    need("gst-launch-1.0")
    return ["gst-launch-1.0", "-q", *(["-e"] if eos else []), *pipeline.split()]


def send_cmd(to_port: int, frames: int, *extra: str) -> list[str]:
    return CLI + ["send", "--to", f"{LOCAL}:{to_port}", "--bind", LOCAL, "--size", SIZE,
                  "--frames", str(frames), "--json", "--no-progress", *extra]


def summary(text: str) -> dict:
    return json.loads(text.splitlines()[-1])


def our_decode(path: Path) -> list[bytes]:
    """The pictures our decoder makes of a saved stream, as I420 bytes."""
    dec = codec.H264Decoder()
    out = [p.tobytes() for n, au in enumerate(split_access_units(path.read_bytes()))
           for p in dec.decode(au, n, n == 0, n == 0, False)]
    out += [p.tobytes() for p in dec.flush()]
    dec.close()
    return out


def raw_frames(path: Path) -> list[bytes]:
    data = path.read_bytes()
    assert len(data) % FRAME_BYTES == 0
    return [data[i:i + FRAME_BYTES] for i in range(0, len(data), FRAME_BYTES)]


# ---- our stream into ffmpeg and GStreamer ----

@pytest.mark.parametrize("player", ["ffmpeg", "gstreamer"])
def test_players_decode_our_stream_bit_exact(player, tmp_path, spawn):
    port = free_pair()
    sdp_path, raw = tmp_path / "s.sdp", tmp_path / "out.yuv"
    # The description comes from a one-picture run: the same settings give the same parameter
    # sets, so the player can listen before the stream starts.
    subprocess.run(send_cmd(port, 1, "--sdp", str(sdp_path)), check=True, capture_output=True,
                   timeout=60)
    sdp = parse_sdp(sdp_path.read_bytes())
    if player == "ffmpeg":
        need("ffmpeg")
        proc = spawn(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
                      "-protocol_whitelist", "file,udp,rtp", "-i", str(sdp_path),
                      "-vsync", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p",
                      str(raw)])
    else:
        sprop = ",".join(base64.b64encode(s).decode()
                         for s in sdp.sprop_parameter_sets)
        caps = (f"application/x-rtp,media=video,clock-rate=90000,encoding-name=H264,"
                f"payload={sdp.payload_type},packetization-mode=(string)1,"
                f"sprop-parameter-sets=(string)\"{sprop}\"")
        proc = spawn(gst(f"rtpbin name=rb latency=50 udpsrc port={port} reuse=false caps={caps}"
                         f" ! rb.recv_rtp_sink_0 udpsrc port={port + 1} reuse=false ! "
                         "rb.recv_rtcp_sink_0 rb. ! rtph264depay ! avdec_h264 ! "
                         f"video/x-raw,format=I420 ! filesink location={raw}", eos=True))
    err = play_45(port, proc, tmp_path)
    assert "error" not in err.lower(), err
    assert_shown_exact(tmp_path / "sent.h264", raw)


def play_45(port: int, player: subprocess.Popen, tmp_path: Path, *extra: str) -> str:
    """Sends 45 pictures to a `player` listening on `port` (saved to tmp_path/sent.h264, its
    description to tmp_path/again.sdp, which must be tmp_path/s.sdp again); the player's
    stderr once it is stopped."""
    wait_bound(port, player)
    sent = subprocess.run(send_cmd(port, 45, *extra, "--sdp", str(tmp_path / "again.sdp"),
                                   "--save", str(tmp_path / "sent.h264")),
                          capture_output=True, text=True, timeout=60)
    assert sent.returncode == 0, sent.stderr
    time.sleep(0.5)
    _, err = stop(player)
    assert (tmp_path / "again.sdp").read_bytes() == (tmp_path / "s.sdp").read_bytes()
    return err


def assert_shown_exact(sent: Path, raw: Path) -> None:
    """The player's pictures are our decode of what was sent, all but the last few."""
    ours, theirs = our_decode(sent), raw_frames(raw)
    assert len(ours) == 45
    # ffmpeg holds the last unit until the next one comes; on SIGINT it may drop a few.
    assert len(ours) - 3 <= len(theirs) <= len(ours)
    assert theirs == ours[:len(theirs)]


# ---- their streams into our receiver ----

FFMPEG_X264 = {
    "ffmpeg-zerolatency": ["-preset", "ultrafast", "-tune", "zerolatency", "-bf", "0"],
    "ffmpeg-bframes": ["-preset", "veryfast", "-bf", "2"],
}


@pytest.mark.parametrize("sender", [*FFMPEG_X264, "gstreamer"])
def test_foreign_senders_received_clean(sender, spawn):
    port = free_pair()
    receiver = spawn(CLI + ["receive", "--port", str(port), "--bind", LOCAL, "--seconds", "20",
                            "--json", "--no-progress"])
    wait_bound(port, receiver)
    if sender == "gstreamer":
        tool = spawn(gst("rtpbin name=rb " + GST_SOURCE.format(frames=45, gop=30) +
                         "rb.send_rtp_sink_0 rb.send_rtp_src_0 ! "
                         f"udpsink host={LOCAL} port={port} rb.send_rtcp_src_0 ! "
                         f"udpsink host={LOCAL} port={port + 1} sync=false async=false"))
    else:
        need("ffmpeg")
        tool = spawn(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-re",
                      "-f", "lavfi", "-i", f"testsrc=size={SIZE}:rate=30", "-frames:v", "45",
                      "-pix_fmt", "yuv420p", "-c:v", "libx264", *FFMPEG_X264[sender],
                      "-g", "30", "-b:v", "400k", "-f", "rtp", f"rtp://{LOCAL}:{port}"])
    # gst-launch with rtpbin does not end by itself (its RTCP source runs on), but rtpbin says
    # BYE when the pictures end, and receive ends at the BYE; ffmpeg ends, and sends no BYE.
    try:
        (receiver if sender == "gstreamer" else tool).wait(20)
    except subprocess.TimeoutExpired:
        pass
    _, tool_err = stop(tool)
    time.sleep(0.4)
    out, err = stop(receiver)
    r = summary(out)
    assert r["packets_received"] > 0, (tool_err, err)
    assert r["packets_refused"] == r["rtcp_refused"] == 0, r["refused"]
    assert r["packets_lost"] == r["units_incomplete"] == r["flagged"] == 0
    assert r["losses"] == r["decoder_errors"] == r["plis_sent"] == 0
    # A sender held up in the middle of a unit (a loaded machine) has its tail asked for; that
    # is the only NACK a stream that lost nothing may cost.
    assert r["nacks_sent"] <= r["tail_nacks"] <= 2
    # A B-picture stream leaves the last two pictures in the decoder.
    assert 43 <= r["pictures"] <= 45
    assert r["psnr_mean_db"] is None and r["wrong_share"] is None


# ---- feedback both ways through the relay ----

def test_gstreamer_receiver_pli_makes_our_sender_send_idr(spawn):
    rx_port, out_port = free_pair(), free_pair()
    receiver = spawn(gst(
        f"rtpbin name=rb rtp-profile=avpf latency=50 udpsrc port={rx_port} reuse=false "
        f"caps={FEEDBACK_CAPS} ! rb.recv_rtp_sink_0 udpsrc port={rx_port + 1} reuse=false ! "
        "rb.recv_rtcp_sink_0 rb. ! rtph264depay request-keyframe=true ! avdec_h264 ! fakesink "
        f"rb.send_rtcp_src_0 ! udpsink host={LOCAL} port={out_port + 1} sync=false async=false"))
    wait_bound(rx_port, receiver)
    cfg = RelayConfig(loss=0.05, seed=3, clean_back=True)
    with Relay((LOCAL, 0), (LOCAL, rx_port), cfg, out_port=out_port) as relay:
        sent = subprocess.run(send_cmd(relay.listen_address[1], 90, "--stream-seed", "3"),
                              capture_output=True, text=True, timeout=60)
        lost = relay.counters()["forward"]["lost"]
    _, err = stop(receiver)
    assert sent.returncode == 0, sent.stderr
    s = summary(sent.stdout)
    assert lost > 0 and s["plis_received"] + s["firs_received"] > 0, err
    assert s["idr_from_feedback"] > 0 and s["idr_pictures"] == 1 + s["idr_from_feedback"]


def test_gstreamer_receiver_sends_transport_wide_feedback_our_sender_follows(spawn):
    rx_port, tx_port = free_pair(), free_pair()
    caps = f"{FEEDBACK_CAPS},extmap-3=(string){TRANSPORT_CC_URI}"
    receiver = spawn(gst(
        f"rtpbin name=rb rtp-profile=avpf latency=50 udpsrc port={rx_port} reuse=false "
        f"caps={caps} ! rb.recv_rtp_sink_0 udpsrc port={rx_port + 1} reuse=false ! "
        "rb.recv_rtcp_sink_0 rb. ! rtph264depay ! avdec_h264 ! fakesink "
        f"rb.send_rtcp_src_0 ! udpsink host={LOCAL} port={tx_port + 1} sync=false async=false"))
    wait_bound(rx_port, receiver)
    sent = subprocess.run(send_cmd(rx_port, 60, "--port", str(tx_port)), capture_output=True,
                          text=True, timeout=60)
    stop(receiver)
    assert sent.returncode == 0, sent.stderr
    s = summary(sent.stdout)
    controller = s["congestion"]["receivers"][0]
    assert s["transport_feedback_received"] > 0 and controller["packets_acked"] > 0
    assert s["feedback_refused"] == 0 and s["congestion"]["feedback_unknown"] == 0


class KeyUnits:
    """A receiver's `on_unit`: for each key unit it takes, the PLIs it had sent before it."""

    def __init__(self) -> None:
        self.plis_before: list[int] = []
        self.receiver: RtpReceiver | None = None

    def __call__(self, unit: tuple, t_us: int) -> None:
        if unit[4] and self.receiver is not None:
            self.plis_before.append(self.receiver.stats()["plis_sent"])

    def after_pli(self) -> bool:
        return any(before > 0 for before in self.plis_before)


def test_our_pli_makes_gstreamer_sender_send_idr(spawn):
    feedback_port = free_pair()
    keys = KeyUnits()
    cfg = RelayConfig(loss=0.05, seed=4, clean_back=True)
    with RtpReceiver(0, bind=LOCAL, nack=False, on_unit=keys) as rx:
        keys.receiver = rx
        with Relay((LOCAL, 0), rx.address, cfg, rtcp_back=(LOCAL, feedback_port)) as relay:
            listen = relay.listen_address[1]
            # Its own key pictures are 1000 frames apart: one after our PLI answers it.
            sender = spawn(gst(
                "rtpbin name=rb " + GST_SOURCE.format(frames=120, gop=1000) +
                "rb.send_rtp_sink_0 rb.send_rtp_src_0 ! "
                f"udpsink host={LOCAL} port={listen} rb.send_rtcp_src_0 ! "
                f"udpsink host={LOCAL} port={listen + 1} sync=false async=false "
                f"udpsrc port={feedback_port} reuse=false ! rb.recv_rtcp_sink_0"))
            deadline = time.monotonic() + 15
            while sender.poll() is None and time.monotonic() < deadline:
                rx.receive(timeout=0.05)
            _, err = stop(sender)
        s = rx.stats()
    assert s["plis_sent"] > 0 and s["packets_lost"] > 0, err
    assert keys.after_pli(), keys.plis_before


def _rtp(seq: int, ssrc: int, payload: bytes, pt: int = 96, version: int = 2) -> bytes:
    return struct.pack(">BBHII", version << 6, pt, seq & 0xFFFF, 0, ssrc) + payload


def test_commands_nack_answered_and_hostile_datagrams_counted(spawn):
    """send and receive as processes through the lossy relay: the receiver's NACKs bring the
    lost packets back; datagrams from a stranger (our SSRC among them) to both are counted and
    the stream still decodes."""
    rx_port, out_port, tx_port, seed = free_pair(), free_pair(), free_pair(), 12
    receiver = spawn(CLI + ["receive", "--port", str(rx_port), "--bind", LOCAL, "--sender",
                            f"{LOCAL}:{out_port}", "--seconds", "20", "--json", "--no-progress"])
    wait_bound(rx_port, receiver)
    # The SSRC `send --stream-seed` takes.
    ssrc = random.Random(f"talmiro-stream/{seed}").getrandbits(32)
    media = [bytes(random.Random(5).getrandbits(8) for _ in range(200)), b"\x80\x60\x00",
             _rtp(1, ssrc, b"\x65\x88", version=1), _rtp(7, ssrc, b"\x3c\x05\x88\x84"),
             _rtp(8, ssrc, b"\x18\x00\x40\x67"), *(_rtp(s, ssrc, b"\x65" + bytes(40))
                                                  for s in range(20))]
    rtcp = [b"\x81\xc9\x00\x40" + bytes(20), b"\x81", b"\x80\xcd\x00\x02\x00\x00",
            b"\x81\xcd\x00\x09" + struct.pack(">II", 1, ssrc)]
    cfg = RelayConfig(loss=0.03, seed=seed, clean_back=True)
    with Relay((LOCAL, 0), (LOCAL, rx_port), cfg, out_port=out_port) as relay, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stranger:
        sender = spawn(send_cmd(relay.listen_address[1], 60, "--port", str(tx_port),
                                "--stream-seed", str(seed)))
        time.sleep(1.0)
        for data in media:
            stranger.sendto(data, (LOCAL, rx_port))
        for data in rtcp:
            stranger.sendto(data, (LOCAL, rx_port + 1))
            stranger.sendto(data, (LOCAL, tx_port + 1))
        sender.wait(30)
        out, err = receiver.communicate(timeout=30)
    s, r = summary(stop(sender)[0]), summary(out)
    assert r["refused_foreign_source"] == r["packets_refused"] == len(media), r["refused"]
    # RTCP is taken from any port of the sender's host (GStreamer's comes from a port of its
    # own): the stranger's is read, and refused for its lengths.
    assert r["rtcp_refused"] >= len(rtcp) and s["rtcp_refused"] >= len(rtcp)
    assert r["nacks_sent"] > 0 and r["packets_recovered"] > 0, r
    assert s["nacks_received"] > 0 and s["packets_resent"] >= r["packets_recovered"]
    assert (r["pictures"], r["flagged"], r["wrong_share"]) == (60, 0, 0.0), json.dumps((r, s)) + err
