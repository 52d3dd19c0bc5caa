"""The program on a bad link and beside bad stations: orvex-radiosim loses,
doubles and reorders frames (seeded, so a run repeats as long as the frames
do), and a station in the radios' namespace floods the segment with malformed
frames. Discovery gets no clean start: the program's three identify requests
carry it through the loss."""

import os
import random
import re
import subprocess
import sys
import time

from conftest import PROGRAM, PROGRAM_MAC, RADIOS, radio
from test_e2e_session import F3, F4, finish, start

LOSS = ("loss-in=10", "loss-out=10")
FLOOD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "flood.py")


def transfer_bound(exchanges, loss_in, loss_out):
    """Seconds that a stop-and-wait exchange of `exchanges` frames may take on
    the lossy link. An exchange (a frame and its acknowledgement) fails with
    p = 1 - (1 - loss_in)(1 - loss_out); the sender then waits 300 ms, 390 ms,
    507 ms, ... (x1.3 a time) before each repetition, so an exchange costs on
    average E = sum over k >= 1 of p^k * 300 * 1.3^(k-1) = 300 p / (1 - 1.3 p)
    ms of waiting (76 ms at 10 % each way). The bound is twice the expectation
    over all exchanges (at 10 % and 151 exchanges, about 5 standard deviations
    above it), plus the transfer's fixed 346 ms pause at its end and 5 s for
    the frames' own travel and a loaded machine."""
    p = 1 - (1 - loss_in) * (1 - loss_out)
    assert 1.3 * p < 1
    return 2 * exchanges * 0.300 * p / (1 - 1.3 * p) + 0.346 + 5


def fates(sim, name):
    """How often the wire of radio `name` lost, doubled and held back a frame, each way."""
    return {(way, fate): len(re.findall(rf"{name}: {way} frame {fate}\n", sim.log()))
            for way in ("received", "sent") for fate in ("lost", "doubled", "held back")}


def test_e2e_download_and_typing_at_ten_percent_loss(start_simulator, run_program, tmp_path):
    firmware = random.Random(1).randbytes(200000)
    (tmp_path / "fw.bin").write_bytes(firmware)
    sim = start_simulator([radio("North-Ridge", *LOSS)], extra_args=["--seed", "3"])
    program = start(run_program, [])  # the only radio found is taken at once
    program.expect_exact("North-Ridge> ", timeout=20)

    # The request, its response and 149 blocks (148 of 1350 bytes, one of 200).
    bound = transfer_bound(2 + 149, 0.1, 0.1)
    begun = time.monotonic()
    program.send("download fw.bin fw.bin\r")
    program.expect_exact("Download complete: 200000 bytes stored as fw.bin\r\r\nNorth-Ridge> ", timeout=bound + 30)
    took = time.monotonic() - begun
    print(f"200000 bytes at 10 % loss each way: {took:.1f} s (bound {bound:.1f} s)")
    assert took < bound
    assert sim.stored("North-Ridge", "fw.bin") == firmware

    # 200 lines of 10 characters, each typed once the one before was answered:
    # the radio takes each once and in order, and the screen shows each answer once.
    rng = random.Random(2)
    lines = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(10)) for _ in range(200)]
    mark = len(program.output())
    for line in lines:
        program.send(line + "\r")
        program.expect_exact(f"Unknown command: {line}\r\r\nNorth-Ridge> ", timeout=30)
    assert program.output()[mark:] == "".join(f"{line}\r\r\nUnknown command: {line}\r\r\nNorth-Ridge> "
                                              for line in lines)
    assert sim.commands("North-Ridge") == ["download fw.bin fw.bin", *lines]
    program.send(F3)
    assert finish(program) == 0
    lost = fates(sim, "North-Ridge")
    assert lost["received", "lost"] > 50 and lost["sent", "lost"] > 50, lost


def test_e2e_doubled_and_reordered_frames_change_nothing_seen(start_simulator, run_program, tmp_path):
    firmware = random.Random(3).randbytes(40000)
    (tmp_path / "fw.bin").write_bytes(firmware)

    def session(*faults):
        sim = start_simulator([radio("Harbour-Mast", *faults)], extra_args=["--seed", "5"])
        program = start(run_program, [])
        program.expect_exact("Harbour-Mast> ", timeout=20)
        for line in ["version", "download fw.bin fw.bin", *(f"line {n}" for n in range(30)), "logout"]:
            program.send(line + "\r")
            program.expect_exact("Harbour-Mast> " if line != "logout" else "Connection with device terminated")
        assert finish(program) == 0
        sim.process.terminate()
        sim.process.wait(10)  # before the next one plays the same radio
        return program.screen(), sim.stored("Harbour-Mast", "fw.bin"), fates(sim, "Harbour-Mast")

    clean, stored, _ = session()
    shown, stored_again, counted = session("duplicate=20", "reorder=20")
    # A file request that comes again is reported as such ("ALREADY RCVD: ..."), at every diagnostic level.
    assert re.sub(r"ALREADY RCVD:.*\n", "", shown) == clean
    assert stored == stored_again == firmware
    assert min(counted[way, fate] for way in ("received", "sent") for fate in ("doubled", "held back")) > 5, counted


def test_e2e_update_run_of_three_radios_at_five_percent_loss(segment, start_simulator, tmp_path):
    firmware = random.Random(4).randbytes(30000)
    (tmp_path / "fw.bin").write_bytes(firmware)
    names = ["North-Ridge", "Harbour-Mast", "Old-Quarry"]  # protocol levels 2, 1 and 0
    sim = start_simulator([radio(name, "loss-in=5", "loss-out=5") for name in names], extra_args=["--seed", "6"])
    done = subprocess.run(segment.command(segment.program_ns, [PROGRAM, "--exit-status", "-c", "1", "-f", "-u",
                                                               "fw.bin#new.bin#3#0#0"]),
                          cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True, timeout=150)
    text = done.stdout.decode("utf-8", "replace")
    assert done.returncode == 0, text
    assert "Radios updated successfully: 3\n Radios not updated: 0\n" in text
    for name in names:
        assert sim.stored(name, "new.bin") == firmware, name
        assert sum(fates(sim, name).values()) > 0, name


def flood(segment, name, cid, seconds, seed, mode):
    """flood.py in the radios' namespace, as a station beside radio `name`."""
    return subprocess.Popen(segment.command(segment.radio_ns, [sys.executable, FLOOD, segment.radio_if, PROGRAM_MAC,
                                                               RADIOS[name][0], str(cid), str(seconds), str(seed),
                                                               mode]), stdout=subprocess.PIPE, text=True)


def connection_id(sim, name):
    """The identifier of the last connection the radio accepted."""
    return int(re.findall(rf"{name}: connected to .* cid=(\d+)", sim.log())[-1])


def test_e2e_a_flood_of_garbage_beside_a_transfer_changes_nothing(segment, start_simulator, run_program, tmp_path):
    firmware = random.Random(5).randbytes(200000)
    (tmp_path / "fw.bin").write_bytes(firmware)
    sim = start_simulator([radio("North-Ridge"), radio("Old-Quarry")])
    program = start(run_program, [])
    program.expect_exact("Please type the device ID>", timeout=20)
    program.send("1\r")
    program.expect_exact("North-Ridge> ", timeout=10)
    noise = flood(segment, "North-Ridge", connection_id(sim, "North-Ridge"), 6, 7, "noise")
    time.sleep(1)  # the flood under way
    program.send("download fw.bin fw.bin\r")
    program.expect_exact("Download complete: 200000 bytes stored as fw.bin\r\r\nNorth-Ridge> ", timeout=60)
    for n in range(20):  # typed while the flood goes on
        program.send(f"line {n}\r")
        program.expect_exact(f"line {n}\r\r\nUnknown command: line\r\r\nNorth-Ridge> ", timeout=20)
    assert int(noise.communicate(timeout=30)[0]) > 1000
    assert sim.stored("North-Ridge", "fw.bin") == firmware
    program.send(F4)
    program.expect_exact("Please type the device ID>", timeout=10)
    program.send("2\r")
    program.expect_exact("Old-Quarry> ", timeout=10)
    program.send(F3)
    assert finish(program) == 0


def test_e2e_garbage_on_the_session_ends_at_most_the_session(segment, start_simulator, run_program, tmp_path):
    (tmp_path / "fw.bin").write_bytes(random.Random(6).randbytes(5000000))
    sim = start_simulator([radio("North-Ridge"), radio("Old-Quarry")])
    ended = "exit status (\\d+)\r\n([0-9a-f:]+)\r\n"

    def choose(number, name):
        program = start(run_program, [])
        program.expect_exact("Please type the device ID>", timeout=20)
        program.send(f"{number}\r")
        program.expect_exact(f"{name}> ", timeout=10)
        return program

    for seed in range(1, 4):
        program = choose(1, "North-Ridge")
        program.send("download fw.bin fw.bin\r")
        program.expect_exact("[Transferring file", timeout=10)
        hostile = flood(segment, "North-Ridge", connection_id(sim, "North-Ridge"), 3, seed, "hostile")
        time.sleep(1.5)
        # The program may end the transfer, the session or itself as for a radio's error, restore request or
        # disconnect, but F4 leads back to the table, or the program has ended and a new run begins.
        program.send(F4)
        for _ in range(5):
            seen = program.expect(["Please type the device ID>", ended,
                                   "established successfully[^>]*North-Ridge> "], 30)
            if seen != 2:
                break
            program.send(F4)  # a restore took F4 for the key it asked for and set the same radio up again
        assert seen != 2, "F4 leads nowhere"
        if seen == 0:
            program.send("2\r")
            program.expect_exact("Old-Quarry> ", timeout=10)
            program.send(F3)
            program.expect(ended, 10)
        status, settings = program.child.match.groups()
        assert settings == program.settings_before and int(status) < 128, "the terminal as it was, no signal"
        # No control character of the garbage reached the terminal: only the program's own title sequences.
        shown = re.sub(r"\x1b\[2[23];0t|\x1b\]2;[^\x07]*\x07", "", program.output())
        assert not re.search("[\x00-\x08\x0b-\x0c\x0e-\x1f\x7f]", shown)
        assert program.wait_exit(5) == 0
        assert int(hostile.communicate(timeout=30)[0]) > 100
        if seen == 1:
            program = choose(2, "Old-Quarry")
            program.send(F3)
            assert finish(program) == 0


def test_e2e_a_prying_station_beside_a_transfer_gets_ten_answers_a_second_and_no_file(segment, start_simulator,
                                                                                       run_program, tmp_path):
    firmware = random.Random(9).randbytes(300000)
    (tmp_path / "fw.bin").write_bytes(firmware)
    (tmp_path / ".secret_token").write_bytes(b"secret")
    sim = start_simulator([radio("North-Ridge", "block-delay=3")])  # the transfer takes a few seconds
    program = start(run_program, ["-r", "North-Ridge"])
    program.expect_exact("North-Ridge> ", timeout=20)
    pry = flood(segment, "North-Ridge", connection_id(sim, "North-Ridge"), 3, 9, "prying")
    program.send("download fw.bin fw.bin\r")
    program.expect_exact("Download complete: 300000 bytes stored as fw.bin\r\r\nNorth-Ridge> ", timeout=60)
    answers, asked = map(int, pry.communicate(timeout=30)[0].split())
    assert asked > 100 and answers <= 10 * 4, (answers, asked)
    assert sim.stored("North-Ridge", "fw.bin") == firmware
    screen = program.screen()
    assert "secret" not in screen and "\x1b[2J" not in screen and "\x1b]0;x" not in screen, screen[-2000:]
    program.send(F3)
    assert finish(program) == 0
