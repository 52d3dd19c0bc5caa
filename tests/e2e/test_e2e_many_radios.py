"""A segment with more radios answering at once than the table holds: 700
radios of one simulator answer every discovery request together; the program
lists 599 of them, each once and numbered 1 to 599, ignores the rest and asks
for a choice when its listening time is over. And 599 radios whose answers
all leave within a few milliseconds of the request are all listed."""

import re
import time

from conftest import PROGRAM


def test_e2e_discovery_lists_599_of_700_radios_at_once(start_simulator, run_program):
    start_simulator(["level=2"] * 700)  # Radio-1 ... Radio-700, each its own address
    started = time.monotonic()
    program = run_program([PROGRAM, "-c", "1"], utf8=True)
    program.expect_exact("Discovery phase completed (599 devices were found total).\r\nPlease type the device ID>", 20)
    # No stall: discovery listens for 3 to 5 s, however many answer.
    assert time.monotonic() - started < 10
    rows = re.findall(r"^■ (\d{3})  ■ (Radio-\d+) +■ (02:7A:41:00:0[0-2]:[0-9A-F]{2}) ■", program.screen(), re.M)
    assert [int(node) for node, _, _ in rows] == list(range(1, 600))
    assert len({name for _, name, _ in rows}) == len({mac for _, _, mac in rows}) == 599
    program.send("0\r")  # no such node: the program says so and ends
    program.expect_exact("value out of valid range [1-599].")
    program.wait_exit()


def test_e2e_discovery_lists_599_radios_answering_in_one_burst(start_simulator, run_program):
    # More answers at once than a small capture buffer holds, and faster than rows are printed.
    sim = start_simulator(["level=2"] * 599, ["--burst"])
    program = run_program([PROGRAM, "-c", "1"], utf8=True)
    program.expect(r"\((\d+) devices were found total\)", 20)
    listed = int(program.child.match.group(1))
    burst = sim.wait_log(r"burst of 599 frames sent, the last (\d+) us after")
    print(f"listed {listed}; the first burst ended {burst and burst.group(1)} us after the request")
    assert burst and listed == 599
    assert len(set(re.findall(r"^■ \d{3}  ■ (Radio-\d+) ", program.screen(), re.M))) == 599
