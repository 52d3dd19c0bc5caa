"""The first checks through the program's own link layer: orvex-linkcheck opens
the adapter over libpcap as the program does, builds frames with the program's
frame builder and moves them with frame input/output; the simulator answers
on the other end of the veth pair, and tshark decodes what passes."""

import os
import re
import select
import shutil
import signal
import subprocess
import time

import pytest

from fixture import build_dir

THREE_RADIOS = [
    "mac=02:7A:41:00:00:11,name=North-Ridge,level=2,firmware=OR-2.4.1",
    "mac=02:7A:41:00:00:12,name=Harbour-Mast,level=1,firmware=OR-1.9.7",
    "mac=02:7A:41:00:00:13,name=Old-Quarry,level=0,firmware=OR-0.8.3",
]
FRAME_LINE = re.compile(r"^(tx|rx) pdu=(\d+) cid=(\d+) tseq=(\d+) rseq=(\d+) nbytes=(\d+) len=(\d+) "
                        r"src=(\S+) dst=(\S+) text=\"(.*)\"$")


def linkcheck(segment, *args, timeout=30):
    command = segment.command(segment.program_ns, [os.path.join(build_dir(), "orvex-linkcheck"), *args])
    done = subprocess.run(command, capture_output=True, timeout=timeout)
    return done.returncode, done.stdout.decode("latin-1")


def frames(output):
    """The frame lines as dicts with numbers for the numeric fields."""
    result = []
    for line in output.splitlines():
        m = FRAME_LINE.match(line)
        if m:
            d = dict(zip(["dir", "pdu", "cid", "tseq", "rseq", "nbytes", "len", "src", "dst", "text"], m.groups()))
            for k in ("pdu", "cid", "tseq", "rseq", "nbytes", "len"):
                d[k] = int(d[k])
            d["text"] = d["text"].encode().decode("unicode_escape")
            result.append(d)
    return result


@pytest.mark.parametrize("code", ["1024", "4"])
def test_e2e_discovery_through_the_adapter_layer(segment, start_simulator, code):
    start_simulator(THREE_RADIOS)
    status, out = linkcheck(segment, "discover", code)
    assert status == 0, out
    sent = [f for f in frames(out) if f["dir"] == "tx"]
    assert [(f["pdu"], f["len"], f["dst"]) for f in sent] == [(int(code), 40, "FF:FF:FF:FF:FF:FF")]
    responses = [f for f in frames(out) if f["dir"] == "rx" and f["pdu"] == 5]
    assert sorted(f["src"] for f in responses) == ["02:7A:41:00:00:11", "02:7A:41:00:00:12", "02:7A:41:00:00:13"]
    for f in responses:
        assert (f["len"], f["nbytes"], f["cid"], f["tseq"], f["rseq"]) == (112, 72, 0x1357, 0, 0)
    # As the program reads them: firmware text only from level 2 up.
    identified = sorted(re.findall(r'^identify name="([^"]*)" level=(\d) firmware="([^"]*)"', out, re.M))
    assert identified == [("Harbour-Mast", "1", ""), ("North-Ridge", "2", "OR-2.4.1"), ("Old-Quarry", "0", "")]


@pytest.mark.parametrize("level", [2, 1, 0])
def test_e2e_connect_and_echo_through_the_adapter_layer(segment, start_simulator, level):
    sim = start_simulator([f"mac=02:7A:41:00:00:21,name=Echo,level={level},firmware=E-{level}"])
    typed = "sdp fw.bin\r"
    status, out = linkcheck(segment, "connect", "02:7A:41:00:00:21", str(level), typed)
    assert status == 0 and out.rstrip().endswith("echoed"), out
    seen = frames(out)
    request = seen[0]
    assert (request["dir"], request["pdu"], request["cid"], request["tseq"], request["rseq"], request["nbytes"]) == \
        ("tx", 6, 0x0B0E, 1, 0, 48), "the connect request in the radio's byte order"
    from_radio = [f for f in seen if f["dir"] == "rx"]
    accept = from_radio[0]
    assert (accept["pdu"], accept["cid"], accept["tseq"], accept["rseq"], accept["len"]) == (7, 0x0B0E, 0, 1, 40)
    greeting = from_radio[1]
    assert (greeting["pdu"], greeting["tseq"], greeting["rseq"]) == (1, 0, 1)
    assert greeting["text"].endswith("Echo> ")

    data = next(f for f in seen if f["dir"] == "tx" and f["pdu"] == 1)
    assert (data["tseq"], data["nbytes"], data["rseq"]) == (1, len(typed), greeting["nbytes"])
    after = from_radio[2:]
    ack = next(f for f in after if f["pdu"] == 2)
    assert ack["rseq"] == 1 + len(typed), "acknowledged up to the last typed byte"
    echoes = [f for f in after if f["pdu"] == 1]
    assert echoes[0]["tseq"] == greeting["nbytes"], "the radio's bytes are counted on from its greeting"
    assert echoes[0]["text"].startswith("sdp fw.bin\r\n")
    assert sim.wait_log(r"Echo: command 1: sdp fw\.bin", 2)


def test_e2e_vlan_tags_both_ways_through_the_adapter_layer(segment, start_simulator):
    start_simulator(["mac=02:7A:41:00:00:71,name=Tagged,level=1"], extra_args=["--vlan", "5"])
    status, out = linkcheck(segment, "--vlan", "7", "connect", "02:7A:41:00:00:71", "1", "ok\r")
    assert status == 0 and out.rstrip().endswith("echoed"), out
    lines = out.splitlines()
    tags = {(line, lines[i + 1].split()[0]) for i, line in enumerate(lines[:-1]) if line.startswith("vlan tag=")}
    # Every frame the program sent carried its tag, every frame it took carried the radio's.
    assert tags == {("vlan tag=7", "tx"), ("vlan tag=5", "rx")}
    assert sum(1 for f in frames(out) if f["dir"] == "rx") == len([t for t in lines if t == "vlan tag=5"])


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


def test_e2e_frames_decode_as_llc_snap_in_tshark(segment, start_simulator):
    if shutil.which("tshark") is None:
        pytest.skip("tshark is not installed")
    start_simulator(["mac=02:7A:41:00:00:41,name=Wire,level=2,firmware=W-1"])
    decoder = LiveDecoder(segment)
    try:
        # tshark needs a moment to start: discover until its decoding of the answer shows up.
        for _ in range(10):
            status, out = linkcheck(segment, "discover")
            assert status == 0, out
            if any(r["frame.len"] == "112" for r in decoder.read(0.5)):
                break
        else:
            raise AssertionError("tshark decoded no identify response")
        status, out = linkcheck(segment, "connect", "02:7A:41:00:00:41", "2", "x")
        assert status == 0, out
        decoder.read(1.0)
    finally:
        decoder.stop()

    sent = frames(out)
    lengths = {r["frame.len"] for r in decoder.rows}
    # connect request 40 + 48, accept and acknowledgements 40, greeting 40 + 47, typed byte and echo 40 + 1
    assert {"88", "40", "87", "41", "112"} <= lengths, decoder.rows
    assert len(sent) >= 6
    for row in decoder.rows:
        assert row["eth.len"], f"802.3 length frame expected: {row}"
        # The length field counts the whole frame: 14 Ethernet bytes, 26 protocol bytes, the payload.
        assert int(row["eth.len"]) == int(row["frame.len"]), row
        assert (row["llc.dsap"], row["llc.ssap"], row["llc.control"]) == ("0xaa", "0xaa", "0x0003"), row
        assert int(row["llc.oui"], 0) == 0x027A41, row
        assert int(row["llc.pid"], 0) == 0x0001, row
    sources = {r["eth.src"].lower() for r in decoder.rows}
    assert "02:7a:41:00:00:41" in sources and len(sources) == 2, "both ends' frames were decoded"
