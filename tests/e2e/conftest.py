"""The end-to-end fixture: a fresh segment per test (two network namespaces
joined by a veth pair), orvex-radiosim on the radios' end, the program under a
pseudo-terminal or as a plain child on the other end, and a frame capture
decoded by tshark. Every wait has a deadline; the simulator's log and the
program's output are shown when a test fails."""

import os
import re
import secrets
import select
import signal
import subprocess
import time

import pexpect
import pytest

BUILD = os.environ.get("ORVEX_BUILD_DIR") or os.path.join(os.path.dirname(__file__), "..", "..", "build")
PROGRAM = os.path.abspath(os.path.join(BUILD, "orvexterm"))
PROGRAM_MAC = "02:00:00:00:4A:01"
# The radios of the segment: name -> (MAC, protocol level, firmware).
RADIOS = {
    "North-Ridge": ("02:7A:41:00:2C:11", 2, "OR-2.4.1"),
    "Harbour-Mast": ("02:7A:41:00:2C:12", 1, "OR-1.9.7"),
    "Old-Quarry": ("02:7A:41:00:2C:13", 0, "OR-0.8.3"),
    "Far-Hill": ("02:7A:41:00:2C:14", 2, "OR-2.0.0"),
    "Low-Field": ("02:7A:41:00:2C:15", 1, "OR-1.0.0"),
}


def radio(name, *faults):
    """The simulator's --radio text for one of RADIOS, with faults."""
    mac, level, firmware = RADIOS[name]
    return ",".join([f"mac={mac}", f"name={name}", f"level={level}", f"firmware={firmware}", *faults])


def serial(name):
    """The serial number the program shows: the MAC's last three bytes."""
    return str(int(RADIOS[name][0].replace(":", "")[6:], 16))


def pytest_collection_modifyitems(config, items):
    if os.geteuid() != 0:
        for item in items:
            item.add_marker(pytest.mark.skip(reason="needs root (network namespaces and raw frames)"))


def _ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True, timeout=20)


class Segment:
    def __init__(self):
        tag = secrets.token_hex(3)
        self.program_ns, self.radio_ns = f"ox-p{tag}", f"ox-r{tag}"
        self.program_if, self.radio_if = f"oxp{tag}", f"oxr{tag}"
        self.created = []

    def create(self):
        try:
            for ns in (self.program_ns, self.radio_ns):
                _ip("netns", "add", ns)
                self.created.append(ns)
            _ip("link", "add", self.program_if, "netns", self.program_ns, "address", PROGRAM_MAC, "type", "veth",
                "peer", "name", self.radio_if, "netns", self.radio_ns)
            for ns, ifname in ((self.program_ns, self.program_if), (self.radio_ns, self.radio_if)):
                # No IPv6 chatter: only the protocol's frames travel.
                _ip("netns", "exec", ns, "sysctl", "-qw", f"net.ipv6.conf.{ifname}.disable_ipv6=1")
                _ip("-n", ns, "link", "set", ifname, "up")
        except Exception:
            self.remove()
            raise
        return self

    def remove(self):
        # Deleting a namespace deletes the veth end inside it, and with it the pair.
        for ns in self.created:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=20)

    def command(self, namespace, argv):
        return ["ip", "netns", "exec", namespace, *argv]


def _wait_for_text(stream, text, timeout):
    """Reads the stream until text came; False when it did not come in time."""
    seen = ""
    deadline = time.monotonic() + timeout
    while text not in seen and time.monotonic() < deadline:
        if select.select([stream], [], [], 0.2)[0]:
            chunk = os.read(stream.fileno(), 65536)
            if not chunk:
                break
            seen += chunk.decode("latin-1")
    return text in seen


def _stop(process, sig=signal.SIGTERM):
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(10)


class Simulator:
    def __init__(self, segment, radios, workdir, extra_args=()):
        self.store_dir = os.path.join(workdir, "store")
        self.log_path = os.path.join(workdir, "radiosim.log")
        os.makedirs(self.store_dir)
        args = [os.path.join(BUILD, "orvex-radiosim"), "-q", "-i", segment.radio_if, "-s", self.store_dir,
                "-l", self.log_path, *extra_args]
        for description in radios:
            args += ["-r", description]
        self.process = subprocess.Popen(segment.command(segment.radio_ns, args),
                                        stdout=subprocess.DEVNULL)
        if not self.wait_log("started on", 10):
            _stop(self.process)
            raise RuntimeError("orvex-radiosim did not start")

    def log(self):
        try:
            with open(self.log_path, encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_log(self, pattern, timeout=3.0):
        """The first match of the regular expression in the log, waiting at most timeout s."""
        deadline = time.monotonic() + timeout
        while not (match := re.search(pattern, self.log())) and time.monotonic() < deadline:
            time.sleep(0.05)
        return match

    def commands(self, name):
        """The command lines the radio took, in order."""
        return re.findall(rf"{name}: command \d+: (.*)", self.log())

    def stored(self, name, file):
        with open(os.path.join(self.store_dir, name, file), "rb") as f:
            return f.read()


class Program:
    """A command in the program's namespace under a pseudo-terminal."""

    def __init__(self, segment, argv, cwd, env):
        command = segment.command(segment.program_ns, list(argv))
        self.child = pexpect.spawn(command[0], command[1:], cwd=cwd, timeout=10, encoding="utf-8",
                                   codec_errors="replace", dimensions=(50, 80), env=env)
        self.parts = []
        self.child.logfile_read = self

    def write(self, text):
        self.parts.append(text)

    def flush(self):
        pass

    def output(self):
        return "".join(self.parts)

    def screen(self):
        """The output with the pseudo-terminal's CR LF for each line feed taken back."""
        return self.output().replace("\r\n", "\n")

    def send(self, keys):
        self.child.send(keys)

    def expect(self, pattern, timeout=10):
        return self.child.expect(pattern, timeout=timeout)

    def expect_exact(self, text, timeout=10):
        return self.child.expect_exact(text, timeout=timeout)

    def wait_exit(self, timeout=10):
        self.child.expect(pexpect.EOF, timeout=timeout)
        self.child.close()
        return self.child.exitstatus

    def close(self):
        if self.child.isalive():
            self.child.terminate(force=True)
        self.child.close()


CAPTURE_FIELDS = ["eth.src", "eth.dst", "frame.len", "eth.len", "vlan.id", "llc.dsap", "llc.ssap", "llc.control",
                  "llc.oui", "llc.pid", "data.data"]


class Capture:
    """dumpcap on the radios' end while a run goes on; rows() has tshark's
    decoding of every frame, one dict of CAPTURE_FIELDS each."""

    def __init__(self, segment, path):
        self.path = path
        self.process = subprocess.Popen(segment.command(segment.radio_ns, ["dumpcap", "-q", "-i", segment.radio_if,
                                                                           "-w", path, "-a", "duration:300"]),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if not _wait_for_text(self.process.stderr, "Capturing on", 10):
            _stop(self.process)
            raise RuntimeError("dumpcap did not start")

    def stop(self):
        """Ends the capture; the path of the complete file."""
        _stop(self.process, signal.SIGINT)
        return self.path

    def rows(self):
        self.stop()
        fields = sum((["-e", f] for f in CAPTURE_FIELDS), [])
        done = subprocess.run(["tshark", "-n", "-r", self.path, "-T", "fields", "-E", "separator=;", *fields],
                              capture_output=True, text=True, timeout=60, check=True)
        return [dict(zip(CAPTURE_FIELDS, line.split(";"))) for line in done.stdout.splitlines()]


@pytest.fixture
def segment():
    seg = Segment().create()
    yield seg
    seg.remove()


@pytest.fixture
def another_segment():
    """A second segment, for two runs side by side."""
    seg = Segment().create()
    yield seg
    seg.remove()


@pytest.fixture
def start_simulator(segment, tmp_path, request):
    """start_simulator([radio text, ...], extra_args=(), on=segment) -> a running Simulator."""
    started = []

    def start(radios, extra_args=(), on=None):
        started.append(Simulator(on or segment, radios, str(tmp_path / f"sim{len(started)}"), extra_args))
        return started[-1]

    yield start
    for sim in started:
        _stop(sim.process)
        request.node.add_report_section("teardown", "radiosim log", sim.log() or "(empty)")


@pytest.fixture
def run_program(segment, tmp_path, request):
    """run_program(argv, utf8=False) -> Program in tmp_path."""
    programs = []

    def run(argv, utf8=False):
        env = dict(os.environ, LC_ALL="C.UTF-8" if utf8 else "C")
        programs.append(Program(segment, argv, str(tmp_path), env))
        return programs[-1]

    yield run
    for program in programs:
        program.close()
        request.node.add_report_section("teardown", "program output", program.output() or "(empty)")


@pytest.fixture
def capture(segment, tmp_path):
    """capture() -> a Capture of the radios' end, started now."""
    started = []

    def start():
        started.append(Capture(segment, str(tmp_path / f"frames{len(started)}.pcapng")))
        return started[-1]

    yield start
    for c in started:
        _stop(c.process, signal.SIGINT)
