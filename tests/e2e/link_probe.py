#!/usr/bin/env python3
"""A minimal stand-in for the terminal program, for demonstrations and tests
of the simulated segment: lists the radios that answer discovery, or opens a
session to one of them on the terminal (Ctrl+] leaves).

    link_probe.py discover IFACE
    link_probe.py chat IFACE RADIO-MAC [LEVEL]
"""

import os
import random
import select
import socket
import sys
import termios
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import wire  # noqa: E402
from host_peer import HostPeer  # noqa: E402
from netns import RawLink  # noqa: E402


class LocalLink(RawLink):
    """A raw socket on an interface of the current namespace."""

    def __init__(self, ifname: str):  # noqa: super not called: no namespace switch
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        self.sock.bind((ifname, 0))
        self.mac = self.sock.getsockname()[4]
        self.sock.setblocking(False)


def discover(ifname: str) -> int:
    link = LocalLink(ifname)
    cid = random.randrange(0x8000)
    found = {}
    print("Discovery of radios on %s ..." % ifname, flush=True)
    start = time.monotonic()
    for attempt in range(3):
        link.send(wire.discovery_request(link.mac, cid))
        while time.monotonic() - start < attempt + 1:
            raw = link.receive(start + attempt + 1 - time.monotonic())
            f = wire.parse_frame(raw) if raw else None
            if f and f.pdu == wire.PDU_IDENTIFY_RESPONSE and f.dst == link.mac and f.src not in found:
                found[f.src] = wire.parse_identify_payload(f.payload)
    print("%-4s %-20s %-17s %-5s %s" % ("No.", "Name", "MAC address", "Level", "Firmware"))
    for n, (mac, ident) in enumerate(found.items(), 1):
        print("%-4d %-20s %-17s %-5d %s" % (n, ident.name, wire.mac_text(mac), ident.level, ident.firmware))
    print("%d radio(s) found" % len(found))
    return 0 if found else 1


def chat(ifname: str, radio: str, level: int) -> int:
    link = LocalLink(ifname)
    peer = HostPeer(link, wire.mac_bytes(radio), level, random.randrange(0x8000))
    peer.connect()
    print("Connected to %s (Ctrl+] leaves)\r" % radio, flush=True)
    stdin = sys.stdin.fileno()
    saved = termios.tcgetattr(stdin) if os.isatty(stdin) else None
    if saved:
        tty.setraw(stdin)
    shown = 0
    try:
        while True:
            peer.pump(0.05)
            if len(peer.text) > shown:
                os.write(1, peer.text[shown:])
                shown = len(peer.text)
            if any(f.pdu == wire.PDU_DISCONNECT for f in peer.others):
                os.write(1, b"\r\n[disconnected by the radio]\r\n")
                return 0
            ready, _, _ = select.select([stdin], [], [], 0.05)
            if ready:
                keys = os.read(stdin, 256)
                if not keys or b"\x1d" in keys:
                    link.send(peer.frame(wire.PDU_DISCONNECT))
                    return 0
                sent_to = peer.tseq + len(keys)
                for _ in range(12):  # resend until acknowledged
                    peer.send_data(keys, tseq=peer.tseq)
                    if peer.wait_ack(sent_to, 0.3):
                        break
                else:
                    os.write(1, b"\r\n[no acknowledgement]\r\n")
                    return 1
                peer.tseq = sent_to
    finally:
        if saved:
            termios.tcsetattr(stdin, termios.TCSADRAIN, saved)


def main(argv) -> int:
    if len(argv) >= 3 and argv[1] == "discover":
        return discover(argv[2])
    if len(argv) >= 4 and argv[1] == "chat":
        return chat(argv[2], argv[3], int(argv[4]) if len(argv) > 4 else 2)
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
