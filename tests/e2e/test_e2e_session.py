"""The program as an operator uses it: orvexterm under a pseudo-terminal on one
end of the segment, the radios on the other. Each run is wrapped in a shell
that prints the terminal's settings (stty -g) before and after it, so that
every way out is also checked to give the terminal back."""

import os
import signal
import subprocess
import termios
import time

import pytest

from conftest import PROGRAM, PROGRAM_MAC, radio

F1, F3, F4, ESC = "\x1bOP", "\x1bOR", "\x1bOS", "\x1b"
WRAPPER = 'ulimit -c 0; stty -g; "$@"; echo "exit status $?"; stty -g'
# The output's reader stops at the connection's first line: the program's next output finds none.
PIPE_WRAPPER = 'stty -g; "$@" | grep -m1 -a established; echo "exit status ${PIPESTATUS[0]}"; stty -g'

BANNER = """end of processing arguments ...
\x1b[22;0t\x1b]2;OrvexTerm rev ORVEX 03.05 \x07

╔════════════════════════════════════╦════════════════════════════════════╗
║ Orvexterm ORVEX 03.05              ║                                    ║
║ (c) Orvex Radio Works, 2007-2026   ║  For updates & fixes visit:        ║
║ Ethernet Console Program           ║  https://orvexterm.example/        ║
╚════════════════════════════════════╩════════════════════════════════════╝
 Local host is {host}, running under {system}
Opening {interface} [MAC {mac}] ...
"""
TABLE_HEAD = """\r┌──────┬───────────────────┬───────────────────┬───────┬───────────────────
│ Node │ Name              │ MAC Address       │ S/N   │ Firmware
"""
# The firmware text is shown from protocol level 2 up; every row is padded to its full width.
TABLE_ROWS = ("■ 001  ■ North-Ridge       ■ 02:7A:41:00:2C:11 ■ 11281 ■ OR-2.4.1" + " " * 8 + "\n"
              "■ 002  ■ Harbour-Mast      ■ 02:7A:41:00:2C:12 ■ 11282 ■" + " " * 17 + "\n"
              "■ 003  ■ Old-Quarry        ■ 02:7A:41:00:2C:13 ■ 11283 ■" + " " * 17 + "\n"
              "\r\nDiscovery phase completed (3 devices were found total).\nPlease type the device ID>")
HELP = """

╔════════════════════════════════════════════════════════════════════════╗
║ Function keys:                                                         ║
║ F1 - Help screen                                                       ║
║ F2 - Active/deactivate diagnostic messages                             ║
║ F3 - Terminate active session and exit application                     ║
║ F4 - Start new session                                                 ║
║ F5 - Reverse screen colors                                             ║
╟────────────────────────────────────────────────────────────────────────╢
║ Command line arguments:                                                ║
║  -o filename  Specify Output File: the output to the screen is also    ║
║               saved into the specified output file.If the file already ║
║               exists it is overwritten.                                ║
║               Example: >orvex -o outfile.txt                           ║
║                                                                        ║
║  -i filename  Specify Input File: the input commands are read from the ║
║               specified file instead of the keyboard.The last command  ║
║               in the file should be 'logout'.                          ║
║               Example: > orvex -i infile.txt                           ║
║                                                                        ║
║  -r MAC-addr  Establish a connection to the radio with the specified   ║
║               MAC address only, instead of performing  a discovery     ║
║               operation.                                               ║
║               Example: >orvex -r 02:7a:42:00:00:06                     ║
║                                                                        ║
║  -r serial#   Establish a connection to the radio with the specified   ║
║               serial number only, instead of performing a discovery    ║
║               operation. Example: >orvex -r 11282                      ║
║                                                                        ║
║  -l lines     Sets the number of lines of the MS-DOS console. Not all  ║
║               values are permitted.                                    ║
║               Example: >orvex -l 50                                    ║
║                                                                        ║
║  -b           Changes the default background, from grey on black to    ║
║               black on white.                                          ║
║               Example: >orvex -b                                       ║
║                                                                        ║
║  -h           Prints the help screen                                   ║
║                                                                        ║
║               Multiple arguments can be combined in any order.         ║
║               The input and output files are plain text files.         ║
║               The .txt extension is recommended but not required.      ║
╚════════════════════════════════════════════════════════════════════════╝

"""
# 2800 bytes: two full blocks and a last one, each acknowledged before the next.
PROGRESS = ("\r [Transferring file    1350 bytes sent (48% completed)]"
            "\r [Transferring file    2700 bytes sent (96% completed)]"
            "\r [Transferring file    2800 bytes sent (100% completed)]\n")


def banner(segment):
    u = os.uname()
    return BANNER.format(host=u.nodename, system=f"{u.sysname} {u.release}", interface=segment.program_if,
                         mac=PROGRAM_MAC)


def start(run_program, args, utf8=False, wrapper=WRAPPER):
    program = run_program(["bash", "-c", wrapper, "bash", PROGRAM, *args], utf8=utf8)
    program.expect(r"^([0-9a-f:]+)\r\n", timeout=5)
    program.settings_before = program.child.match.group(1)
    return program


def finish(program, timeout=10):
    """The program's exit status, after checking that the terminal is as it was."""
    program.expect(r"exit status (\d+)\r\n([0-9a-f:]+)\r\n", timeout=timeout)
    status, settings = program.child.match.groups()
    assert settings == program.settings_before
    assert program.wait_exit(5) == 0
    return int(status)


def discoveries(sim):
    return sim.log().count("North-Ridge: identify request from")


def test_e2e_table_choice_help_new_session_download_restore_and_logout(segment, start_simulator, run_program,
                                                                      tmp_path):
    firmware = os.urandom(2800)
    (tmp_path / "fw.bin").write_bytes(firmware)
    sim = start_simulator([radio("North-Ridge"), radio("Harbour-Mast", "restore-at=2"), radio("Old-Quarry")])
    program = start(run_program, ["-o", "capture.txt"], utf8=True)
    program.expect_exact("Please type the device ID>", timeout=15)
    shown = banner(segment) + "------ Start capturing output to file capture.txt -----\n\n" + TABLE_HEAD + \
        "\nDiscovery of local devices in progress ...\n" + TABLE_ROWS
    assert program.screen()[-len(shown):] == shown
    requests = discoveries(sim)
    assert requests > 0

    program.send("1\r")
    program.expect_exact("1\r\nConnection with device [1] established successfully. Press F1 for help\r\n")
    program.expect_exact("North-Ridge> ")
    program.send("version\r")
    program.expect_exact("version\r\r\nNorth-Ridge firmware OR-2.4.1, protocol level 2\r\r\nNorth-Ridge> ")
    program.send(F1)
    program.expect_exact(HELP.replace("\n", "\r\n"))
    program.expect_exact("North-Ridge> ")  # the carriage return sent after the help

    # F4: the table of the first discovery again, and a new choice.
    program.send(F4)
    program.expect_exact((TABLE_HEAD + TABLE_ROWS).replace("\n", "\r\n"))
    program.send("2\r")
    program.expect_exact("Connection with device [2] established successfully.")
    program.expect_exact("Harbour-Mast> ")
    assert sim.wait_log(r"North-Ridge: session ended by the host")

    # The radio asks for a file: served from the working directory, with its progress.
    program.send("download fw.bin flash/fw.bin\r")
    program.expect_exact("download fw.bin flash/fw.bin\r\r\nThe requested file [fw.bin] was opened successfully\r\n\r"
                         + PROGRESS.replace("\n", "\r\n") + "Download complete: 2800 bytes stored as fw.bin\r\r\n")
    assert sim.stored("Harbour-Mast", "fw.bin") == firmware

    # The radio's second command asks for a restore: after a key, the same radio again.
    program.send("version\r")
    program.expect_exact("Restoring connection with device 02:7A:41:00:2C:12.\r\nPlease press any key to continue ...")
    program.send("x")
    program.expect_exact("Connection with device [2] established successfully.")
    program.expect_exact("Harbour-Mast> ")
    program.send("logout\r")
    program.expect_exact("logout\r\r\nBye\r\r\nConnection with device terminated\r\n")
    assert finish(program) == 0

    assert discoveries(sim) == requests
    assert sim.commands("Harbour-Mast") == ["download fw.bin flash/fw.bin", "version", "logout"]
    captured = (tmp_path / "capture.txt").read_bytes()
    for text in (b"North-Ridge> version\r\nNorth-Ridge firmware OR-2.4.1", b"Harbour-Mast> logout\r\nBye"):
        assert text in captured


@pytest.mark.parametrize("way_out", ["F3", "Esc", "SIGTERM", "SIGPIPE", "SIGQUIT", "SIGSEGV"])
def test_e2e_preselected_radio_and_the_ways_out(start_simulator, run_program, way_out):
    # Every way out gives the terminal back (finish compares its settings); those of an operator or of the
    # output's reader going away disconnect the radio first, a crash only restores the terminal.
    sim = start_simulator([radio("North-Ridge"), radio("Old-Quarry")])
    program = start(run_program, ["-r", "02:7A:41:00:2C:13"], wrapper=PIPE_WRAPPER if way_out == "SIGPIPE" else WRAPPER)
    index = program.expect(["Please type the device ID>", r"Connection with device \[2\] established"], 15)
    assert index == 1, "the -r choice was not taken"
    if way_out == "SIGPIPE":
        program.send("version\r")  # the radio's answer is output nobody reads
        assert finish(program) == 128 + signal.SIGPIPE
        assert sim.wait_log(r"Old-Quarry: session ended by the host")
        return
    program.expect_exact("Old-Quarry> ")
    program.send("version\r")
    program.expect_exact("Old-Quarry firmware OR-0.8.3, protocol level 0\r\r\nOld-Quarry> ")
    if way_out.startswith("SIG"):
        _wait_for_raw_mode(program)
        os.kill(_child_of(program.child.pid), getattr(signal, way_out))
        assert finish(program) == 128 + getattr(signal, way_out)
        assert bool(sim.wait_log(r"Old-Quarry: session ended by the host", 1)) == (way_out == "SIGTERM")
        return
    program.send(F3 if way_out == "F3" else ESC)
    assert finish(program) == 0
    assert sim.wait_log(r"Old-Quarry: session ended by the host")


def test_e2e_wrong_options_and_an_empty_segment(segment, run_program):
    program = start(run_program, ["-Z", "extra", "-o"], utf8=True)
    assert finish(program, 15) == 0
    shown = program.screen().split("\n", 1)[1].split("exit status")[0]  # without the wrapper's lines
    assert shown == ("Bad argument -Z - ignoring\nBad argument extra - ignoring\n"
                     "missing parameter for argument -o -ignoring\n" + banner(segment) + TABLE_HEAD +
                     "\nDiscovery of local devices in progress ...\n"
                     f"Sorry, no devices found\nAdapter used: {segment.program_if}, link up\n"
                     "Terminating application ...\n\x1b[23;0t")
    # With the far end of the cable down, the link is said to be down.
    subprocess.run(["ip", "-n", segment.radio_ns, "link", "set", segment.radio_if, "down"], check=True, timeout=20)
    # -l 40 resizes the window (50 x 80 here): the old size is asked for again on the way out.
    program = start(run_program, ["--exit-status", "-l", "40"])
    assert finish(program, 15) == 3, "no radio found"
    assert f"Sorry, no devices found\nAdapter used: {segment.program_if}, link down\n" in program.screen()
    assert "Terminating application ...\n\x1b[23;0t\x1b[8;50;80texit status 3\n" in program.screen()


def test_e2e_keys_typed_ahead_never_reach_the_shell(segment, run_program):
    # The shell after the program reads the next line typed, as an operator's shell would, and runs it.
    program = start(run_program, [], wrapper=WRAPPER + '; read -t 2 -r line; eval "$line"; echo shell done')
    program.expect_exact("Discovery of local devices in progress ...")
    program.send("echo LEAK''ED\r")  # shown as typed, LEAKED only when run
    assert finish(program, 15) == 0
    assert "LEAKED" not in program.screen() and program.screen().endswith("shell done\n")


def test_e2e_an_input_file_without_logout_and_no_terminal(segment, start_simulator, tmp_path):
    # As from cron: standard input at its end, the file without logout. The session ends as with F3, after the
    # transfer the file's last line asked for (three blocks, each acknowledged 300 ms late).
    firmware = os.urandom(2800)
    (tmp_path / "fw.bin").write_bytes(firmware)
    (tmp_path / "input.txt").write_text("version\ndownload fw.bin fw.bin\n")
    sim = start_simulator([radio("North-Ridge", "block-delay=300")])
    done = subprocess.run(segment.command(segment.program_ns, [PROGRAM, "-r", "North-Ridge", "-i", "input.txt"]),
                          cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    assert done.returncode == 0
    assert b"North-Ridge firmware OR-2.4.1" in done.stdout
    assert sim.stored("North-Ridge", "fw.bin") == firmware
    assert sim.wait_log(r"North-Ridge: session ended by the host")
    assert sim.commands("North-Ridge") == ["version", "download fw.bin fw.bin"]


def test_e2e_adapter_by_name_and_an_update_run_without_its_file(segment, start_simulator, run_program):
    sim = start_simulator([radio("North-Ridge")])
    program = start(run_program, ["-c", "eth9"])
    assert finish(program, 15) == 0, "the exit status tells nothing without --exit-status"
    assert program.screen().endswith(f"No adapter is named eth9; the adapters are: {segment.program_if}\n"
                                     "Error: Invalid adapter\nTerminating application ...\n\x1b[23;0t"
                                     "exit status 0\n" + program.settings_before + "\n")
    # The source is looked for before any radio is contacted: not a frame goes out.
    program = start(run_program, ["--exit-status", "-c", segment.program_if, "-f", "-u", "missing.bin#new.bin#3#0#0"])
    assert finish(program, 15) == 2, "bad arguments"
    assert ("Invalid Source for Update All Radios argument [missing.bin]\n"
            "Should be a readable file in the working directory\n\aError: Either wrong arguments or user "
            "cancelation. Terminating application ...\n") in program.screen()
    assert " rx " not in sim.log()


def test_e2e_exit_status_of_a_session_ended_normally_and_of_a_lost_connection(start_simulator, run_program,
                                                                                tmp_path):
    start_simulator([radio("North-Ridge"), radio("Old-Quarry", "fail-command=1")])
    (tmp_path / "input.txt").write_text("version\nlogout\n")
    program = start(run_program, ["--exit-status", "-r", "North-Ridge", "-i", "input.txt"])
    assert finish(program, 20) == 0, "the radio ended the session"
    (tmp_path / "input.txt").write_text("version\n")
    program = start(run_program, ["--exit-status", "-r", "Old-Quarry", "-i", "input.txt"])
    program.expect_exact("Unable to transfer packet ...", timeout=40)  # 12 transmissions over 22 s
    assert finish(program, 10) == 4, "the connection was lost"


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


def test_e2e_adapter_list_sends_nothing_and_an_unattended_run_does_not_guess(segment, start_simulator, capture,
                                                                          tmp_path):
    sim = start_simulator([radio("North-Ridge")])
    frames = capture()
    listed = subprocess.run(segment.command(segment.program_ns, [PROGRAM, "-D"]), capture_output=True, text=True,
                            timeout=20)
    assert (listed.returncode, listed.stdout) == (0, f"0. {segment.program_if} [MAC {PROGRAM_MAC}] link up\n")
    # A second adapter in the program's namespace: with no -c and nothing to read, no choice is made.
    # (a veth pair inside it, one end up; the namespace's removal takes it away)
    subprocess.run(["ip", "-n", segment.program_ns, "link", "add", "oxq0", "type", "veth", "peer", "name", "oxq1"],
                   check=True, timeout=20)
    subprocess.run(["ip", "-n", segment.program_ns, "link", "set", "oxq0", "up"], check=True, timeout=20)
    (tmp_path / "fw.bin").write_bytes(b"\0" * 64)
    run = subprocess.run(segment.command(segment.program_ns, [PROGRAM, "--exit-status", "-f", "-u",
                                                              "fw.bin#fw.bin#3#0#0"]),
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20, cwd=tmp_path)
    assert run.returncode == 2, run.stdout
    refusal = run.stdout.split("No adapter was chosen: standard input has ended.\nChoose one with -c; the adapters "
                               "are: ")[1]
    assert sorted(refusal.split("\n")[0].split()) == sorted([segment.program_if, "oxq0"])
    assert frames.rows() == [] and " rx " not in sim.log()


def test_e2e_diagnostics_name_the_served_folder_and_why_a_request_is_refused(start_simulator, run_program, tmp_path):
    start_simulator([radio("North-Ridge")])
    program = start(run_program, ["-d", "-r", "02:7A:41:00:2C:11"])
    program.expect_exact(f"d:Files are served from {tmp_path}\r\n", timeout=15)
    program.expect_exact("North-Ridge> ")
    program.send("download nothere.bin x\r")
    program.expect_exact("Error: Requested file [nothere.bin.bin] is not available\r\n"
                         "d:Requested file [nothere.bin] refused: missing\r\n")
    program.send("logout\r")
    assert finish(program) == 0
