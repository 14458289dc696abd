"""Capture file of the traffic, readable by ordinary packet analysers."""

import ipaddress
import struct
import time

LINKTYPE_RAW = 101     # each record starts with the IPv4 header


def _checksum(header: bytes) -> int:
    total = 0
    for (word,) in struct.iter_unpack("!H", header):
        total += word
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4_udp(src, dst, payload: bytes, ident: int) -> bytes:
    (src_ip, src_port), (dst_ip, dst_port) = src, dst
    udp = struct.pack("!HHHH", src_port, dst_port, 8 + len(payload), 0) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), ident & 0xFFFF, 0x4000, 64,
                         17, 0, ipaddress.IPv4Address(src_ip).packed,
                         ipaddress.IPv4Address(dst_ip).packed)
    header = header[:10] + struct.pack("!H", _checksum(header)) + header[12:]
    return header + udp


class PcapWriter:
    def __init__(self, path: str, clock=time.time):
        self._f = open(path, "wb")
        self._clock = clock
        self._ident = 0
        self.records = 0
        self._f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, LINKTYPE_RAW))
        self._f.flush()

    def record(self, src, dst, payload: bytes) -> None:
        if self._f is None:
            return
        try:
            frame = ipv4_udp(src, dst, payload, self._ident)
        except ValueError:
            return              # not an IPv4 peer
        self._ident += 1
        now = self._clock()
        sec = int(now)
        usec = int((now - sec) * 1_000_000)
        self._f.write(struct.pack("<IIII", sec, usec, len(frame), len(frame)) + frame)
        self._f.flush()
        self.records += 1

    def close(self) -> None:
        if self._f is not None:
            self._f.close()
            self._f = None
