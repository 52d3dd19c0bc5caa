"""Network namespaces, veth pairs and raw sockets for the end-to-end tests.

Every name starts with the prefix given, so that concurrent runs never collide;
a Segment removes everything it created, also when a test fails.
"""

import contextlib
import ctypes
import os
import secrets
import select
import socket
import subprocess
import time

CLONE_NEWNET = 0x40000000
ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4

_libc = ctypes.CDLL(None, use_errno=True)


def _setns(fd: int) -> None:
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))


@contextlib.contextmanager
def inside(namespace: str):
    """Runs the block in the named network namespace (this thread only)."""
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open(f"/run/netns/{namespace}", os.O_RDONLY)
    try:
        _setns(target)
        yield
    finally:
        _setns(own)
        os.close(own)
        os.close(target)


def _ip(*args: str) -> None:
    subprocess.run(["ip", *args], check=True, capture_output=True, timeout=20)


class Segment:
    """Two namespaces joined by a veth pair: the program's end and the radios' end."""

    def __init__(self, prefix: str = "ox4"):
        tag = secrets.token_hex(3)
        self.program_ns = f"{prefix}-p{tag}"
        self.radio_ns = f"{prefix}-r{tag}"
        self.program_if = f"{prefix}p{tag}"
        self.radio_if = f"{prefix}r{tag}"
        self.program_mac = "02:00:00:00:4a:01"
        self.created = []

    def create(self) -> "Segment":
        try:
            for ns in (self.program_ns, self.radio_ns):
                _ip("netns", "add", ns)
                self.created.append(ns)
                _ip("-n", ns, "link", "set", "lo", "up")
            _ip("link", "add", self.program_if, "netns", self.program_ns, "address", self.program_mac,
                "type", "veth", "peer", "name", self.radio_if, "netns", self.radio_ns)
            for ns, ifname in ((self.program_ns, self.program_if), (self.radio_ns, self.radio_if)):
                # No IPv6 chatter on the link: only the protocol's frames travel.
                subprocess.run(["ip", "netns", "exec", ns, "sysctl", "-qw",
                                f"net.ipv6.conf.{ifname}.disable_ipv6=1"], capture_output=True, timeout=20)
                _ip("-n", ns, "link", "set", ifname, "up")
        except Exception:
            self.remove()
            raise
        return self

    def remove(self) -> None:
        # Deleting a namespace deletes the veth end inside it, and with it the pair.
        for ns in reversed(self.created):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=20)
        self.created = []

    def command(self, namespace: str, argv):
        return ["ip", "netns", "exec", namespace, *argv]


class RawLink:
    """A raw AF_PACKET socket on one interface of a namespace."""

    def __init__(self, namespace: str, ifname: str):
        with inside(namespace):
            self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
            self.sock.bind((ifname, 0))
        self.mac = self.sock.getsockname()[4]
        self.sock.setblocking(False)

    def close(self) -> None:
        self.sock.close()

    def send(self, frame: bytes) -> None:
        self.sock.send(frame)

    def receive(self, timeout: float):
        """The next frame that arrived (not one this socket's host sent), or None."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.sock], [], [], left)
            if not ready:
                return None
            data, address = self.sock.recvfrom(4096)
            if address[2] != PACKET_OUTGOING:
                return data

    def collect(self, timeout: float, keep, limit: int = 1000):
        """Every frame for which keep(frame) is true, until the time is up."""
        frames = []
        deadline = time.monotonic() + timeout
        while len(frames) < limit:
            frame = self.receive(deadline - time.monotonic())
            if frame is None:
                break
            if keep(frame):
                frames.append(frame)
        return frames

    def wait_for(self, timeout: float, keep):
        """The first frame for which keep(frame) is true, or None."""
        deadline = time.monotonic() + timeout
        while True:
            frame = self.receive(deadline - time.monotonic())
            if frame is None or keep(frame):
                return frame
