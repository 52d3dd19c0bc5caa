"""The radio simulator on a real veth pair: discovery answers, a connection
with echoed and acknowledged typed data, and the frame layout as an
independent decoder (tshark) sees it. The program's side is played from
Python over an AF_PACKET socket."""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

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


def test_e2e_logout_ends_the_session_with_a_disconnect(start_simulator, program_link):
    start_simulator(["mac=02:7A:41:00:00:31,name=Gate"])
    peer = HostPeer(program_link, wire.mac_bytes("02:7A:41:00:00:31"), 2)
    peer.connect()
    assert peer.wait_text(b"Gate> ")
    peer.send_data(b"sdp fw2\rlogout\r")
    assert peer.pump(3, lambda p: any(f.pdu == wire.PDU_DISCONNECT for f in p.others))
    assert b"sdp fw2\r\nOK\r\nGate> logout\r\nBye\r\n" in peer.text


TSHARK_FIELDS = ["frame.len", "eth.src", "eth.len", "llc.dsap", "llc.ssap", "llc.control", "llc.oui", "llc.pid"]


class LiveDecoder:
    """tshark decoding the radios' end of the link as frames pass, one row of fields per frame."""

    def __init__(self, segment):
        fields = sum((["-e", f] for f in TSHARK_FIELDS), [])
        self.process = subprocess.Popen(
            segment.command(segment.radio_ns, ["tshark", "-l", "-n", "-i", segment.radio_if, "-T", "fields",
                                               "-E", "separator=;", *fields, "-a", "duration:60"]),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.pending = b""
        self.rows = []

    def read(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.process.poll() is None:
            ready, _, _ = select.select([self.process.stdout], [], [], deadline - time.monotonic())
            if not ready:
                break
            self.pending += os.read(self.process.stdout.fileno(), 65536)
            *lines, self.pending = self.pending.split(b"\n")
            for line in lines:
                if line.strip():
                    self.rows.append(dict(zip(TSHARK_FIELDS, line.decode().split(";"))))
        return self.rows

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)


def test_e2e_frames_decode_as_llc_snap_in_tshark(segment, start_simulator, program_link):
    if shutil.which("tshark") is None:
        pytest.skip("tshark is not installed")
    start_simulator(["mac=02:7A:41:00:00:41,name=Wire,level=2,firmware=W-1"])
    radio = "02:7a:41:00:00:41"
    decoder = LiveDecoder(segment)
    try:
        # tshark needs a moment to start: ask until its decoded response shows up.
        for attempt in range(40):
            program_link.send(wire.discovery_request(program_link.mac, 0x0042))
            rows = decoder.read(0.5)
            if any(r["eth.src"].lower() == radio for r in rows):
                break
        else:
            raise AssertionError("tshark saw no identify response")
        peer = HostPeer(program_link, wire.mac_bytes(radio.upper()), 2)
        peer.connect()
        assert peer.wait_text(b"Wire> ")
        peer.send_data(b"x")
        assert peer.wait_ack(2)
        assert peer.wait_text(b"Wire> x")
        decoder.read(1.0)
    finally:
        decoder.stop()

    from_radio = [r for r in decoder.rows if r["eth.src"].lower() == radio]
    lengths = sorted({int(r["frame.len"]) for r in from_radio})
    # identify response 40 + 72, accept and acknowledgement 40, greeting 40 + 47, echo 40 + 1
    assert {40, 41, 87, 112} <= set(lengths), decoder.rows
    for row in from_radio:
        assert row["eth.len"], f"802.3 length frame expected: {row}"
        # The length field counts the whole frame: 14 Ethernet bytes, 26 protocol bytes, the payload.
        assert int(row["eth.len"]) == int(row["frame.len"]), row
        assert (row["llc.dsap"], row["llc.ssap"], row["llc.control"]) == ("0xaa", "0xaa", "0x0003"), row
        assert int(row["llc.oui"], 0) == 0x027A41, row
        assert int(row["llc.pid"], 0) == 0x0001, row


def test_e2e_program_under_pty_talks_to_a_radio(start_simulator, run_program, segment):
    sim = start_simulator(["mac=02:7A:41:00:00:51,name=Pty,level=2"])
    probe = os.path.join(os.path.dirname(__file__), "link_probe.py")
    program = run_program([sys.executable, probe, "chat", segment.program_if, "02:7A:41:00:00:51"])
    program.expect_exact("Pty> ", timeout=5)
    program.send("sdp fw.bin\r")
    program.expect_exact("sdp fw.bin\r\nOK\r\nPty> ", timeout=5)
    program.send("logout\r")
    program.expect_exact("[disconnected by the radio]", timeout=5)
    assert program.wait_exit(5) == 0
    assert re.search(r"command 1: sdp fw\.bin", sim.log())
