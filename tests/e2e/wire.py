"""The link protocol's frames, written and read independently of the C++ codec.

Offsets and byte orders follow the frame layout: a 14-byte 802.3 header whose
length field counts payload + 40, the SNAP header AA AA 03 02 7A 41 00 01, then
PDU, CID, a zero word, TSEQ, RSEQ and NBytes.
"""

import struct
from dataclasses import dataclass

SNAP = bytes.fromhex("AAAA03027A410001")
BROADCAST = b"\xff" * 6
HEADER_SIZE = 40

PDU_QUIET_DATA = 0
PDU_DATA = 1
PDU_ACK = 2
PDU_ERROR = 3
PDU_IDENTIFY_REQUEST = 4
PDU_IDENTIFY_RESPONSE = 5
PDU_CONNECT_REQUEST = 6
PDU_CONNECT_ACCEPT = 7
PDU_DISCONNECT = 8
PDU_FILE_REQUEST = 9
PDU_FILE_RESPONSE = 10
PDU_FILE_DATA = 11
PDU_STORED_DATA = 12
PDU_RESTORE = 13
PDU_DISCOVERY_REQUEST = 0x0400


def mac_text(mac: bytes) -> str:
    return ":".join(f"{b:02X}" for b in mac)


def mac_bytes(text: str) -> bytes:
    return bytes(int(part, 16) for part in text.split(":"))


def build_frame(dst: bytes, src: bytes, pdu: int, cid: int, tseq: int, rseq: int,
                payload: bytes = b"", big_endian: bool = True) -> bytes:
    order = ">" if big_endian else "<"
    fields = struct.pack(order + "HHHIII", pdu, cid, 0, tseq & 0xFFFFFFFF, rseq & 0xFFFFFFFF, len(payload))
    return dst + src + struct.pack(">H", len(payload) + HEADER_SIZE) + SNAP + fields + payload


@dataclass
class Frame:
    dst: bytes
    src: bytes
    length: int
    pdu: int
    cid: int
    tseq: int
    rseq: int
    nbytes: int
    payload: bytes
    raw: bytes


def parse_frame(raw: bytes, big_endian: bool = True):
    """The frame's fields, or None when it is not a protocol frame."""
    if len(raw) < HEADER_SIZE or raw[14:22] != SNAP:
        return None
    length = struct.unpack(">H", raw[12:14])[0]
    order = ">" if big_endian else "<"
    pdu, cid, _zero, tseq, rseq, nbytes = struct.unpack(order + "HHHIII", raw[22:40])
    return Frame(raw[0:6], raw[6:12], length, pdu, cid, tseq, rseq, nbytes,
                 raw[40:40 + min(nbytes, len(raw) - 40)], raw)


def discovery_request(src: bytes, cid: int, code: int = PDU_DISCOVERY_REQUEST) -> bytes:
    return build_frame(BROADCAST, src, code, cid, 0, 0)


def connect_payload(host: str, level: int) -> bytes:
    name = host.replace(" ", "").encode()[:46]
    return name + b"\0" * (47 - len(name)) + bytes([level])


@dataclass
class Identity:
    name: str
    level: int
    firmware: str


def parse_identify_payload(payload: bytes) -> Identity:
    name = payload[:47].split(b"\0", 1)[0].decode("latin-1")
    level = payload[47] if len(payload) >= 48 else 0
    firmware = payload[56:72].split(b"\0", 1)[0].decode("latin-1") if len(payload) >= 72 else ""
    return Identity(name, level, firmware)
