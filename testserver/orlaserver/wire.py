"""Packet layouts of the voice protocol, as the server reads and writes them."""

import struct
import zlib

CMD = 0xBEF0
ACK = 0xBEF1
CVOICE = 0xBEF2
SVOICE = 0xBEF3
MAINT = 0xBEF4

HEADER_SIZE = {CMD: 24, ACK: 16, CVOICE: 16, SVOICE: 22, MAINT: 20}
CRC_OFFSET = {CMD: 20, MAINT: 16}

MT_PING = 1
MT_PONG = 2
MT_LOGIN_REQUEST = 3
MT_LOGIN_REPLY = 4

LOGIN_REQUEST_SIZE = 180
LOGIN_REPLY_SIZE = 436

MAX_COMMAND = 560
FRAGMENT_PAYLOAD = 536
MAX_REASSEMBLED = 107200


def crc32(data: bytes) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF


def classify(data: bytes):
    """The packet class value, or None for a datagram that belongs to no class."""
    if len(data) < 2:
        return None
    magic = struct.unpack_from("<H", data, 0)[0]
    size = HEADER_SIZE.get(magic)
    if size is None or len(data) < size:
        return None
    return magic


def with_crc(data: bytes) -> bytes:
    magic = struct.unpack_from("<H", data, 0)[0]
    off = CRC_OFFSET.get(magic)
    if off is None:
        return bytes(data)
    buf = bytearray(data)
    buf[off:off + 4] = b"\0\0\0\0"
    struct.pack_into("<I", buf, off, crc32(buf))
    return bytes(buf)


def crc_ok(data: bytes) -> bool:
    magic = struct.unpack_from("<H", data, 0)[0]
    off = CRC_OFFSET.get(magic)
    if off is None:
        return True
    got = struct.unpack_from("<I", data, off)[0]
    buf = bytearray(data)
    buf[off:off + 4] = b"\0\0\0\0"
    return crc32(buf) == got


# --- field encodings -------------------------------------------------------

def enc_text(text) -> bytes:
    if isinstance(text, bytes):
        return text
    return str(text).encode("latin-1", errors="replace")


def dec_text(raw: bytes) -> str:
    return raw.decode("latin-1")


def short_string(text, n: int = 29) -> bytes:
    """string[n]: a length byte and n character bytes."""
    raw = enc_text(text)[:n]
    return bytes([len(raw)]) + raw + b"\0" * (n - len(raw))


def read_short_string(data: bytes, off: int, n: int = 29) -> str:
    if off + n + 1 > len(data):
        raise ValueError("string field beyond the packet")
    length = min(data[off], n)
    return dec_text(data[off + 1:off + 1 + length])


def terminated(text, limit: int) -> bytes:
    """A terminated text of at most `limit` bytes including the zero byte."""
    raw = enc_text(text or "").split(b"\0", 1)[0][:limit - 1]
    return raw + b"\0"


def read_terminated(data: bytes, off: int, limit: int):
    """(text, next offset); ValueError when no zero byte lies within the limit."""
    end = min(len(data), off + limit)
    pos = data.find(b"\0", off, end)
    if pos < 0:
        raise ValueError("unterminated text")
    return dec_text(data[off:pos]), pos + 1


# --- headers ---------------------------------------------------------------

CMD_HDR = struct.Struct("<HhIIIHBBI")      # magic type conn player seq resend frags reserved crc
ACK_HDR = struct.Struct("<HHIII")          # magic resend conn player seq
CVOICE_HDR = struct.Struct("<HBBIIHH")     # magic flags codec conn player seq speaknr
SVOICE_HDR = struct.Struct("<HBBIIHHIH")   # ... + sender packetnr
MAINT_HDR = struct.Struct("<HHIIII")       # magic type conn player seq crc


def command(ptype: int, conn: int, player: int, payload: bytes = b"", seq: int = 0,
            resend: int = 0, frags: int = 0) -> bytes:
    return CMD_HDR.pack(CMD, ptype, conn, player, seq, resend, frags, 0, 0) + payload


def parse_command_header(data: bytes) -> dict:
    _, ptype, conn, player, seq, resend, frags, _res, _crc = CMD_HDR.unpack_from(data, 0)
    return {"type": ptype, "conn": conn, "player": player, "seq": seq, "resend": resend,
            "frags": frags}


def ack(conn: int, player: int, seq: int, resend: int) -> bytes:
    return ACK_HDR.pack(ACK, resend & 0xFFFF, conn, player, seq)


def maintenance(mtype: int, conn: int, player: int, seq: int, payload: bytes = b"") -> bytes:
    return with_crc(MAINT_HDR.pack(MAINT, mtype, conn, player, seq, 0) + payload)


def server_voice(flags: int, codec: int, conn: int, player: int, seq: int, speak_nr: int,
                 sender: int, packet_nr: int, payload: bytes) -> bytes:
    return SVOICE_HDR.pack(SVOICE, flags & 0xFF, codec & 0xFF, conn, player, seq & 0xFFFF,
                           speak_nr & 0xFFFF, sender, packet_nr & 0xFFFF) + payload


def split_command(packet: bytes):
    """Cut a command packet longer than 560 bytes into fragments of at most 536 payload
    bytes, each with a copy of the header; FragmentsFollowing counts down to 0."""
    if len(packet) <= MAX_COMMAND:
        return [packet]
    header = bytearray(packet[:24])
    payload = packet[24:]
    count = (len(payload) + FRAGMENT_PAYLOAD - 1) // FRAGMENT_PAYLOAD
    pieces = []
    for i in range(count):
        h = bytearray(header)
        h[18] = count - 1 - i
        h[19] = 0
        pieces.append(bytes(h) + payload[i * FRAGMENT_PAYLOAD:(i + 1) * FRAGMENT_PAYLOAD])
    return pieces


# --- records ---------------------------------------------------------------

def channel_record(ch) -> bytes:
    parent = ch.parent if ch.parent is not None else 0xFFFFFFFF
    return (struct.pack("<IHHIHH", ch.id, ch.flags & 0xFFFF, ch.codec & 0xFFFF,
                        parent & 0xFFFFFFFF, ch.order & 0xFFFF, ch.max_users & 0xFFFF)
            + terminated(ch.name, 31) + terminated(ch.topic, 257)
            + terminated(ch.description, 4097))


def player_entry(p) -> bytes:
    return (struct.pack("<IIHHH", p.id, p.channel, p.channel_privs & 0xFFFF,
                        p.privileges & 0xFFFF, p.flags & 0xFFFF)
            + short_string(p.nick))


PLAYER_ENTRY_SIZE = 44
