"""scripts/sim_segment.sh: the segment with three radios is there while the
command runs and gone afterwards, also after Ctrl+C; without root it says so."""

import os
import secrets
import select
import shutil
import signal
import subprocess
import time

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SCRIPT = os.path.join(ROOT, "scripts", "sim_segment.sh")


@pytest.fixture
def segment_env(tmp_path):
    prefix = "ox4s" + secrets.token_hex(2)
    env = dict(os.environ, ORVEX_SEGMENT_PREFIX=prefix, ORVEX_SIM_STORE=str(tmp_path / "store"))
    env.setdefault("ORVEX_BUILD_DIR", os.path.join(ROOT, "build"))
    yield prefix, env
    for ns in (f"{prefix}-host", f"{prefix}-radios"):  # in case the script failed to
        subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def namespaces(prefix):
    listing = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return sorted(line.split()[0] for line in listing.splitlines() if line.startswith(prefix))


def test_e2e_script_runs_the_command_beside_three_radios(segment_env, tmp_path):
    prefix, env = segment_env
    # The program itself, from the caller's directory, with commands from an input file.
    (tmp_path / "commands.txt").write_text("version\nlogout\n")
    program = os.path.abspath(os.path.join(env["ORVEX_BUILD_DIR"], "orvexterm"))
    done = subprocess.run([SCRIPT, program, "-r", "Harbour-Mast", "-i", "commands.txt"], cwd=tmp_path,
                          env=dict(env, LC_ALL="C.UTF-8"), stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert f"behind {prefix}h0 in namespace {prefix}-host" in done.stdout
    for row in ("\u25a0 001  \u25a0 North-Ridge       \u25a0 02:7A:41:00:2C:11 \u25a0 11281 \u25a0 OR-2.4.1",
                "\u25a0 002  \u25a0 Harbour-Mast      \u25a0 02:7A:41:00:2C:12 \u25a0 11282 \u25a0  ",
                "\u25a0 003  \u25a0 Old-Quarry        \u25a0 02:7A:41:00:2C:13 \u25a0 11283 \u25a0  "):
        assert row in done.stdout
    assert "Harbour-Mast> version\n" in done.stdout
    assert done.stdout.endswith("Connection with device terminated\nSimulated segment removed.\n")
    assert namespaces(prefix) == []


def test_e2e_script_passes_on_the_commands_status(segment_env):
    prefix, env = segment_env
    done = subprocess.run([SCRIPT, "sh", "-c", 'ip link show "$ORVEX_SIM_INTERFACE" >/dev/null && exit 7'],
                          env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 7, done.stdout + done.stderr
    assert namespaces(prefix) == []


@pytest.mark.parametrize("sig,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)], ids=["SIGINT", "SIGTERM"])
def test_e2e_interrupted_script_removes_the_segment(segment_env, sig, status):
    prefix, env = segment_env
    script = subprocess.Popen([SCRIPT], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              start_new_session=True)
    try:
        deadline = time.monotonic() + 20
        while len(namespaces(prefix)) < 2 or "Press Ctrl+C" not in _peek(script):
            assert time.monotonic() < deadline and script.poll() is None, "the segment did not come up"
            time.sleep(0.1)
        script.send_signal(sig)
        out, _ = script.communicate(timeout=20)
    finally:
        if script.poll() is None:
            script.kill()
    assert script.returncode == status
    assert "Simulated segment removed." in out
    assert namespaces(prefix) == []


def test_e2e_script_says_it_needs_root(segment_env):
    prefix, env = segment_env
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv is not installed")
    done = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", SCRIPT], env=env,
                          capture_output=True, text=True, timeout=20)
    assert done.returncode == 1
    assert done.stderr.startswith("sim_segment.sh needs root: it creates network namespaces")
    assert namespaces(prefix) == []


_seen = {}


def _peek(process):
    """What the process printed so far, read without blocking."""
    text = _seen.get(process.pid, "")
    while select.select([process.stdout], [], [], 0)[0]:
        chunk = os.read(process.stdout.fileno(), 4096).decode()
        if not chunk:
            break
        text += chunk
    _seen[process.pid] = text
    return text
