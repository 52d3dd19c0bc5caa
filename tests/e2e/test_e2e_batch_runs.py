"""The batch runs against simulated radios: -u updates every radio found (retrying
a refused download in a further pass), -x runs a command file on every radio,
-n restricts discovery to listed serial numbers, -i feeds a session to its
logout. Each program run checks several things: every run takes real time."""

import os
import re
import subprocess

import pytest

from fixture import Program, Simulator, build_dir
from netns import Segment

RADIOS = {
    "North-Ridge": "02:7A:41:00:2C:11",
    "Harbour-Mast": "02:7A:41:00:2C:12",
    "Old-Quarry": "02:7A:41:00:2C:13",
}
LEVELS = {"North-Ridge": 2, "Harbour-Mast": 1, "Old-Quarry": 0}
RULE = "=" * 77
DASHES = "-" * 77


@pytest.fixture
def segment():
    seg = Segment("ox9").create()
    try:
        yield seg
    finally:
        seg.remove()


def radio(name, *faults):
    return ",".join([f"mac={RADIOS[name]}", f"name={name}", f"level={LEVELS[name]}", *faults])


def serial(name):
    return str(int(RADIOS[name].replace(":", "")[6:], 16))


def orvexterm(*args):
    return [os.path.join(build_dir(), "orvexterm"), "-c", "1", *args]


def screen(program):
    # The pseudo-terminal turns every line feed into CR LF; the window title
    # is given back on the way out.
    return re.sub(r"(\x1b\[[0-9;]*t)+$", "", program.output().replace("\r\n", "\n"))


def finished(program, timeout):
    assert program.wait_exit(timeout) == 0
    return screen(program)


def report(title, lines, tries, interval, done, failed):
    """The closing report as the program prints it, from (name, done) rows in table order."""
    successes, failures = lines
    text = f"\n{RULE}\n{title[0]}{title[1] % (done)}{title[2] % failed} Number of tries: {tries}\n"
    if tries > 1:
        text += f" Time interval between tries (in millisecs): {interval}\n"
    text += f"{DASHES}\n\nDetailed list:\n{DASHES}\n"
    if successes:
        text += title[3] + "".join(f"{name:>16} {serial(name)}\n" for name in successes)
    if failures:
        text += f"{DASHES}\n" + title[4] + "".join(f"{name:>16} {serial(name)}\n" for name in failures)
    return text + f"\n{RULE}\n\n"


UPDATE_TITLE = (" Radio Update Report:\n", " Radios updated successfully: %d\n", " Radios not updated: %d\n",
                "Radios Updated successfully (radio name/serial number)\n\n",
                "Radios Not updated successfully (radio name/serial number)\n\n")
COMMAND_TITLE = (" Radio Commands Execute Report:\n", " Commands executed successfully on %d radios.\n",
                 " One or more commands failed on %d radios\n",
                 "Radios with successful execution of radio commands (radio name/serial number)\n\n",
                 "Radios with failed command execution (radio name/serial number)\n\n")


def table_order(text, verb):
    """The radios in the order the first pass took them (the table order)."""
    seen = []
    for name in re.findall(rf"^{verb} radio (\S+) \.\.\.$", text, re.M):
        if name not in seen:
            seen.append(name)
    return seen


def stored(sim, name, destination):
    with open(os.path.join(sim.store_dir, name, destination), "rb") as f:
        return f.read()


def test_e2e_update_retries_a_refused_download_in_the_next_pass(start_simulator, run_program, tmp_path):
    firmware = os.urandom(3 * 1350 + 17)
    (tmp_path / "fw.bin").write_bytes(firmware)
    sim = start_simulator([radio("North-Ridge", "refuse-download"), radio("Harbour-Mast"), radio("Old-Quarry")])
    program = run_program(orvexterm("-f", "-u", "fw.bin#new.bin#3#2#1500"))
    text = finished(program, 120)

    order = table_order(text, "Updating")
    assert sorted(order) == sorted(RADIOS)
    # One failure, one wait of 1500 ms shown as 1 s, the refused radio alone again.
    assert "1 radios  not updated after 1 pass\nWaiting 1 secs for the next pass ...\nUpdating radio North-Ridge ...\n" \
        in text
    assert "not updated after 2 pass" not in text
    assert text.count("Download: FAILED\n") == 1 and text.count("Download: OK\n") == 3
    assert text.endswith(report(UPDATE_TITLE, (order, []), 2, 1500, 3, 0))
    for name in RADIOS:
        assert stored(sim, name, "new.bin") == firmware, name
    # Action 3 disconnects every radio it updated, and the refused one as well.
    assert sim.log().count("session ended by the host") == 4


def test_e2e_update_with_sdp_of_a_file_ending_in_an_empty_block(start_simulator, run_program, tmp_path):
    # 2700 bytes end with an empty block, which these radios never acknowledge.
    firmware = os.urandom(2 * 1350)
    (tmp_path / "fw.bin").write_bytes(firmware)
    sim = start_simulator([radio(name, "no-empty-ack") for name in RADIOS])
    program = run_program(orvexterm("-f", "-u", "fw.bin#main.bin#2#3#0"))
    text = finished(program, 120)

    order = table_order(text, "Updating")
    assert text.count("Set Default Program: OK\n") == 3
    assert "not updated after" not in text
    assert text.endswith(report(UPDATE_TITLE, (order, []), 1, 0, 3, 0))
    log = sim.log()
    for name in RADIOS:
        assert stored(sim, name, "main.bin") == firmware, name
        assert re.search(rf"{name}: command 2: sdp main\.bin", log), name
        assert re.search(rf"{name}: empty block not acknowledged on purpose", log), name


def test_e2e_update_of_listed_radios_leaves_them_connected(start_simulator, segment, tmp_path):
    firmware = os.urandom(1000)
    (tmp_path / "fw.bin").write_bytes(firmware)
    # A remark after a number, a radio not on the segment; Harbour-Mast is not listed.
    (tmp_path / "radios.txt").write_text(f"{serial('North-Ridge')} the ridge\n{serial('Old-Quarry')}\n99\n")
    sim = start_simulator([radio(name) for name in RADIOS])
    # Standard input at its end from the start: nothing waits for a key.
    done = subprocess.run(segment.command(segment.program_ns, orvexterm("-n", "radios.txt", "-f", "-u",
                                                                        "fw.bin#fw.bin#1#0#0")),
                          cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    text = re.sub(r"(\x1b\[[0-9;]*t)+$", "", done.stdout.decode("latin-1"))
    assert done.returncode == 0, text

    order = table_order(text, "Updating")
    assert sorted(order) == ["North-Ridge", "Old-Quarry"]
    assert text.endswith(report(UPDATE_TITLE, (order, []), 1, 0, 2, 0))
    assert stored(sim, "North-Ridge", "fw.bin") == firmware and stored(sim, "Old-Quarry", "fw.bin") == firmware
    assert not os.path.exists(os.path.join(sim.store_dir, "Harbour-Mast"))
    log = sim.log()
    assert "Harbour-Mast: connected" not in log
    # Action 1 sends no disconnect: the radios stay connected.
    assert "session ended by the host" not in log


def test_e2e_command_run_retries_a_radio_from_its_first_command(start_simulator, run_program, tmp_path):
    (tmp_path / "commands.txt").write_text("version\n# not for the radio\n.delay 0.5\nhelp\nversion\nlogout\n")
    # An input file beside the command run keeps its own place and reaches no radio.
    (tmp_path / "input.txt").write_text("help\nhelp\n")
    sim = start_simulator([radio("North-Ridge"), radio("Harbour-Mast", "fail-command=3")])
    program = run_program(orvexterm("-i", "input.txt", "-f", "-x", "commands.txt#1#1000"))
    # Typed during the run: dropped, no radio of the run gets it.
    program.expect_exact("Connect to Radio: OK", timeout=30)
    program.send("typed\r")
    text = finished(program, 180)

    order = table_order(text, "Executing commands on")
    assert sorted(order) == ["Harbour-Mast", "North-Ridge"]
    assert "Execution of command [version\n]  FAILED\n" in text
    assert "At 1 radios one or more commands failed after 1 pass\nWaiting 1 secs for the next pass ...\n" \
           "Executing commands on radio Harbour-Mast ...\n" in text
    assert text.count("delaying for 0.500000 secs...\n") == 3
    assert text.endswith(report(COMMAND_TITLE, (order, []), 2, 1000, 2, 0))
    log = sim.log()
    commands = {name: re.findall(rf"{name}: command \d+: (.*)", log) for name in order}
    assert commands["North-Ridge"] == ["version", "help", "version", "logout"]
    # The third command hung; the next pass began again with the first.
    assert commands["Harbour-Mast"] == ["version", "help", "version", "help", "version", "logout"]
    assert "# not for the radio" not in log and ".delay" not in log and "typed" not in log


def test_e2e_input_file_drives_a_session_to_its_logout(start_simulator, run_program, tmp_path):
    (tmp_path / "input.txt").write_text("# a remark\nversion\n.delay 0.2\nlogout\n")
    sim = start_simulator([radio("Old-Quarry")])
    program = run_program(orvexterm("-i", "input.txt", "-r", serial("Old-Quarry")))
    text = finished(program, 30)
    assert "Old-Quarry firmware SIM-1.0, protocol level 0" in text
    assert "Connection with device terminated\n" in text
    assert re.findall(r"Old-Quarry: command \d+: (.*)", sim.log()) == ["version", "logout"]
