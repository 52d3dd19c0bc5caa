"""A noisy or hostile station: sends malformed frames of the link protocol on
an interface from a raw packet socket, for a bounded count and time.

  flood.py IFACE TARGET_MAC RADIO_MAC CID SECONDS SEED noise|hostile|names|prying

noise: frames with the protocol's SNAP header but random contents, truncated
headers, wrong lengths, from anyone (the radio too) to anyone (the target too),
never on connection CID. hostile: the same garbage from the radio to the target
on connection CID. Prints the number of frames sent. names: prints "ready",
then answers every identify request as the radio RADIO_MAC, its name and
firmware full of terminal control sequences (NAME, FIRMWARE), and prints the
number of answers. prying: from a station of its own, 100 identify requests a
second to the target, and as the radio on connection CID requests for hidden
files (names with terminal sequences) whose sequence numbers it must guess;
prints the identify answers it got and the requests it sent."""

import random
import socket
import struct
import sys
import time

SNAP = bytes.fromhex("aaaa03027a410001")
MAX_FRAMES = 200000
NAME = b"\x1b]0;owned\x07\x1b[2J\x82"  # sets the window title and clears the screen; an e acute
FIRMWARE = b"\x1b[5mOR\\\x7f"             # blinking text, a backslash, DEL
ETH_P_ALL = 3


def mac(text):
    return bytes.fromhex(text.replace(":", ""))


def garbage(rng, target, radio, cid, hostile):
    """One frame: a header of random fields (NBytes often a lie), a payload of
    random bytes, cut anywhere from the middle of the header to its end."""
    destination = target if hostile else rng.choice([target, target, b"\xff" * 6, rng.randbytes(6)])
    source = radio if hostile else rng.choice([radio, rng.randbytes(6)])
    pdu = rng.choice([0, 1, 2, 3, 6, 7, 8, 9, 10, 11, 12, 13, rng.randrange(65536)])
    conn = cid if hostile else rng.choice([c for c in (rng.randrange(65536), cid ^ 1) if c != cid])
    payload = rng.randbytes(rng.choice([0, 1, 8, 72, rng.randrange(1475)]))
    nbytes = rng.choice([len(payload), len(payload) + 1, 1474, 1475, rng.randrange(1 << 32)])
    header = struct.pack(">HHHIII", pdu, conn, 0, rng.randrange(1 << 32), rng.randrange(1 << 32), nbytes)
    body = SNAP + header + payload
    length = rng.choice([14 + len(body), 14 + len(body), rng.randrange(1501), rng.randrange(1501, 65536)])
    frame = destination + source + struct.pack(">H", length) + body
    return frame[:rng.choice([len(frame), len(frame), rng.randrange(15, 40), rng.randrange(40, len(frame) + 1)])]


def answer_identify(interface, radio, cid, seconds):
    payload = NAME.ljust(47, b"\0") + b"\x02" + bytes(8) + FIRMWARE.ljust(16, b"\0")  # level 2 shows firmware
    body = SNAP + struct.pack(">HHHIII", 5, cid, 0, 0, 0, len(payload)) + payload
    answered = 0
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL)) as s:
        s.bind((interface, 0))
        s.settimeout(0.2)
        print("ready", flush=True)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and answered < 100:
            try:
                frame = s.recv(2048)
            except TimeoutError:
                continue
            if frame[:6] == b"\xff" * 6 and frame[14:22] == SNAP and frame[6:12] != radio:
                s.send(frame[6:12] + radio + struct.pack(">H", 14 + len(body)) + body)
                answered += 1
    print(answered)


def pry(interface, target, radio, cid, seconds):
    own = bytes.fromhex("026666000001")
    ask = target + own + struct.pack(">H", 40) + SNAP + struct.pack(">HHHIII", 4, 99, 0, 0, 0, 0)
    rng = random.Random(cid)
    answers = asked = 0
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL)) as s:
        s.bind((interface, 0))
        s.setblocking(False)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            s.send(ask)
            name = b".secret_token\x1b[2J" if asked % 2 else b"dir/.hidden\x1b]0;x\x07"
            request = struct.pack(">HHHIII", 9, cid, 0, rng.randrange(1 << 32), rng.randrange(1 << 32), len(name))
            s.send(target + radio + struct.pack(">H", 40 + len(name)) + SNAP + request + name)
            asked += 1
            time.sleep(0.01)
            while True:
                try:
                    frame = s.recv(2048)
                except BlockingIOError:
                    break
                answers += frame[:6] == own and frame[14:22] == SNAP and frame[22:24] == b"\x00\x05"
    print(answers, asked)


def main(argv):
    interface, target, radio, cid = argv[1], mac(argv[2]), mac(argv[3]), int(argv[4])
    seconds, seed, hostile = float(argv[5]), int(argv[6]), argv[7] == "hostile"
    if argv[7] == "names":
        return answer_identify(interface, radio, cid, seconds)
    if argv[7] == "prying":
        return pry(interface, target, radio, cid, seconds)
    rng = random.Random(seed)
    sent = 0
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as s:
        s.bind((interface, 0))
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and sent < MAX_FRAMES:
            try:
                s.send(garbage(rng, target, radio, cid, hostile))
                sent += 1
            except BlockingIOError:
                time.sleep(0.001)
            if sent % 64 == 0:
                time.sleep(0.001)  # a flood, but the link's own frames still get through
    print(sent)


if __name__ == "__main__":
    main(sys.argv)
