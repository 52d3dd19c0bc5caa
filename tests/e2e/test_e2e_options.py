"""The options that only inform (--help, --version) and a long option the
program does not know: each ends the program before a frame goes out."""

import os
import subprocess

from conftest import BUILD, PROGRAM

SIM = os.path.abspath(os.path.join(BUILD, "orvex-radiosim"))
SCAN = os.path.abspath(os.path.join(BUILD, "orvex-scan"))


def test_e2e_help_version_and_an_unknown_long_option_send_no_frame(segment, capture):
    frames = capture()
    runs = [  # (program, argv, status, the start of standard output)
        (PROGRAM, ["--help"], 0, "\n\n"), (PROGRAM, ["-d", "--version"], 0, "orvexterm ORVEX 03.05 (build "),
        (PROGRAM, ["--xyz"], 255, "Unknown option --xyz - terminating\nUsage: orvexterm "),
        (PROGRAM, ["--exit-status", "--report=r.jsonl", "-d"], 2, "Unknown option --report=r.jsonl - terminating\n"),
        (SIM, ["--version"], 0, "orvex-radiosim ORVEX 03.05 (build "), (SIM, ["--help"], 0, "Usage: orvex-radiosim"),
        (SCAN, ["--version"], 0, "orvex-scan ORVEX 03.05 (build "), (SCAN, ["--help"], 0, "usage: orvex-scan"),
    ]
    for program, argv, status, start in runs:
        done = subprocess.run(segment.command(segment.program_ns, [program, *argv]), capture_output=True, timeout=20)
        assert (done.returncode, done.stdout.decode("cp437")[:len(start)]) == (status, start), argv
        if "--version" in argv:
            assert done.stdout.count(b"\n") == 1
    assert frames.rows() == []
