"""Thread stress: separate links on separate threads, the lock-free encoder controls hammered
during encode, objects shared by several threads, and close() racing calls in progress.

Every thread is joined with a bound, so a deadlock fails the test instead of hanging it.
"""

import random
import threading
import time

import numpy as np
import pytest

import talmiro_sdk_video._codec as codec

FRAME_US = 33_333
JOIN_S = 60.0
GOOD_PSNR_DB = 35.0


def run_threads(*targets):
    """Runs each callable on its own thread; re-raises the first failure; fails on a hang."""
    errors = []

    def guard(fn):
        def body():
            try:
                fn()
            except BaseException as exc:  # noqa: BLE001 - handed to the main thread
                errors.append(exc)

        return body

    threads = [threading.Thread(target=guard(fn), daemon=True) for fn in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + JOIN_S
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "a thread did not finish: deadlock?"
    if errors:
        raise errors[0]


def encoder(width=160, height=120, **kw):
    return codec.H264Encoder(width, height, backend="x264", **kw)


def encoded_stream(frames, width=320, height=240):
    enc = encoder(width, height)
    pattern = codec.TestPattern(width, height)
    units = []
    for n in range(frames):
        units += enc.encode(pattern.next(n * FRAME_US), n * FRAME_US)
    enc.close()
    return units


def test_separate_links_on_separate_threads():
    frames, counts = 120, {}

    def link(k):
        def body():
            width, height = 96 + 32 * k, 64 + 16 * k
            enc = encoder(width, height, keyframe_interval=10 + k)
            dec = codec.H264Decoder()
            pattern = codec.TestPattern(width, height, speed=k + 1)
            out = 0
            for n in range(frames):
                picture = pattern.next(n * FRAME_US)
                for data, t_us, key, config, recovery, _ in enc.encode(picture, n * FRAME_US):
                    for image in dec.decode(data, t_us, key, config, recovery):
                        assert (image.width, image.height) == (width, height)
                        assert image.t_us == n * FRAME_US
                        assert codec.psnr(image.y, picture.y) >= GOOD_PSNR_DB
                        out += 1
            counts[k] = (out, enc.stats()["frames_in"], dec.stats()["images"])

        return body

    run_threads(*(link(k) for k in range(4)))
    assert counts == {k: (frames, frames, frames) for k in range(4)}


def test_controls_hammered_during_encode():
    enc = encoder(320, 240)
    dec = codec.H264Decoder()
    pattern = codec.TestPattern(320, 240)
    done = threading.Event()
    calls = {"request_idr": 0, "set_bitrate_kbps": 0}
    frames = 200

    def hammer():
        rng = random.Random(7)
        while not done.is_set():
            enc.request_idr()
            calls["request_idr"] += 1
            enc.set_bitrate_kbps(rng.randint(100, 4000))
            calls["set_bitrate_kbps"] += 1

    def sender():
        try:
            for n in range(frames):
                picture = pattern.next(n * FRAME_US)
                for data, t_us, key, config, recovery, _ in enc.encode(picture, n * FRAME_US):
                    # Quality is the rate control's business at the bitrates drawn here;
                    # every access unit must still decode into its own picture.
                    images = dec.decode(data, t_us, key, config, recovery)
                    assert [(i.width, i.height, i.t_us) for i in images] == [(320, 240, t_us)]
        finally:
            done.set()

    run_threads(hammer, sender)
    stats = enc.stats()
    # Every request counts, however many coalesced into one picture.
    assert enc.idr_requests == stats["idr_requests"] == calls["request_idr"] > 0
    assert 0 < stats["forced_idr"] <= frames
    assert 0 < stats["bitrate_changes"] <= frames
    assert stats["frames_in"] == stats["frames_out"] == frames


def test_one_encoder_and_decoder_shared_by_threads():
    """Calls on one object from several threads are serialised: nothing is lost or crashes;
    the decoder may see the access units out of order and say so only with MediaError."""
    enc = encoder()
    dec = codec.H264Decoder()
    pattern = codec.TestPattern(160, 120)
    units = []
    lock = threading.Lock()
    per_thread = 60

    def worker(k):
        def body():
            for n in range(per_thread):
                image = pattern.frame(n, n * FRAME_US)
                out = enc.encode(image, k * 1_000_000 + n)
                with lock:
                    units.extend(out)
                for data, t_us, key, config, recovery, _ in out:
                    try:
                        dec.decode(data, t_us, key, config, recovery)
                    except codec.MediaError:
                        pass
                dec.take_signal()
                dec.stats()
                enc.stats()

        return body

    run_threads(*(worker(k) for k in range(3)))
    assert enc.stats()["frames_in"] == 3 * per_thread == len(units)
    assert dec.stats()["sync"]["frames"] == 3 * per_thread


CLOSED = {"encoder": "encoder closed", "decoder": "decoder closed"}
STREAM: list = []


@pytest.fixture(scope="module", autouse=True)
def stream():
    STREAM[:] = encoded_stream(30, 640, 480)


def busy_encoder():
    """An encoder and one call that takes a few milliseconds (a 640x480 picture)."""
    enc = encoder(640, 480)
    picture = codec.TestPattern(640, 480).frame(0)

    def call(n):
        enc.encode(picture, n * FRAME_US, force_idr=n % 7 == 0)

    return enc, call


def busy_decoder():
    dec = codec.H264Decoder()

    def call(n):
        data, t_us, key, config, recovery, _ = STREAM[n % len(STREAM)]
        dec.decode(data, t_us, key, config, recovery)

    return dec, call


@pytest.mark.parametrize("kind", ["encoder", "decoder"])
def test_close_while_another_thread_is_inside_a_call(kind):
    """A worker runs a sequence of calls ending in flush; another thread closes the object at
    a random moment. The worker either finishes or gets the closed error, nothing else."""
    make = busy_encoder if kind == "encoder" else busy_decoder
    calls = 30

    def sequence(obj, call, started):
        for n in range(calls):
            call(n)
            started.set()
        obj.flush()

    # How long the sequence takes here after its first call (when the closer starts), so the
    # close lands anywhere inside it; the first call, which may be slow when cold, is left out.
    obj, call = make()
    call(0)
    begin = time.monotonic()
    for n in range(1, calls):
        call(n)
    obj.flush()
    span = time.monotonic() - begin
    obj.close()

    rng = random.Random(kind)
    endings = {"finished": 0, "closed": 0}
    for _round in range(16):
        obj, call = make()
        started = threading.Event()

        def worker():
            try:
                sequence(obj, call, started)
                endings["finished"] += 1
            except codec.MediaError as exc:
                assert str(exc) == CLOSED[kind]
                endings["closed"] += 1
            finally:
                started.set()

        def closer():
            started.wait(JOIN_S)
            time.sleep(rng.uniform(0.0, span))
            obj.close()
            obj.close()  # a second close is harmless

        run_threads(worker, closer)
        for refused in (lambda: call(0), obj.flush):
            with pytest.raises(codec.MediaError, match=f"^{CLOSED[kind]}$"):
                refused()
    # The close landed inside the sequence at least once (otherwise nothing raced).
    assert endings["closed"] > 0 and sum(endings.values()) == 16


@pytest.mark.parametrize("kind", ["encoder", "decoder"])
def test_accessors_and_close_race_a_busy_object(kind):
    """stats/param_sets/state/take_signal from one thread, calls from another, then close
    from a third: accessors never fail, before or after the close."""
    obj, call = busy_encoder() if kind == "encoder" else busy_decoder()
    stop = threading.Event()

    def caller():
        n = 0
        try:
            while not stop.is_set():
                call(n)
                n += 1
        except codec.MediaError as exc:
            assert str(exc) == CLOSED[kind]

    def reader():
        while not stop.is_set():
            obj.stats()
            obj.param_sets()
            if kind == "decoder":
                obj.state
                obj.take_signal()
                obj.signal()
            else:
                obj.timings()
                obj.idr_requests

    def closer():
        time.sleep(0.3)
        obj.close()
        time.sleep(0.1)
        stop.set()

    run_threads(caller, reader, closer)


def long_call(kind):
    """An object and one long call on it: coding a 1920x1088 IDR picture of noise."""
    enc = encoder(1920, 1088, intra_refresh=False, keyframe_interval=1, bitrate_kbps=400_000)
    noise = np.random.default_rng(5).integers(0, 256, enc.frame_size, dtype=np.uint8)
    if kind == "encoder":
        return enc, lambda: enc.encode(noise, 0)
    ((data, t_us, key, config, recovery, _),) = enc.encode(noise, 0)
    enc.close()
    dec = codec.H264Decoder()
    return dec, lambda: dec.decode(data, t_us, key, config, recovery)


@pytest.mark.parametrize("kind", ["encoder", "decoder"])
def test_an_accessor_waiting_for_a_busy_object_leaves_the_interpreter_running(kind):
    """stats() called while another thread is inside a long call waits for the object; a third
    thread can tick during that wait only if the wait gave up the interpreter lock."""
    obj, call = long_call(kind)
    calls, ticks, during, done = 8, [0], [], threading.Event()

    def worker():
        try:
            for _ in range(calls):
                call()
        finally:
            done.set()

    def poller():
        while not done.is_set():
            before = ticks[0]
            obj.stats()
            during.append(ticks[0] - before)

    def ticker():
        while not done.is_set():
            time.sleep(0.001)
            ticks[0] += 1

    run_threads(worker, poller, ticker)
    # Each long call (tens of ms) holds up one stats() call for its whole length: many ticks.
    # A stats() call that held the interpreter lock while it waited lets a tick or few in
    # around it, never ten.
    assert sum(n >= 10 for n in during) >= calls // 2, (sorted(during)[-calls:], ticks[0])


# A child interpreter whose daemon thread loops one codec call while the main thread returns:
# the thread comes back from the call while the interpreter is being finalized, and the
# process must still end quietly.
EXIT_SCRIPT = """
import sys, threading, time
import numpy as np
import talmiro_sdk_video._codec as codec

kind = sys.argv[1]
rgb = np.full((1088, 1920, 3), 90, np.uint8)
enc = codec.H264Encoder(1920, 1088, backend="x264", pixel_format="rgb24")
idr = enc.encode(rgb, 0)[0]
dec = codec.H264Decoder()
running = threading.Event()

def loop():
    n = 0
    while True:
        running.set()
        n += 1
        if kind == "encode":
            enc.encode(rgb, n)
        elif kind == "decode":
            dec.decode(idr[0], n, True, True, False)
            dec.flush()
        else:
            codec.H264Encoder(1920, 1088, backend="x264").flush()
            codec.H264Decoder()

threading.Thread(target=loop, daemon=True).start()
running.wait()
time.sleep(0.05)
"""


@pytest.mark.parametrize("kind", ["encode", "decode", "open"])
def test_interpreter_exit_with_a_call_in_flight(kind):
    import subprocess
    import sys

    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, kind], capture_output=True,
                              text=True, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
