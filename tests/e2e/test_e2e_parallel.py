"""Batch runs with --parallel: up to N radios at once, each with its own
connection, pauses and retries. Beside a sequential run over the same radios
(on a segment of its own, at the same time) the report, the report file and
the exit status are the same and the run takes a fraction of the time. Without
a terminal a radio's lines are its sequential lines behind its name and serial
number; on a terminal a live view redraws a row per radio under way. F3 closes
every open connection and sends nothing else; so does Ctrl+C."""

import json
import re
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import PROGRAM, PROGRAM_MAC
from test_e2e_batch import DASHES, RULE, plain, steps
from test_e2e_session import F3

# A radio's line in a parallel run without a terminal: its name, its serial number, the line.
PREFIXED = re.compile(r"^(Radio-\d+) \((\d+)\): (.*)\n", re.M)
RUN_LINE = re.compile(r"\d+ radios  not updated after|At \d+ radios one or more|Waiting \d+ secs")
DISCONNECT = 8


def radios(count, faults=None):
    """The simulator's Radio-1 ... Radio-count (radio N has serial number N), with faults by number."""
    return [",".join(["level=2", *(faults or {}).get(n, ())]) for n in range(1, count + 1)]


def batch(segment, argv, cwd):
    """A run without a terminal: its exit status, its output and the seconds it took."""
    began = time.monotonic()
    done = subprocess.run(segment.command(segment.program_ns, [PROGRAM, "--exit-status", "-c", "1", "-f", *argv]),
                          cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, timeout=240)
    return done.returncode, plain(done.stdout.decode("utf-8", "replace")), time.monotonic() - began


def report_lines(directory):
    return (directory / "run.jsonl").read_text().splitlines()


def sequential_steps(text):
    """Each radio's steps in a sequential run, its passes joined, and the run's own lines."""
    by_radio, own, name = {}, [], None
    for line in steps(text).splitlines():
        if RUN_LINE.match(line):
            own.append(line)
            continue
        started = re.match(r"(?:Updating radio|Executing commands on radio) (\S+) \.\.\.$", line)
        name = started.group(1) if started else name
        by_radio.setdefault(name, []).append(line)
    return by_radio, own


def parallel_steps(text):
    """The same of a parallel run without a terminal; a radio's lines are taken
    only behind its own name and serial number."""
    lines = {}
    for name, serial, line in PREFIXED.findall(text):
        assert serial == name.split("-")[1], line
        lines.setdefault(name, []).append(line + "\n")
    return ({name: steps("".join(got)).splitlines() for name, got in lines.items()},
            steps(PREFIXED.sub("", text)).splitlines())


def test_e2e_parallel_update_run_reports_as_the_sequential_run_in_less_time(segment, another_segment, start_simulator,
                                                                           tmp_path):
    # Radio 2 refuses its first connection, radio 5 every download.
    faults = {2: ["refuse-connect"], 5: ["refuse-download=99"]}
    for seg, folder in ((segment, "parallel"), (another_segment, "sequential")):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "fw.bin").write_bytes(bytes(range(256)) * 20)
        start_simulator(radios(8, faults), on=seg)
    argv = ["--report", "run.jsonl", "-u", "fw.bin#new.bin#3#1#2000"]
    with ThreadPoolExecutor(2) as pool:
        parallel = pool.submit(batch, segment, ["--parallel", "4", *argv], tmp_path / "parallel")
        sequential = pool.submit(batch, another_segment, ["--parallel", "1", *argv], tmp_path / "sequential")
        (status, text, took), (seq_status, seq_text, seq_took) = parallel.result(), sequential.result()
    print(f"8 radios, 2 passes: --parallel 4 took {took:.1f} s, --parallel 1 {seq_took:.1f} s")
    assert (status, seq_status) == (1, 1), text + seq_text  # radio 5 was not updated
    header = f"\n{RULE}\n Radio Update Report:\n"
    assert text[text.index(header):] == seq_text[seq_text.index(header):]
    assert sorted(report_lines(tmp_path / "parallel")) == sorted(report_lines(tmp_path / "sequential"))
    assert {line["name"]: (line["result"], line["tries"]) for line in map(json.loads, report_lines(tmp_path / "parallel"))
            if "name" in line} == {f"Radio-{n}": ("failed", 2) if n == 5 else ("ok", 2 if n == 2 else 1)
                                   for n in range(1, 9)}
    assert took <= seq_took / 2

    # Without a terminal each radio says what it said in the sequential run, each
    # line behind its own name and serial number; the run's own lines are as they were.
    assert not PREFIXED.search(seq_text)
    assert parallel_steps(text) == sequential_steps(seq_text)
    assert "Radio-2 (2): Connect to Radio: FAILED\n" in text and "Radio-5 (5): Download: FAILED\n" in text


def test_e2e_parallel_command_run_gives_every_radio_each_line_once(segment, start_simulator, tmp_path):
    (tmp_path / "commands.txt").write_text("version\n# not for the radios\nshow one\nshow two\n")
    sim = start_simulator(radios(6))
    status, text, _ = batch(segment, ["--report", "run.jsonl", "--parallel", "5", "-x", "commands.txt#0#0"], tmp_path)
    assert status == 0, text
    for n in range(1, 7):
        assert sim.commands(f"Radio-{n}") == ["version", "show one", "show two"], n
    by_radio, own = parallel_steps(text)
    assert by_radio == {f"Radio-{n}": [f"Executing commands on radio Radio-{n} ...", "Connect to Radio: OK", *["OK"] * 3]
                        for n in range(1, 7)}
    assert own == []
    assert json.loads(report_lines(tmp_path)[-1])["totals"] == {"run": "commands", "radios": 6, "ok": 6, "failed": 0,
                                                                "not_tried": 0, "passes": 1, "complete": True}


def test_e2e_parallel_run_on_a_terminal_redraws_its_rows_in_place(start_simulator, run_program, tmp_path):
    (tmp_path / "fw.bin").write_bytes(bytes(range(256)) * 20)
    # Radio 2 refuses two downloads: the third pass is its own.
    start_simulator(radios(3, {2: ["refuse-download=2"]}))
    program = run_program([PROGRAM, "--exit-status", "-c", "1", "-f", "--parallel", "3", "-u", "fw.bin#new.bin#3#2#1000"])
    assert program.wait_exit(90) == 0
    screen = plain(program.screen())
    # A row of each radio under way (node, name, serial number, step, try), redrawn where it stands ...
    assert re.search(r"\x1b\[\d+A\x1b\[2K\d{3} Radio-", screen)
    assert set(re.findall(r"\x1b\[2K\d{3} (Radio-\d) +\d +[^\n]*try (\d)\n", screen)) == {
        ("Radio-1", "1"), ("Radio-2", "1"), ("Radio-2", "2"), ("Radio-2", "3"), ("Radio-3", "1")}
    # ... each finished try scrolls above them ...
    results = re.findall(r"Radio-\d+ \(\d+\): (?:OK|FAILED: [^\n\x1b]*?) \(try \d\)", screen)
    assert sorted(results) == ["Radio-1 (1): OK (try 1)", "Radio-2 (2): FAILED: download failed (try 1)",
                               "Radio-2 (2): FAILED: download failed (try 2)", "Radio-2 (2): OK (try 3)",
                               "Radio-3 (3): OK (try 1)"]
    # ... and at the end the rows go and the report stays.
    last = screen[screen.rindex("\x1b[J") + 3:]
    assert last == (f"\n{RULE}\n Radio Update Report:\n Radios updated successfully: 3\n Radios not updated: 0\n"
                    f" Number of tries: 3\n Time interval between tries (in millisecs): 1000\n{DASHES}\n\n"
                    f"Detailed list:\n{DASHES}\nRadios Updated successfully (radio name/serial number)\n\n"
                    f"         Radio-1 1\n         Radio-2 2\n         Radio-3 3\n\n{RULE}\n\n"), last


@pytest.mark.parametrize("key", [F3, "\x03"])  # F3, Ctrl+C
def test_e2e_the_operator_stop_closes_every_connection_of_a_parallel_run(start_simulator, run_program, capture, tmp_path,
                                                                         key):
    (tmp_path / "fw.bin").write_bytes(bytes(range(256)) * 200)  # 38 blocks, each acknowledged 300 ms late
    sim = start_simulator(radios(6, {n: ["block-delay=300"] for n in range(1, 7)}))
    frames = capture()
    program = run_program([PROGRAM, "--exit-status", "-c", "1", "--report", "run.jsonl", "-f", "--parallel", "3",
                           "-u", "fw.bin#new.bin#3#1#1000"])
    deadline = time.monotonic() + 30
    while len(re.findall(r"download: fw\.bin, \d+ bytes", sim.log())) < 3 and time.monotonic() < deadline:
        time.sleep(0.1)
    program.send(key)
    assert program.wait_exit(10) == 5, "stopped by the operator"

    # What the program sent, in the order the radios' end saw it.
    sent = [(row["eth.dst"].upper(), int(row["data.data"][:4], 16)) for row in frames.rows()
            if row["eth.src"] == PROGRAM_MAC.lower()]
    reached = {mac for mac, _ in sent} - {"FF:FF:FF:FF:FF:FF"}
    assert len(reached) == 3, sent
    # After the first disconnect (the key's) only disconnects, and one to every radio reached.
    first = next(i for i, (_, pdu) in enumerate(sent) if pdu == DISCONNECT)
    assert {pdu for _, pdu in sent[first:]} == {DISCONNECT}
    assert {mac for mac, _ in sent[first:]} == reached
    results = {line["mac"]: (line["result"], line["last_error"])
               for line in map(json.loads, report_lines(tmp_path)) if "mac" in line}
    assert {mac: result for mac, result in results.items() if mac in reached} == dict.fromkeys(
        reached, ("failed", "stopped by the operator"))
    assert {result for mac, result in results.items() if mac not in reached} == {("not tried", None)}
    assert "download: stored" not in sim.log()
