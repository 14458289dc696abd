"""Reliable command delivery for one client connection (server side)."""

import collections
import struct
import time

from . import wire

WINDOW = 16            # the peer holds at most 16 packets ahead of the one it expects
REORDER_SLOTS = 16
MIN_RESEND_MS = 100
MAX_RESEND_MS = 3000
PING_INTERVAL_MS = 1000


class InFlight:
    __slots__ = ("seq", "data", "resend", "first_sent", "last_sent")

    def __init__(self, seq, data, now):
        self.seq = seq
        self.data = data
        self.resend = 0
        self.first_sent = now
        self.last_sent = now


class ReliableLink:
    """Numbers, acknowledges, resends, orders, splits and joins command packets.

    `send(datagram)` puts bytes on the wire; `deliver(packet)` receives each complete
    command exactly once and in order. Time comes from `clock` (seconds) so tests can
    drive it by hand."""

    def __init__(self, conn_id, player_id, send, deliver, clock=time.monotonic):
        self.conn_id = conn_id
        self.player_id = player_id
        self._send = send
        self._deliver = deliver
        self._clock = clock
        now = clock()
        # outgoing commands
        self.queue = collections.deque()
        self.in_flight = collections.OrderedDict()
        self.last_seq = 0
        self.total_queued = 0          # piece k of all queued ones gets sequence k
        self.rtt_samples = [50] * 16
        self.rtt_index = 0
        # incoming commands
        self.expected = 1
        self.reorder = {}
        self.partial = None
        # maintenance
        self.unreliable_seq = 1        # the login reply went out with sequence 1
        self.voice_seq = 0
        self.last_received = now
        self.last_sent_any = now
        self.last_ping = now
        # statistics
        self.stats = collections.Counter()

    # --- sending ---------------------------------------------------------------

    def send_command(self, ptype: int, payload: bytes = b"") -> None:
        packet = wire.command(ptype, self.conn_id, self.player_id, payload)
        for piece in wire.split_command(packet):
            self.queue.append(piece)
            self.total_queued += 1
        self.stats["commands_queued"] += 1
        self.pump()

    def pending(self) -> int:
        return len(self.queue) + len(self.in_flight)

    def delivered(self, seq) -> bool:
        """Whether the peer has acknowledged every command up to `seq`."""
        if seq is None or seq > self.last_seq:
            return False
        return not self.in_flight or next(iter(self.in_flight)) > seq

    def resend_timeout_ms(self, resends: int) -> float:
        base = max(MIN_RESEND_MS, sum(self.rtt_samples) / 16 * 1.5)
        return min(MAX_RESEND_MS, base * (2 ** min(resends, 5)))

    def _transmit(self, entry: InFlight) -> None:
        buf = bytearray(entry.data)
        struct.pack_into("<I", buf, 4, self.conn_id)
        struct.pack_into("<I", buf, 12, entry.seq)
        struct.pack_into("<H", buf, 16, entry.resend & 0xFFFF)
        self.raw_send(wire.with_crc(bytes(buf)))

    def raw_send(self, datagram: bytes) -> None:
        self.last_sent_any = self._clock()
        self.stats["packets_sent"] += 1
        self.stats["bytes_sent"] += len(datagram)
        self._send(datagram)

    def pump(self) -> None:
        now = self._clock()
        while self.queue:
            if self.in_flight:
                oldest = next(iter(self.in_flight))
                if self.last_seq + 1 >= oldest + WINDOW:
                    break
            self.last_seq += 1
            entry = InFlight(self.last_seq, self.queue.popleft(), now)
            self.in_flight[entry.seq] = entry
            self._transmit(entry)

    def tick(self) -> None:
        """Resend overdue commands and keep the line alive."""
        now = self._clock()
        for entry in list(self.in_flight.values()):
            if (now - entry.last_sent) * 1000 >= self.resend_timeout_ms(entry.resend):
                entry.resend += 1
                entry.last_sent = now
                self.stats["resends"] += 1
                self._transmit(entry)
        self.pump()
        if (now - self.last_sent_any) * 1000 >= PING_INTERVAL_MS and \
                (now - self.last_ping) * 1000 >= PING_INTERVAL_MS:
            self.unreliable_seq += 1
            self.last_ping = now
            self.raw_send(wire.maintenance(wire.MT_PING, self.conn_id, self.player_id,
                                           self.unreliable_seq))

    def send_voice(self, flags, codec, speak_nr, sender, packet_nr, payload) -> None:
        self.voice_seq = (self.voice_seq + 1) & 0xFFFF
        self.raw_send(wire.server_voice(flags, codec, self.conn_id, self.player_id,
                                        self.voice_seq, speak_nr, sender, packet_nr, payload))

    # --- receiving -------------------------------------------------------------

    def touch(self) -> None:
        self.last_received = self._clock()

    def on_ack(self, data: bytes) -> None:
        _, resend, _, _, seq = wire.ACK_HDR.unpack_from(data, 0)
        entry = self.in_flight.pop(seq, None)
        if entry is None:
            self.stats["acks_unmatched"] += 1
            return
        if resend == 0 and entry.resend == 0:
            ms = int((self._clock() - entry.first_sent) * 1000)
            self.rtt_samples[self.rtt_index] = max(1, min(ms, 120000))
            self.rtt_index = (self.rtt_index + 1) % 16
        self.pump()

    def on_command(self, data: bytes) -> None:
        h = wire.parse_command_header(data)
        seq = h["seq"]
        self.stats["commands_received"] += 1
        if seq < self.expected + REORDER_SLOTS:
            self.raw_send(wire.ack(self.conn_id, self.player_id, seq, h["resend"]))
        if seq < self.expected or seq >= self.expected + REORDER_SLOTS or seq in self.reorder:
            self.stats["commands_discarded"] += 1
            return
        self.reorder[seq] = bytes(data)
        while self.expected in self.reorder:
            packet = self.reorder.pop(self.expected)
            self.expected += 1
            self._reassemble(packet)

    def _reassemble(self, packet: bytes) -> None:
        frags = packet[18]
        if self.partial is None:
            if frags == 0:
                self._deliver(packet)
                return
            self.partial = bytearray(packet)
            return
        self.partial += packet[24:]
        if frags == 0 or len(self.partial) > wire.MAX_REASSEMBLED:
            whole = bytes(self.partial)
            self.partial = None
            self._deliver(whole)

    def on_maintenance(self, data: bytes) -> None:
        mtype = struct.unpack_from("<H", data, 2)[0]
        seq = struct.unpack_from("<I", data, 12)[0]
        if mtype == wire.MT_PING:
            self.unreliable_seq += 1
            self.raw_send(wire.maintenance(wire.MT_PONG, self.conn_id, self.player_id,
                                           self.unreliable_seq, struct.pack("<I", seq)))
        elif mtype == wire.MT_PONG:
            self.stats["pongs"] += 1
