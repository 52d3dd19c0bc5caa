"""The terminal program's side of a connection, played from Python over a raw
socket: connect, send typed bytes reliably, read the radio's output while
checking its byte-counting sequence numbers and acknowledging it."""

import time

import wire


class SequenceError(AssertionError):
    pass


class HostPeer:
    def __init__(self, link, radio_mac: bytes, level: int, cid: int = 0x2A51):
        self.link = link
        self.radio = radio_mac
        self.level = level
        self.big_endian = level >= 2  # how this side writes; the radio always writes big-endian
        self.cid = cid
        self.tseq = 1  # the connect request's own bytes are not counted
        self.rseq = 0
        self.text = b""
        self.acks = []  # every acknowledgement received, in order
        self.others = []  # frames of other PDU types, in order

    def frame(self, pdu: int, payload: bytes = b"", tseq=None) -> bytes:
        return wire.build_frame(self.radio, self.link.mac, pdu, self.cid, self.tseq if tseq is None else tseq,
                                self.rseq, payload, self.big_endian)

    def from_radio(self, raw: bytes):
        f = wire.parse_frame(raw)
        if f is None or f.src != self.radio or f.dst != self.link.mac:
            return None
        return f

    def connect(self, timeout: float = 3.0) -> wire.Frame:
        self.link.send(wire.build_frame(self.radio, self.link.mac, wire.PDU_CONNECT_REQUEST, self.cid, 1, 0,
                                        wire.connect_payload("e2e-host", self.level), self.big_endian))
        accept = self.link.wait_for(timeout, lambda raw: (f := self.from_radio(raw)) is not None
                                    and f.pdu == wire.PDU_CONNECT_ACCEPT)
        if accept is None:
            raise AssertionError("no connect accept")
        return wire.parse_frame(accept)

    def send_data(self, payload: bytes, tseq=None) -> None:
        """Sends one data frame; tseq given repeats an earlier one."""
        self.link.send(self.frame(wire.PDU_DATA, payload, tseq))
        if tseq is None:
            self.tseq += len(payload)

    def pump(self, timeout: float, until=lambda peer: False):
        """Takes the radio's frames for at most timeout s, or until until(self) is true."""
        deadline = time.monotonic() + timeout
        while not until(self):
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            raw = self.link.receive(left)
            if raw is None:
                return until(self)
            f = self.from_radio(raw)
            if f is None:
                continue
            if f.cid != self.cid:
                raise SequenceError(f"frame with cid {f.cid}, expected {self.cid}")
            if f.pdu == wire.PDU_ACK:
                self.acks.append(f)
            elif f.pdu == wire.PDU_DATA:
                self.take_data(f)
            else:
                self.others.append(f)
        return True

    def take_data(self, f: wire.Frame) -> None:
        if f.tseq == self.rseq and f.nbytes > 0:
            self.text += f.payload
            self.rseq += f.nbytes
        elif (f.tseq + f.nbytes) & 0xFFFFFFFF != self.rseq:
            raise SequenceError(f"data with tseq {f.tseq} (+{f.nbytes}) while {self.rseq} was expected")
        self.link.send(self.frame(wire.PDU_ACK))

    def wait_text(self, text: bytes, timeout: float = 5.0) -> bool:
        return self.pump(timeout, lambda peer: text in peer.text)

    def wait_ack(self, rseq: int, timeout: float = 3.0) -> bool:
        return self.pump(timeout, lambda peer: any(a.rseq == rseq for a in peer.acks))
