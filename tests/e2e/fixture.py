"""The end-to-end fixture: the simulator on the radios' end of a segment, any
program under a pseudo-terminal on the other end, with time-limited waits."""

import os
import re
import select
import signal
import subprocess
import time

import pexpect

from netns import Segment


def build_dir() -> str:
    return os.environ.get("ORVEX_BUILD_DIR") or os.path.join(os.path.dirname(__file__), "..", "..", "build")


class Simulator:
    """orvex-radiosim on the radios' end; each radio is the text of a --radio option."""

    def __init__(self, segment: Segment, radios, workdir: str, extra_args=()):
        self.segment = segment
        self.store_dir = os.path.join(workdir, "store")
        self.log_path = os.path.join(workdir, "radiosim.log")
        os.makedirs(self.store_dir, exist_ok=True)
        binary = os.path.join(build_dir(), "orvex-radiosim")
        args = [binary, "-i", segment.radio_if, "-s", self.store_dir, "-l", self.log_path, *extra_args]
        for radio in radios:
            args += ["-r", radio]
        self.args = args
        self.process = None
        self.output = ""

    def start(self, timeout: float = 10.0) -> "Simulator":
        self.process = subprocess.Popen(self.segment.command(self.segment.radio_ns, self.args),
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        # Ready once it has printed the radios it plays.
        if not self.wait_output("playing", timeout):
            self.stop()
            raise RuntimeError(f"orvex-radiosim did not start:\n{self.output}")
        return self

    def _read_output(self, wait: float) -> None:
        ready, _, _ = select.select([self.process.stdout], [], [], max(wait, 0))
        if ready:
            chunk = os.read(self.process.stdout.fileno(), 65536)
            self.output += chunk.decode("latin-1")

    def wait_output(self, text: str, timeout: float) -> bool:
        deadline = time.monotonic() + timeout
        while text not in self.output:
            left = deadline - time.monotonic()
            if left <= 0 or self.process.poll() is not None:
                self._read_output(0)
                return text in self.output
            self._read_output(min(left, 0.2))
        return True

    def log(self) -> str:
        try:
            with open(self.log_path, encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_log(self, pattern: str, timeout: float):
        """The first match of the regular expression in the log, waiting at most timeout s."""
        deadline = time.monotonic() + timeout
        while True:
            match = re.search(pattern, self.log())
            if match or time.monotonic() >= deadline:
                return match
            time.sleep(0.05)

    def stop(self, timeout: float = 5.0):
        """SIGTERM, then the exit status (killed after timeout s)."""
        if self.process is None or self.process.poll() is not None:
            return None if self.process is None else self.process.returncode
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout)
        self._read_output(0)
        return self.process.returncode


class Program:
    """Any command in the program's namespace, under a pseudo-terminal."""

    def __init__(self, segment: Segment, argv, cwd: str, timeout: float = 10.0, env=None):
        command = segment.command(segment.program_ns, list(argv))
        self.child = pexpect.spawn(command[0], command[1:], cwd=cwd, timeout=timeout, encoding="latin-1",
                                   codec_errors="replace", dimensions=(50, 80), env=env)
        self.transcript = []
        self.child.logfile_read = _Transcript(self.transcript)

    def send(self, keys: str) -> None:
        self.child.send(keys)

    def expect(self, pattern, timeout: float = 10.0) -> int:
        """Waits for a regular expression (or a list of them); fails with the output so far."""
        return self.child.expect(pattern, timeout=timeout)

    def expect_exact(self, text, timeout: float = 10.0) -> int:
        return self.child.expect_exact(text, timeout=timeout)

    def wait_exit(self, timeout: float = 10.0):
        """The exit status once the program ended by itself."""
        self.child.expect(pexpect.EOF, timeout=timeout)
        self.child.close()
        return self.child.exitstatus

    def output(self) -> str:
        return "".join(self.transcript)

    def close(self) -> None:
        if self.child.isalive():
            self.child.terminate(force=True)
        self.child.close()


class _Transcript:
    def __init__(self, parts):
        self.parts = parts

    def write(self, text):
        self.parts.append(text)

    def flush(self):
        pass
