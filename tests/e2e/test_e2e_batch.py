"""Runs without an operator: -u updates every radio found (a refused download
is retried in a later pass), -x runs a command file on every radio, -n limits
discovery to listed serial numbers, -i feeds a session to its logout. The
frames of a run are captured on the radios' end and decoded by tshark, as an
independent reader of the frame format, the byte order of each protocol
level and the VLAN tags."""

import json
import re
import struct
import subprocess
import time

import pytest

from conftest import PROGRAM, PROGRAM_MAC, RADIOS, radio, serial

RULE, DASHES = "=" * 77, "-" * 77
SNAP = ("0xaa", "0xaa", "0x0003", str(0x027A41), "0x0001")  # DSAP, SSAP, control, OUI, protocol id


def plain(text):
    # The window title is given back on the way out.
    return re.sub(r"(\x1b\[[0-9;]*t)+$", "", text)


STEPS = re.compile(r"Updating radio \S+ \.\.\.\n|Executing commands on radio \S+ \.\.\.\n|Connect to Radio: \w+\n"
                   r"|Download: \w+\n|Execution of command \[[^]]*\]  FAILED\n|delaying for [\d.]+ secs\.\.\.\n|OK\n"
                   r"|\d+ radios  not updated after \d pass\n|At \d+ radios one or more commands failed after \d pass\n"
                   r"|Waiting \d+ secs for the next pass \.\.\.\n|Set Default Program: \w+\n")


def steps(text):
    """What tells how a batch run went, radio by radio and pass by pass; the
    radios' own output may run into these lines."""
    return "".join(STEPS.findall(text))


def report(directory):
    """The run's report file, one parsed JSON value a line."""
    return [json.loads(line) for line in (directory / "run.jsonl").read_text().splitlines()]


def test_e2e_update_run_of_listed_radios_retries_a_refused_download(segment, start_simulator, capture, tmp_path):
    firmware = bytes(range(256)) * 16 + b"tail"  # three full blocks and a short one
    (tmp_path / "fw.bin").write_bytes(firmware)
    # A remark after a number, a radio that is not there; Low-Field is there but not listed.
    listed = ["North-Ridge", "Harbour-Mast", "Old-Quarry", "Far-Hill"]
    (tmp_path / "radios.txt").write_text(f"{serial('North-Ridge')} the ridge\n" +
                                         "".join(f"{serial(name)}\n" for name in listed[1:]) + "99\n")
    sim = start_simulator([radio("North-Ridge", "refuse-download"), radio("Harbour-Mast"), radio("Old-Quarry"),
                           radio("Far-Hill", "refuse-download=2"), radio("Low-Field")])
    frames = capture()
    # Standard input at its end from the start: nothing waits for a key.
    done = subprocess.run(segment.command(segment.program_ns, [PROGRAM, "--exit-status", "-c", "1", "-n", "radios.txt",
                                                               "--report", "run.jsonl", "-f", "-u",
                                                               "fw.bin#new.bin#2#1#1500"]),
                          cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    text = plain(done.stdout.decode("utf-8", "replace"))
    assert done.returncode == 1, text  # one radio was not updated

    def update(name, result):
        sdp = "Set Default Program: OK\n" if result == "OK" else ""
        return f"Updating radio {name} ...\nConnect to Radio: OK\nDownload: {result}\n{sdp}"
    assert steps(text) == (
        update("North-Ridge", "FAILED") + update("Harbour-Mast", "OK") + update("Old-Quarry", "OK") +
        update("Far-Hill", "FAILED") + "2 radios  not updated after 1 pass\nWaiting 1 secs for the next pass ...\n" +
        update("North-Ridge", "OK") + update("Far-Hill", "FAILED"))
    assert text.endswith(f"\n{RULE}\n Radio Update Report:\n Radios updated successfully: 3\n Radios not updated: 1\n"
                         f" Number of tries: 2\n Time interval between tries (in millisecs): 1500\n{DASHES}\n\n"
                         f"Detailed list:\n{DASHES}\nRadios Updated successfully (radio name/serial number)\n\n"
                         "     North-Ridge 11281\n    Harbour-Mast 11282\n      Old-Quarry 11283\n"
                         f"{DASHES}\nRadios Not updated successfully (radio name/serial number)\n\n"
                         f"        Far-Hill 11284\n\n{RULE}\n\n")
    for name in listed[:3]:
        assert sim.stored(name, "new.bin") == firmware, name
    assert report(tmp_path) == [
        {"serial": serial(name), "name": name, "mac": RADIOS[name][0], "result": result, "tries": tries,
         "errors": errors, "last_error": error} for name, result, tries, errors, error in (
             ("North-Ridge", "ok", 2, 1, None), ("Harbour-Mast", "ok", 1, 0, None),
             ("Old-Quarry", "ok", 1, 0, None), ("Far-Hill", "failed", 2, 2, "download failed"))] + [
        {"totals": {"run": "update", "radios": 4, "ok": 3, "failed": 1, "not_tried": 0, "passes": 2,
                    "complete": True}}]
    # Action 2 ("sdp" after each download) disconnects every radio it tried; the
    # one not listed was never reached.
    assert sim.log().count("session ended by the host") == 6
    assert "Low-Field: connected" not in sim.log()

    # Every frame, read by tshark: an 802.3 length counting the whole frame, the
    # protocol's SNAP header, then a header little-endian to radios below level 2.
    levels = {mac.lower(): level for mac, level, _ in RADIOS.values()}
    seen_levels = set()
    rows = frames.rows()
    assert rows
    for row in rows:
        assert row["eth.len"] == row["frame.len"], row
        assert tuple(row[f] for f in ("llc.dsap", "llc.ssap", "llc.control", "llc.oui", "llc.pid")) == SNAP, row
        level = levels.get(row["eth.dst"], 2) if row["eth.src"] == PROGRAM_MAC.lower() else 2
        pdu, cid, zero, tseq, rseq, nbytes = struct.unpack(">HHHIII" if level >= 2 else "<HHHIII",
                                                           bytes.fromhex(row["data.data"])[:18])
        assert (pdu in range(1, 14) or pdu == 0x400) and zero == 0 and nbytes == int(row["frame.len"]) - 40, row
        if row["eth.dst"] in levels:
            seen_levels.add(level)
    assert seen_levels == {0, 1, 2}


def test_e2e_a_run_that_finds_no_radio_leaves_its_totals(segment, tmp_path):
    (tmp_path / "commands.txt").write_text("version\n")
    done = subprocess.run(segment.command(segment.program_ns, [PROGRAM, "--exit-status", "--report", "run.jsonl", "-f",
                                                               "-x", "commands.txt#0#0"]),
                          cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert done.returncode == 3
    assert report(tmp_path) == [{"totals": {"run": "commands", "radios": 0, "ok": 0, "failed": 0, "not_tried": 0,
                                            "passes": 1, "complete": False}}]


def test_e2e_a_dry_run_lists_the_listed_radios_and_connects_to_none(segment, start_simulator, tmp_path):
    (tmp_path / "fw.bin").write_bytes(b"firmware")
    (tmp_path / "radios.txt").write_text(f"{serial('North-Ridge')}\n{serial('Old-Quarry')}\n")
    sim = start_simulator([radio("North-Ridge"), radio("Harbour-Mast"), radio("Old-Quarry")])
    done = subprocess.run(segment.command(segment.program_ns, [PROGRAM, "--exit-status", "-c", "1", "-n", "radios.txt",
                                                               "--dry-run", "-u", "fw.bin#new.bin#2#1#0"]),
                          cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert done.returncode == 0
    assert done.stdout.decode("cp437").endswith(
        "\nDry run: the update run would reach 2 radios; none is connected.\n"
        " Node  Name               S/N       MAC Address\n"
        f" 001   North-Ridge        {serial('North-Ridge')}     {RADIOS['North-Ridge'][0]}\n"
        f" 002   Old-Quarry         {serial('Old-Quarry')}     {RADIOS['Old-Quarry'][0]}\n"
        "Dry run ended.\n")
    assert "connected" not in sim.log()


def test_e2e_command_run_retries_a_failed_command_from_the_first(start_simulator, run_program, tmp_path):
    (tmp_path / "commands.txt").write_text("version\n# not for the radio\n.delay 0.5\nlogout\n")
    # An input file beside the command run keeps its own place and reaches no radio.
    (tmp_path / "input.txt").write_text("help\nhelp\n")
    sim = start_simulator([radio("Harbour-Mast", "fail-command=2")])
    program = run_program([PROGRAM, "-c", "1", "-i", "input.txt", "--report", "run.jsonl", "-f", "-x",
                           "commands.txt#1#1000"])
    # Typed during the run: dropped, the radio never gets it.
    program.expect_exact("Connect to Radio: OK", timeout=30)
    program.send("typed\r")
    assert program.wait_exit(120) == 0
    text = plain(program.screen())

    def run(last):
        return ("Executing commands on radio Harbour-Mast ...\nConnect to Radio: OK\nOK\n"
                f"delaying for 0.500000 secs...\n{last}")
    assert steps(text) == (
        run("Execution of command [logout\n]  FAILED\n") +
        "At 1 radios one or more commands failed after 1 pass\nWaiting 1 secs for the next pass ...\n" + run("OK\n"))
    assert text.endswith(f"\n{RULE}\n Radio Commands Execute Report:\n Commands executed successfully on 1 radios.\n"
                         f" One or more commands failed on 0 radios\n Number of tries: 2\n"
                         f" Time interval between tries (in millisecs): 1000\n{DASHES}\n\nDetailed list:\n{DASHES}\n"
                         "Radios with successful execution of radio commands (radio name/serial number)\n\n"
                         f"    Harbour-Mast 11282\n\n{RULE}\n\n")
    assert report(tmp_path) == [
        {"serial": "11282", "name": "Harbour-Mast", "mac": RADIOS["Harbour-Mast"][0], "result": "ok", "tries": 2,
         "errors": 1, "last_error": None},
        {"totals": {"run": "commands", "radios": 1, "ok": 1, "failed": 0, "not_tried": 0, "passes": 2,
                    "complete": True}}]
    # The second command hung; the next pass began again with the first.
    assert sim.commands("Harbour-Mast") == ["version", "version", "logout"]
    assert "typed" not in sim.log() and "help" not in sim.log()


def test_e2e_input_file_session_with_vlan_tags(start_simulator, run_program, capture, tmp_path):
    (tmp_path / "input.txt").write_text("# a remark\nversion\n.delay 0.2\nlogout\n")
    sim = start_simulator([radio("Old-Quarry")], extra_args=["--vlan", "5"])
    frames = capture()
    program = run_program([PROGRAM, "-c", "1", "-v", "5", "-i", "input.txt", "-r", serial("Old-Quarry")])
    assert program.wait_exit(30) == 0
    text = program.screen()
    assert "Old-Quarry firmware OR-0.8.3, protocol level 0\r\n" in text
    assert "Connection with device terminated\n" in text
    assert sim.commands("Old-Quarry") == ["version", "logout"]
    # The program tags what it sends with its VLAN id and takes the radio's frames of that VLAN.
    rows = frames.rows()
    assert {(row["eth.src"] == PROGRAM_MAC.lower(), row["vlan.id"]) for row in rows} == {(True, "5"), (False, "5")}


@pytest.mark.parametrize("key", ["\x1bOR", "\x03"])  # F3, Ctrl+C
def test_e2e_the_operator_stops_an_update_run(start_simulator, run_program, tmp_path, key):
    (tmp_path / "fw.bin").write_bytes(bytes(range(256)) * 200)  # 38 blocks, each acknowledged 300 ms late
    sim = start_simulator([radio("North-Ridge", "block-delay=300"), radio("Harbour-Mast"), radio("Old-Quarry")])
    program = run_program([PROGRAM, "--exit-status", "-c", "1", "--report", "run.jsonl", "-f", "-u",
                           "fw.bin#new.bin#3#2#1000"])
    assert sim.wait_log(r"North-Ridge: download: fw\.bin, \d+ bytes", 30)
    program.send(key)
    stopped_at = time.monotonic()
    assert program.wait_exit(10) == 5, "stopped by the operator"
    assert time.monotonic() - stopped_at < 3
    text = plain(program.screen())
    assert steps(text) == "Updating radio North-Ridge ...\nConnect to Radio: OK\n"
    assert text.endswith(f"\n{RULE}\n Radio Update Report:\n Radios updated successfully: 0\n Radios not updated: 3\n"
                         f" Number of tries: 1\n{DASHES}\n\nDetailed list:\n{DASHES}\n{DASHES}\n"
                         "Radios Not updated successfully (radio name/serial number)\n\n"
                         "     North-Ridge 11281\n    Harbour-Mast 11282\n      Old-Quarry 11283\n\n"
                         f"{RULE}\n\n")
    assert [(line.get("name"), line.get("result"), line.get("last_error")) for line in report(tmp_path)[:3]] == [
        ("North-Ridge", "failed", "stopped by the operator"), ("Harbour-Mast", "not tried", None),
        ("Old-Quarry", "not tried", None)]
    assert report(tmp_path)[3]["totals"]["complete"] is False
    # The program's last frame is the disconnect; the download stopped with it, no other radio heard a word.
    sent = re.findall(rf"rx (\S+) {PROGRAM_MAC} > (\S+) PDU \d+ (\w+)", sim.log())
    assert sent[-1] == ("North-Ridge", RADIOS["North-Ridge"][0], "DISCONNECT")
    assert [pdu for name, to, pdu in sent if name != "North-Ridge" and to != "FF:FF:FF:FF:FF:FF"] == []
    assert "download: stored" not in sim.log()
