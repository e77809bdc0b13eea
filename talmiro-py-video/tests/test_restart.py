"""The stream's start: a sender that restarts (a new port and SSRC, from the same host) is shown
again, with or without its BYE; and a stream whose first packets were lost asks for its IDR
picture at once."""

import socket
import time

import pytest

from talmiro_sdk_video.receiver import RtpReceiver
from talmiro_sdk_video.sender import RtpSender

from test_rtp_link import LOCAL, collect, payload, send_pattern


@pytest.mark.parametrize("bye", [True, False])
def test_restarted_sender_on_a_new_port_is_shown_again(bye):
    """The first sender stops (closed, saying BYE; or silent past `ssrc_silence_us`, as a killed
    process), a second one sends from a new port with a new SSRC: its pictures are shown, counted
    as a restart, and the receiver's PLI for its first IDR picture reaches the new port."""
    with RtpReceiver(0, bind=LOCAL) as rx:
        first = RtpSender([rx.address], bind=LOCAL)
        try:
            send_pattern(first, 10, paced=True)
            old = first.address
            assert len(collect(rx, 10, seconds=2.0)) == 10
            if bye:
                first.close()
            else:
                time.sleep(0.7)  # the default silence is 0.5 s
            with RtpSender([rx.address], bind=LOCAL) as second:
                assert second.address[1] != old[1] and second.ssrc != first.ssrc
                t0 = time.monotonic()
                shown_after: list[float] = []

                def watch(n: int) -> None:
                    if not shown_after and rx.stats()["pictures"] > 10:
                        shown_after.append(time.monotonic() - t0)
                send_pattern(second, 30, paced=True, hook=watch)
                got = collect(rx, 30, seconds=2.0)
                deadline = time.monotonic() + 1.0
                while second.stats()["plis_received"] == 0 and time.monotonic() < deadline:
                    time.sleep(0.01)
                s, t, ended = rx.stats(), second.stats(), rx.bye
        finally:
            first.close()
    print(f"bye={bye}: first picture of the new stream after {shown_after} s")
    assert s["restarts"] >= 1 and s["refused_foreign_source"] == 0
    assert len(got) >= 20 and not ended
    assert s["plis_sent"] >= 1 and t["plis_received"] >= 1


def test_stream_whose_first_packets_were_lost_asks_for_an_idr_picture_at_once():
    """Every packet of the stream's first unit but its last (an IDR picture in fragments, its
    parameter sets and every slice's start) is lost before the receiver knew of the stream: the
    first packet heard is a fragment without its start, the unit comes out incomplete and the PLI
    goes at once, not after the decoder's silence of several frames."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as hop:
        hop.bind((LOCAL, 0))
        hop.settimeout(0.02)
        with RtpSender([hop.getsockname()], bind=LOCAL, mtu=200) as tx, \
                RtpReceiver(0, bind=LOCAL, rtcp_to=tx.rtcp_address) as rx:
            dropped: list[bytes] = []
            heard: list[bytes] = []

            def forward(n: int) -> None:
                while True:
                    try:
                        data = hop.recv(65536)
                    except TimeoutError:
                        return
                    first_unit = not heard and (not dropped or data[4:8] == dropped[0][4:8])
                    if first_unit and not data[1] & 0x80:  # not its marker packet
                        dropped.append(data)
                        continue
                    heard.append(data)
                    hop.sendto(data, rx.address)
            send_pattern(tx, 30, paced=True, hook=forward)
            got = collect(rx, 30, seconds=1.0)
            s, t = rx.stats(), tx.stats()
    assert payload(heard[0])[0] & 0x1F == 28 and not payload(heard[0])[1] & 0x80  # a fragment, not its start
    assert s["units_incomplete"] >= 1 and s["plis_sent"] >= 1 and t["idr_reasons"]["pli"] >= 1
    # The decoder's silence would ask only after 10 frames.
    assert len(got) >= 25 and not any(p.recovering for p in got)
