"""The Wireshark dissector (tools/wireshark/orvex.lua) under tshark: every header field of a
captured session, in both directions, against what the simulator logged of the same frames;
the payloads against what the radios and the program sent; the byte order of frames to a
radio whose level the capture never told; and frames that are malformed."""

import collections
import os
import re
import struct
import subprocess
import time

from conftest import PROGRAM, PROGRAM_MAC, RADIOS, radio, serial

DISSECTOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wireshark", "orvex.lua")
HEADER = ["eth.src", "eth.dst", "orvex.pdu", "orvex.cid", "orvex.tseq", "orvex.rseq", "orvex.nbytes"]
# tx: a radio's frame as it sent it; rx: the program's frame, read in the radio's own byte order.
LOGGED = re.compile(r"^ *[\d.]+ (tx|rx)(?: \(tagged\))? (\S+) (\S+) > (\S+) PDU (\d+) \S+ "
                    r"cid=(\d+) tseq=(\d+) rseq=(\d+) n=(\d+)", re.M)
F4 = "\x1bOS"


def decode(capture, *fields, whole=True):
    """tshark's rows of the fields, one dict a frame; whole=False reads a capture still being written."""
    done = subprocess.run(["tshark", "-n", "-X", f"lua_script:{DISSECTOR}", "-r", capture, "-T", "fields",
                           "-E", "separator=;", *sum((["-e", f] for f in (*fields, "_ws.lua.error")), [])],
                          capture_output=True, text=True, timeout=60, check=whole)
    rows = [dict(zip(fields, line.split(";")[:-1])) for line in done.stdout.splitlines()]
    assert all(line.endswith(";") for line in done.stdout.splitlines()), "a Lua error"
    return rows


def headers(rows):
    return collections.Counter(tuple(r[f] for f in HEADER) for r in rows)


def logged_headers(log):
    """The frames the simulator logged; a broadcast reaches every radio, so it counts once."""
    return collections.Counter((src.lower(), dst.lower(), *numbers) for _, name, src, dst, *numbers in
                               LOGGED.findall(log) if dst != "FF:FF:FF:FF:FF:FF" or name == "North-Ridge")


def test_e2e_dissector_reads_a_session_with_radios_of_every_level(start_simulator, run_program, capture, tmp_path):
    (tmp_path / "fw.bin").write_bytes(os.urandom(2800))
    names = ["North-Ridge", "Harbour-Mast", "Old-Quarry"]  # levels 2, 1, 0
    sim = start_simulator([radio("North-Ridge", "error-at=1"), radio("Harbour-Mast"), radio("Old-Quarry")])
    frames = capture()
    program = run_program([PROGRAM, "-v", "7"])  # the program's frames are tagged, the radios' are not
    for node, name in enumerate(names, 1):
        program.expect_exact("Please type the device ID>", timeout=15)
        program.send(f"{node}\r")
        program.expect_exact(f"{name}> ")
        program.send("version\r" if node == 1 else "download fw.bin fw.bin\r")
        program.expect_exact("Error description: Command failed" if node == 1 else "Download complete")
        program.expect_exact(f"{name}> ")
        program.send(F4 if node < 3 else "logout\r")
    program.expect_exact("Connection with device terminated")
    assert program.wait_exit() == 0

    # dumpcap writes what it captured in batches: the last frames come a moment later.
    def caught_up():
        return headers(decode(frames.path, *HEADER, whole=False)) == logged_headers(sim.log())
    deadline = time.monotonic() + 5
    while not caught_up() and time.monotonic() < deadline:
        time.sleep(0.2)
    fields = [*HEADER, "vlan.id", "orvex.expert.guessed", "orvex.identify.name", "orvex.identify.serial",
              "orvex.identify.level", "orvex.identify.firmware", "orvex.connect.host", "orvex.connect.level",
              "orvex.file.name", "orvex.file.status", "orvex.file.size", "orvex.file.data", "orvex.error.text"]
    rows = decode(frames.stop(), *fields)
    assert headers(rows) == logged_headers(sim.log())
    assert {(r["eth.src"] == PROGRAM_MAC.lower(), r["vlan.id"]) for r in rows} == {(True, "7"), (False, "")}
    assert not any(r["orvex.expert.guessed"] for r in rows), "every level was learnt"

    def seen(pdu, *of):
        return {tuple(r[f] for f in of) for r in rows if r["orvex.pdu"] == pdu}
    macs = {name: RADIOS[name][0].lower() for name in names}
    assert seen("5", "eth.src", "orvex.identify.name", "orvex.identify.serial", "orvex.identify.level",
                "orvex.identify.firmware") == {(macs[n], n, serial(n), str(RADIOS[n][1]), RADIOS[n][2]) for n in names}
    assert seen("6", "eth.dst", "orvex.connect.host", "orvex.connect.level") == {
        (macs[n], os.uname().nodename.replace(" ", ""), str(RADIOS[n][1])) for n in names}
    assert seen("9", "orvex.file.name") == {("fw.bin",), ("tmp/fw.bin",)}  # a level-0 radio asks for tmp/
    assert seen("10", "orvex.file.status", "orvex.file.size") == {("0", "2800")}
    assert {len(data) // 2 for data, in seen("11", "orvex.file.data")} == {1350, 100}
    assert seen("3", "orvex.error.text") == {("Command failed: version",)}

    # Cut after the last connect request, the frames to that level-0 radio still read the
    # same, by a guess that says so.
    last = max(i for i, r in enumerate(rows) if r["orvex.pdu"] == "6")
    tail = str(tmp_path / "tail.pcapng")
    subprocess.run(["editcap", "-r", frames.path, tail, f"{last + 2}-{len(rows)}"], check=True, timeout=30)
    tail_rows = decode(tail, *HEADER, "orvex.expert.guessed")
    assert [tuple(r[f] for f in HEADER) for r in tail_rows] == [tuple(r[f] for f in HEADER) for r in rows[last + 1:]]
    assert all(r["orvex.expert.guessed"] for r in tail_rows if r["eth.src"] == PROGRAM_MAC.lower())


def test_e2e_dissector_marks_malformed_frames(tmp_path):
    def frame(pdu, nbytes, payload=b"", header=18, length=None):
        body = bytes.fromhex("aaaa03027a410001") + struct.pack(">HHHIII", pdu, 1, 0, 0, 0, nbytes)[:header] + payload
        return bytes.fromhex("027a41002c11") + bytes(6) + struct.pack(">H", length or 14 + len(body)) + body
    frames = [frame(1, 0, header=8), frame(1, 2000, b"hi"), frame(1, 30, b"hi"), frame(6, 10, bytes(10)),
              frame(10, 3, bytes(3)), frame(2, 0, length=60)]
    path = tmp_path / "malformed.pcap"
    path.write_bytes(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1) +
                     b"".join(struct.pack("<IIII", 0, 0, len(f), len(f)) + f for f in frames))
    rows = decode(str(path), "orvex.expert.malformed")
    assert len(rows) == len(frames) and all(r["orvex.expert.malformed"] for r in rows)


def test_e2e_dissector_remembers_a_bounded_number_of_stations(tmp_path):
    # A radio of level 1 tells its level, then 5000 forged stations ask to identify; a frame to the radio after
    # them is read by what the dissector still remembers: with more stations than it keeps, nothing.
    def frame(src, dst, pdu, payload=b""):
        body = bytes.fromhex("aaaa03027a410001") + struct.pack(">HHHIII", pdu, 1, 0, 0, 0, len(payload)) + payload
        return bytes.fromhex(dst) + bytes.fromhex(src) + struct.pack(">H", 14 + len(body)) + body
    response = bytearray(72)
    response[47] = 1
    radio_mac = "027a41002c12"
    frames = [frame(radio_mac, "020000004a01", 5, bytes(response))]
    frames += [frame(f"02{n:010x}", "ffffffffffff", 0x0400) for n in range(1, 5001)]
    frames.append(frame("020000004a01", radio_mac, 1, b"hi"))
    path = tmp_path / "stations.pcap"
    path.write_bytes(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1) +
                     b"".join(struct.pack("<IIII", 0, 0, len(f), len(f)) + f for f in frames))
    last = decode(str(path), "orvex.expert.guessed")[-1]
    assert last["orvex.expert.guessed"], "the radio's level outlived 5000 other stations"
