"""orvex-scan on the simulated segment: the radios as CSV and as JSON lines on
standard output, everything else on standard error, and an exit status that
tells whether radios answered."""

import csv
import io
import json
import os
import re
import subprocess
import sys

from conftest import BUILD, PROGRAM, PROGRAM_MAC, RADIOS, radio, serial

SCAN = os.path.abspath(os.path.join(BUILD, "orvex-scan"))
NAMES = ["North-Ridge", "Harbour-Mast", "Old-Quarry"]
FLOOD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "flood.py")
HOSTILE_MAC = "02:7A:41:00:2C:1F"


def scan(segment, *args):
    return subprocess.run(segment.command(segment.program_ns, [SCAN, "-t", "2500", *args]), capture_output=True,
                          text=True, timeout=30)


def expected(vlan):
    # Radios below level 2 carry no firmware text in their answer.
    return [{"node": node, "name": name, "mac": RADIOS[name][0], "serial": serial(name),
             "firmware": RADIOS[name][2] if RADIOS[name][1] == 2 else "", "level": RADIOS[name][1], "vlan": vlan}
            for node, name in enumerate(NAMES, 1)]


def test_e2e_scan_lists_the_radios_as_csv_and_json(segment, start_simulator):
    start_simulator([radio(name) for name in NAMES])
    done = scan(segment)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("node,name,mac,serial,firmware,level,vlan\n")
    rows = list(csv.DictReader(io.StringIO(done.stdout)))
    assert rows == [{k: "" if v is None else str(v) for k, v in r.items()} for r in expected(None)]
    assert f"listening on {segment.program_if}" in done.stderr

    done = scan(segment, "--json", "-i", segment.program_if)
    assert done.returncode == 0, done.stderr
    assert [json.loads(line) for line in done.stdout.splitlines()] == expected(None)


def test_e2e_scan_with_tagging_radios_an_empty_segment_and_bad_arguments(segment, start_simulator):
    bad = scan(segment, "-i", "eth9")
    assert (bad.returncode, bad.stdout) == (2, "")
    assert bad.stderr == ("orvex-scan: no usable Ethernet interface is named eth9; the usable ones are: "
                          f"{segment.program_if}\n")
    usage = scan(segment, "-t", "soon")
    assert (usage.returncode, usage.stdout, usage.stderr.count("\n")) == (2, "", 1)

    empty = scan(segment, "--json")
    assert (empty.returncode, empty.stdout) == (1, "")
    assert empty.stderr.endswith(f"orvex-scan: no radio answered on {segment.program_if}\n")

    start_simulator([radio(name) for name in NAMES], extra_args=["--vlan", "5"])
    done = scan(segment, "--json", "-v", "7")
    assert done.returncode == 0, done.stderr
    assert [json.loads(line) for line in done.stdout.splitlines()] == expected(5)


def test_e2e_names_with_terminal_sequences_reach_no_terminal_raw(segment, start_simulator, run_program):
    # A station answers with sequences in its name and firmware (flood.py's NAME and FIRMWARE).
    start_simulator([radio("North-Ridge")])
    responder = subprocess.Popen(segment.command(segment.radio_ns, [sys.executable, FLOOD, segment.radio_if,
                                                                    PROGRAM_MAC, HOSTILE_MAC, "0", "30", "0", "names"]),
                                 stdout=subprocess.PIPE, text=True)
    try:
        assert responder.stdout.readline() == "ready\n"
        done = scan(segment)
        assert not re.search(r"[\x00-\x09\x0b-\x1f\x7f]", done.stdout), done.stdout
        row = [r for r in csv.DictReader(io.StringIO(done.stdout)) if r["mac"] == HOSTILE_MAC][0]
        decoded = {k: re.sub(r"\\x([0-9A-F]{2})", lambda m: chr(int(m[1], 16)), row[k]) for k in ("name", "firmware")}
        name, firmware = "\x1b]0;owned\x07\x1b[2J\u00e9", "\x1b[5mOR\\\x7f"
        assert decoded == {"name": name, "firmware": firmware}
        done = scan(segment, "--json")
        assert not re.search(r"[\x00-\x09\x0b-\x1f\x7f]", done.stdout), done.stdout
        assert {"name": name, "firmware": firmware, "mac": HOSTILE_MAC} in [
            {k: r[k] for k in ("name", "firmware", "mac")} for r in map(json.loads, done.stdout.splitlines())]

        program = run_program([PROGRAM], utf8=True)
        program.expect_exact("Please type the device ID>", timeout=15)
        table = program.output().split("Discovery of local devices in progress ...")[1]
        assert not re.search(r"[\x00-\x09\x0b\x0c\x0e-\x1f\x7f]", table), table
        assert re.search(r"■ 00\d  ■ \?\]0;owned\?\?\[2Jé   ■ 02:7A:41:00:2C:1F ■ 11295 ■ \?\[5mOR\\\? {8}\r\n", table)
    finally:
        responder.kill()
        responder.wait(10)
