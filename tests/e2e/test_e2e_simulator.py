"""The radio simulator on a real veth pair, its finer points: the program's
side is played from Python over an AF_PACKET socket, so that repeated frames,
both identify request codings, downloads and the session's end can be
checked frame by frame."""

import os
import signal

import pytest

import wire
from host_peer import HostPeer

THREE_RADIOS = [
    "mac=02:7A:41:00:00:11,name=North-Ridge,level=2,firmware=OR-2.4.1",
    "mac=02:7A:41:00:00:12,name=Harbour-Mast,level=1,firmware=OR-1.9.7",
    "mac=02:7A:41:00:00:13,name=Old-Quarry,level=0,firmware=OR-0.8.3",
]
EXPECTED = {
    "02:7A:41:00:00:11": ("North-Ridge", 2, "OR-2.4.1"),
    "02:7A:41:00:00:12": ("Harbour-Mast", 1, "OR-1.9.7"),
    "02:7A:41:00:00:13": ("Old-Quarry", 0, "OR-0.8.3"),
}


def identify_responses(link, cid, timeout=2.0):
    def keep(raw):
        f = wire.parse_frame(raw)
        return f is not None and f.pdu == wire.PDU_IDENTIFY_RESPONSE and f.dst == link.mac
    return [wire.parse_frame(raw) for raw in link.collect(timeout, keep)]


@pytest.mark.parametrize("code", [wire.PDU_DISCOVERY_REQUEST, wire.PDU_IDENTIFY_REQUEST],
                         ids=["coded-04-00", "coded-00-04"])
def test_e2e_discovery_is_answered_by_every_radio(start_simulator, program_link, code):
    start_simulator(THREE_RADIOS)
    program_link.send(wire.discovery_request(program_link.mac, 0x1357, code))
    responses = identify_responses(program_link, 0x1357)

    by_mac = {wire.mac_text(f.src): f for f in responses}
    assert sorted(by_mac) == sorted(EXPECTED), "one response from each radio"
    assert len(responses) == 3, "each radio answers a request once"
    for mac, f in by_mac.items():
        assert len(f.raw) == 40 + 72 and f.nbytes == 72 and f.length == 40 + 72
        assert (f.cid, f.tseq, f.rseq) == (0x1357, 0, 0)
        ident = wire.parse_identify_payload(f.payload)
        assert (ident.name, ident.level, ident.firmware) == EXPECTED[mac]
        assert f.payload[48:52] == b"\0\0\0\0"


def test_e2e_silent_radio_does_not_answer(start_simulator, program_link):
    start_simulator([THREE_RADIOS[0], THREE_RADIOS[1] + ",silent"])
    program_link.send(wire.discovery_request(program_link.mac, 7))
    assert [wire.mac_text(f.src) for f in identify_responses(program_link, 7, 1.5)] == ["02:7A:41:00:00:11"]


@pytest.mark.parametrize("level", [2, 1, 0])
def test_e2e_connect_echo_and_byte_counting(start_simulator, program_link, level):
    sim = start_simulator([f"mac=02:7A:41:00:00:21,name=Echo,level={level},firmware=E-{level}"])
    peer = HostPeer(program_link, wire.mac_bytes("02:7A:41:00:00:21"), level, cid=0x0B0E)

    accept = peer.connect()
    assert (accept.cid, accept.nbytes, len(accept.raw)) == (0x0B0E, 0, 40)
    assert (accept.tseq, accept.rseq) == (0, 1), "the radio starts where the request left off"
    assert peer.wait_text(b"Echo> "), "greeting and prompt"
    greeting = len(peer.text)

    # Typed data is acknowledged with RSEQ advanced by its bytes and echoed.
    peer.send_data(b"ver")
    assert peer.wait_ack(1 + 3)
    assert peer.wait_text(b"Echo> ver")
    assert peer.acks[-1].tseq in (greeting, greeting + 3)

    # A repeated frame is acknowledged again with the unchanged RSEQ and not echoed twice.
    peer.acks.clear()
    peer.send_data(b"ver", tseq=1)
    assert peer.wait_ack(4)
    peer.send_data(b"sion\r")
    assert peer.wait_ack(9)
    assert peer.wait_text(f"firmware E-{level}, protocol level {level}\r\nEcho> ".encode())
    assert peer.text[greeting:] == (b"ver" + b"sion\r\n" + f"Echo firmware E-{level}, protocol level {level}\r\n"
                                    .encode() + b"Echo> ")
    assert [a.rseq for a in peer.acks] == [4, 9]

    # The radio's own byte count: every data frame started where the last one ended.
    peer.pump(0.5)
    assert peer.rseq == len(peer.text)
    assert sim.wait_log(r"Echo: command 1: version", 2)


@pytest.mark.parametrize("level,size,asked", [(0, 2700, b"tmp/fw-7"), (2, 3000, b"fw-7")])
def test_e2e_download_is_stored_under_the_radios_name(start_simulator, program_link, level, size, asked):
    sim = start_simulator([f"mac=02:7A:41:00:00:61,name=Store,level={level}"])
    peer = HostPeer(program_link, wire.mac_bytes("02:7A:41:00:00:61"), level)
    peer.connect()
    assert peer.wait_text(b"Store> ")
    peer.send_data(b"download fw-7 flash/fw.bin\r\n\0")
    content = bytes((i * 13) & 0xFF for i in range(size))
    assert peer.serve_file(content) == asked
    assert peer.wait_text(f"Download complete: {size} bytes stored as fw.bin\r\nStore> ".encode())
    with open(os.path.join(sim.store_dir, "Store", "fw.bin"), "rb") as f:
        assert f.read() == content
    assert not [name for name in os.listdir(os.path.join(sim.store_dir, "Store")) if name.endswith(".part")]


def test_e2e_logout_ends_the_session_with_a_disconnect(start_simulator, program_link):
    start_simulator(["mac=02:7A:41:00:00:31,name=Gate"])
    peer = HostPeer(program_link, wire.mac_bytes("02:7A:41:00:00:31"), 2)
    peer.connect()
    assert peer.wait_text(b"Gate> ")
    peer.send_data(b"sdp fw2\rlogout\r")
    assert peer.pump(3, lambda p: any(f.pdu == wire.PDU_DISCONNECT for f in p.others))
    assert b"sdp fw2\r\nOK\r\nGate> logout\r\nBye\r\n" in peer.text


@pytest.mark.parametrize("sig,name", [(signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT")])
def test_e2e_simulator_ends_cleanly_on_a_signal(start_simulator, program_link, sig, name):
    sim = start_simulator(["name=Stop"])
    peer = HostPeer(program_link, wire.mac_bytes("02:7A:41:00:00:01"), 2)
    peer.connect()
    assert peer.wait_text(b"Stop> ")
    sim.process.send_signal(sig)
    assert sim.process.wait(5) == 0
    assert sim.log().rstrip().endswith(f"stopped by {name}")
