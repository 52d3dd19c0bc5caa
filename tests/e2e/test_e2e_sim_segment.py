"""scripts/sim_segment.sh: the segment with three radios is there while the
command runs and gone afterwards, also after Ctrl+C."""

import os
import secrets
import signal
import subprocess
import time

import json
import re

import pytest

from conftest import BUILD, PROGRAM

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SCRIPT = os.path.join(TOP, "scripts", "sim_segment.sh")


def namespaces(prefix):
    listing = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True, timeout=20).stdout
    return [line.split()[0] for line in listing.splitlines() if line.startswith(prefix)]


@pytest.fixture
def script_env(tmp_path):
    prefix = "oxs" + secrets.token_hex(2)
    yield prefix, dict(os.environ, ORVEX_SEGMENT_PREFIX=prefix, ORVEX_SIM_STORE=str(tmp_path / "store"),
                       ORVEX_BUILD_DIR=os.path.abspath(BUILD), LC_ALL="C.UTF-8")
    for ns in namespaces(prefix):  # in case the script failed to
        subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=20)


def test_e2e_script_runs_the_program_beside_three_radios(script_env, tmp_path):
    prefix, env = script_env
    # From the caller's directory, with commands from an input file.
    (tmp_path / "commands.txt").write_text("version\nlogout\n")
    done = subprocess.run([SCRIPT, PROGRAM, "-r", "Harbour-Mast", "-i", "commands.txt"], cwd=tmp_path, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert f"behind {prefix}h0 in namespace {prefix}-host" in done.stdout
    assert "(3 devices were found total)" in done.stdout and "Harbour-Mast> version\n" in done.stdout
    assert done.stdout.endswith("Connection with device terminated\nSimulated segment removed.\n")
    assert namespaces(prefix) == []


def test_e2e_interrupted_script_removes_the_segment(script_env):
    prefix, env = script_env
    script = subprocess.Popen([SCRIPT], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              start_new_session=True)
    try:
        deadline = time.monotonic() + 20
        while "started on" not in _read(os.path.join(env["ORVEX_SIM_STORE"], "radiosim.log")):
            assert time.monotonic() < deadline and script.poll() is None, "the segment did not come up"
            time.sleep(0.1)
        script.send_signal(signal.SIGINT)
        out, _ = script.communicate(timeout=20)
    finally:
        if script.poll() is None:
            script.kill()
    assert script.returncode == 130
    assert "Simulated segment removed." in out
    assert namespaces(prefix) == []


def test_e2e_readme_update_example_updates_the_three_radios(script_env, tmp_path):
    with open(os.path.join(TOP, "README.md")) as f:
        readme = f.read()
    for path in re.findall(r"\bexamples/[\w.-]+", readme):  # every example file it names is in the tree
        assert os.path.isfile(os.path.join(TOP, path)), path
    assert "\nscripts/sim_segment.sh examples/update.sh" in readme.replace("`", "\n")
    # As from the top of the tree: build/orvexterm and fw.bin in the working directory.
    _, env = script_env
    os.symlink(os.path.abspath(BUILD), tmp_path / "build")
    (tmp_path / "fw.bin").write_bytes(os.urandom(20000))
    done = subprocess.run([SCRIPT, os.path.join(TOP, "examples", "update.sh")], cwd=tmp_path, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=150)
    assert done.returncode == 0 and "all radios updated\n" in done.stdout, done.stdout + done.stderr
    with open(tmp_path / "update.jsonl") as f:
        totals = json.loads(f.read().splitlines()[-1])["totals"]
    assert (totals["ok"], totals["radios"]) == (3, 3)


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""
