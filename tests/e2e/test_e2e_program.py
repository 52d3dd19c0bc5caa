"""The whole program as an operator uses it: orvexterm under a pseudo-terminal
on one end of a veth pair, the radio simulator on the other. Each run is
wrapped in a shell that prints the terminal's settings (stty -g) before and
after it, so that every way out is also checked to give the terminal back."""

import os
import re
import signal
import termios
import time

import pytest

from fixture import build_dir
from netns import Segment

RADIOS = [
    "mac=02:7A:41:00:2C:11,name=North-Ridge,level=2,firmware=OR-2.4.1",
    "mac=02:7A:41:00:2C:12,name=Harbour-Mast,level=1,restore-at=2",
    "mac=02:7A:41:00:2C:13,name=Old-Quarry,level=0",
]
F1, F3, F4, ESC = "\x1bOP", "\x1bOR", "\x1bOS", "\x1b"
WRAPPER = 'stty -g; "$@"; echo "exit status $?"; stty -g'
DISCOVERY_REQUESTS = re.compile(r" rx \S+ \S+ > FF:FF:FF:FF:FF:FF PDU (1024|4) ")


@pytest.fixture
def segment():
    """This file's segments carry their own name prefix."""
    seg = Segment(os.environ.get("ORVEX_E2E_PREFIX", "ox8")).create()
    try:
        yield seg
    finally:
        seg.remove()


def shown(text):
    """Text as it reaches a UTF-8 terminal, read back as the fixture decodes it (latin-1)."""
    return text.encode("utf-8").decode("latin-1")


def start(run_program, args, utf8=False):
    env = dict(os.environ, LC_ALL="C.UTF-8" if utf8 else "C")
    program = run_program(["sh", "-c", WRAPPER, "sh", os.path.join(build_dir(), "orvexterm"), *args], env=env)
    program.expect(r"^([0-9a-f:]+)\r\n", timeout=5)
    program.settings_before = program.child.match.group(1)
    return program


def finish(program, timeout=10):
    """The program's exit status, after checking that the terminal is as it was."""
    program.expect(r"exit status (\d+)\r\n([0-9a-f:]+)\r\n", timeout=timeout)
    status, after = int(program.child.match.group(1)), program.child.match.group(2)
    assert after == program.settings_before
    assert program.wait_exit(5) == 0
    return status


def table_rows(names):
    return [shown(f"\u25a0 {i:03d}  \u25a0 {name:<17} \u25a0 ") for i, name in enumerate(names, 1)]


def discovery_requests(sim):
    return len(DISCOVERY_REQUESTS.findall(sim.log()))


def test_e2e_choose_type_help_new_session_restore_and_logout(start_simulator, run_program, tmp_path):
    sim = start_simulator(RADIOS)
    program = start(run_program, ["-o", "capture.txt"], utf8=True)
    program.expect_exact(shown("\u2502 Node \u2502 Name"))
    for row in table_rows(["North-Ridge", "Harbour-Mast", "Old-Quarry"]):
        program.expect_exact(row)
    program.expect_exact("Please type the device ID>")
    requests = discovery_requests(sim)
    assert requests > 0

    program.send("1\r")
    program.expect_exact("Connection with device [1] established successfully. Press F1 for help")
    program.expect_exact("North-Ridge> ")
    program.send("version\r")
    program.expect(r"version\r+\nNorth-Ridge firmware OR-2\.4\.1")
    program.send(F1)
    program.expect_exact(shown("\u2551 F4 - Start new session"))
    program.expect_exact(shown("\u255a" + "\u2550" * 72 + "\u255d"))
    program.expect_exact("North-Ridge> ")  # the carriage return sent after the help

    # F4: the whole table again from the first discovery, and a new choice.
    program.send(F4)
    program.expect_exact(shown("\u2502 Node \u2502 Name"))
    for row in table_rows(["North-Ridge", "Harbour-Mast", "Old-Quarry"]):
        program.expect_exact(row)
    program.expect_exact("Please type the device ID>")
    program.send("2\r")
    program.expect_exact("Connection with device [2] established successfully.")
    program.expect_exact("Harbour-Mast> ")
    assert sim.wait_log(r"North-Ridge: session ended by the host", 2)

    # The radio's second command asks for a restore: after a key, the same radio again.
    program.send("version\r")
    program.expect(r"version\r+\nHarbour-Mast firmware SIM-1\.0")
    program.send("sdp fw\r")
    program.expect_exact("Restoring connection with device 02:7A:41:00:2C:12.\r\n"
                         "Please press any key to continue ...")
    program.send("x")
    program.expect_exact("Connection with device [2] established successfully.")
    program.expect_exact("Harbour-Mast> ")
    program.send("logout\r")
    program.expect_exact("Connection with device terminated")
    assert finish(program) == 0

    assert discovery_requests(sim) == requests
    log = sim.log()
    assert re.search(r"Harbour-Mast: command 3: logout", log), "the key after the restore reached the radio"
    with open(tmp_path / "capture.txt", "rb") as f:
        captured = f.read()
    for text in (b"North-Ridge> version\r\nNorth-Ridge firmware OR-2.4.1", b"Harbour-Mast> logout\r\nBye"):
        assert text in captured


@pytest.mark.parametrize("way_out", ["F3", "Esc", "SIGTERM"])
def test_e2e_preselected_radio_and_the_ways_out(start_simulator, run_program, way_out):
    sim = start_simulator(RADIOS)
    program = start(run_program, ["-r", "02:7A:41:00:2C:13"])
    index = program.expect(["Please type the device ID>", r"Connection with device \[3\] established"])
    assert index == 1, "the -r choice was not taken"
    program.expect_exact("Old-Quarry> ")
    _wait_for_raw_mode(program)
    if way_out == "SIGTERM":
        os.kill(_child_of(program.child.pid), signal.SIGTERM)
        assert finish(program) == 128 + signal.SIGTERM
        return
    program.send(F3 if way_out == "F3" else ESC)
    assert finish(program) == 0
    assert sim.wait_log(r"Old-Quarry: session ended by the host", 2)


def test_e2e_wrong_options_and_an_empty_segment(run_program):
    program = start(run_program, ["-Z", "extra", "-o"])
    program.expect_exact("Bad argument -Z - ignoring\r\n"
                         "Bad argument extra - ignoring\r\n"
                         "missing parameter for argument -o -ignoring\r\n")
    program.expect_exact("Sorry, no devices found\r\nTerminating application ...\r\n", timeout=15)
    assert finish(program) == 0


def _wait_for_raw_mode(program, timeout=3.0):
    """Keys are read raw during a session: no echo on the pseudo-terminal."""
    deadline = time.monotonic() + timeout
    while termios.tcgetattr(program.child.child_fd)[3] & termios.ECHO:
        assert time.monotonic() < deadline, "the terminal never went raw"
        time.sleep(0.05)


def _child_of(pid):
    """The one child process of the wrapping shell: the program."""
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        children = f.read().split()
    assert len(children) == 1, children
    return int(children[0])
