"""Long runs (CTest label longrun): the program keeps no more descriptors,
threads or memory after many sessions than after the first. 200 times a radio
is chosen, connected, typed to and left with F4; then one update run makes five
passes over three radios, each radio failing to store the file until its last
pass."""

import os
import random
import re
import time

from conftest import PROGRAM, radio

F3, F4 = "\x1bOR", "\x1bOS"
NAMES = ["North-Ridge", "Harbour-Mast", "Old-Quarry"]  # protocol levels 2, 1 and 0
CYCLES = 200


def figures(pid):
    """Open descriptors, threads and resident kB of a process."""
    with open(f"/proc/{pid}/status") as f:
        rss = int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))
    return len(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task")), rss


def same_as_first(what, first, last):
    print(f"{what}: descriptors {first[0]} -> {last[0]}, threads {first[1]} -> {last[1]}, "
          f"VmRSS {first[2]} kB -> {last[2]} kB")
    assert last[:2] == first[:2], what
    assert abs(last[2] - first[2]) <= 1024, what


def test_longrun_sessions_and_update_passes_keep_descriptors_threads_and_memory(start_simulator, run_program,
                                                                              tmp_path):
    firmware = random.Random(7).randbytes(20000)
    (tmp_path / "fw.bin").write_bytes(firmware)
    sim = start_simulator([radio("North-Ridge", "fail-store=4"), radio("Harbour-Mast", "fail-store=4"),
                           radio("Old-Quarry", "fail-store=5")])
    begun = time.monotonic()
    program = run_program([PROGRAM])
    program.child.delaybeforesend = None
    program.expect_exact("Please type the device ID>", timeout=20)
    for cycle in range(1, CYCLES + 1):
        number = (cycle - 1) % 3 + 1
        name = NAMES[number - 1]
        program.send(f"{number}\r")
        program.expect_exact(f"{name}> ")
        program.send("version\r")
        program.expect_exact(f"protocol level {3 - number}\r\r\n{name}> ")
        program.send(F4)
        program.expect_exact("Please type the device ID>")
        if cycle == 1:
            first = figures(program.child.pid)
    same_as_first(f"after 1 and {CYCLES} sessions", first, figures(program.child.pid))
    program.send("1\r")
    program.expect_exact("North-Ridge> ")
    program.send(F3)
    assert program.wait_exit(10) == 0
    # Every radio ran each line typed to it once: a stop inside a send once left it for the next session.
    for number, name in enumerate(NAMES, 1):
        typed = len(range(number, CYCLES + 1, 3))
        assert sim.commands(name).count("version") == typed == len(sim.commands(name)), name
    print(f"{CYCLES} sessions: {time.monotonic() - begun:.0f} s")

    # Passes 1 to 4 fail at every radio, pass 5 at Old-Quarry only; pass 6 updates it.
    begun = time.monotonic()
    program = run_program([PROGRAM, "--exit-status", "-c", "1", "-f", "-u", "fw.bin#new.bin#3#5#0"])
    samples = []
    for _ in range(5):
        program.expect(r"Waiting 0 secs for the next pass", timeout=120)
        samples.append(figures(program.child.pid))
    program.expect_exact("Radios updated successfully: 3\r\n Radios not updated: 0\r\n", timeout=60)
    assert program.wait_exit(20) == 0
    same_as_first("after 1 and 5 passes over three radios", samples[0], samples[-1])
    for name in NAMES:
        assert sim.stored(name, "new.bin") == firmware
    assert sim.log().count("not stored on purpose") == 13
    print(f"update run of 6 passes: {time.monotonic() - begun:.0f} s")
