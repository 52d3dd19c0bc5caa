"""A download is whole or it fails: a served file that changes under the
transfer fails it, an old acknowledgement repeated by the wire skips no block,
and a transfer ends only once its last bytes are acknowledged, so the command
after it goes out as typed text."""

import random
import re
import subprocess
import time

import pytest

from conftest import PROGRAM, radio, serial
from test_e2e_batch import report, steps

NAME = "North-Ridge"


def update_run(segment, tmp_path, source, action):
    """An update run of the one radio, its output going to out.txt; the process."""
    with open(tmp_path / "out.txt", "wb") as out:
        return subprocess.Popen(segment.command(segment.program_ns, [
            PROGRAM, "-c", "1", "--report", "run.jsonl", "-f", "-u", f"{source}#main.bin#{action}#0#0"]),
            cwd=tmp_path, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)


def output(tmp_path):
    return (tmp_path / "out.txt").read_text("utf-8", "replace").replace("\r\n", "\n")


def events(sim):
    """The simulator's log without its frames."""
    return re.sub(r".* [rt]x(?: \(\w+\))? .*\n", "", sim.log())


@pytest.mark.parametrize("change", ["shrink", "grow"])
def test_e2e_a_served_file_that_changes_fails_the_download(segment, start_simulator, tmp_path, change):
    size = 3000000
    (tmp_path / "big.bin").write_bytes(random.Random(7).randbytes(size))
    sim = start_simulator([radio(NAME, "block-delay=1")])  # about 1 ms a block: 3 MB in 2 to 3 s
    run = update_run(segment, tmp_path, "big.bin", 2)
    assert sim.wait_log(rf"{NAME}: download: big.bin, {size} bytes", 30)
    time.sleep(0.3)  # some blocks on their way
    with open(tmp_path / "big.bin", "r+b") as f:
        if change == "shrink":
            f.truncate(size // 3)
        else:
            f.seek(0, 2)
            f.write(b"x" * 100000)
    assert not re.search(r"download: (stored|big.bin (cut|is))", events(sim)), "changed too late"
    run.wait(90)
    text, log = output(tmp_path), events(sim)
    assert "Download: FAILED\n" in text and "Download: OK" not in text and "Set Default Program" not in text, (
        steps(text), log)
    assert "command 2" not in log and "longer than announced" not in log, log
    line = report(tmp_path)[0]
    assert (line["result"], line["last_error"]) == ("failed", "file changed while served"), line


def test_e2e_a_repeated_acknowledgement_skips_no_block(segment, start_simulator, tmp_path):
    firmware = random.Random(8).randbytes(2000000)
    (tmp_path / "fw.bin").write_bytes(firmware)
    sim = start_simulator([radio(NAME, "print-during-transfer", "duplicate=10", "loss-in=2")],
                          extra_args=["--seed", "7"])
    run = update_run(segment, tmp_path, "fw.bin", 3)
    run.wait(120)
    text, log = output(tmp_path), events(sim)
    assert "Max number of retransmissions" not in text, (steps(text), log[-3000:])
    assert f"{NAME}: download: stored main.bin (2000000 bytes" in log, log[-3000:]
    assert sim.stored(NAME, "main.bin") == firmware


@pytest.mark.parametrize("hold,size", [(4000, 100000), (2000, 135000)])  # the second ends with an empty block
def test_e2e_a_download_ends_when_its_last_bytes_are_acknowledged(segment, start_simulator, tmp_path, hold, size):
    (tmp_path / "fw.bin").write_bytes(random.Random(9).randbytes(size))
    sim = start_simulator([radio(NAME, f"hold-last-ack={hold}")])
    run = update_run(segment, tmp_path, "fw.bin", 2)
    seen = {}  # when the release and "Download: OK" were first seen
    deadline = time.monotonic() + 60
    while run.poll() is None and time.monotonic() < deadline:
        for key, found in (("released", "released held acknowledgement" in sim.log()),
                           ("ok", "Download: OK" in output(tmp_path))):
            if found:
                seen.setdefault(key, time.monotonic())
        time.sleep(0.02)
    run.wait(30)
    text, log = output(tmp_path), events(sim)
    assert "Download: OK\n" in text and "Set Default Program: OK\n" in text, steps(text)
    assert "released" in seen and seen["ok"] >= seen["released"], (seen, log)
    # The command after the download reached the radio as typed text, once its acknowledgement was released.
    assert sim.commands(NAME) == ["download fw.bin main.bin", "sdp main.bin"], log
    assert log.index("released held acknowledgement") < log.index("command 2: sdp"), log
