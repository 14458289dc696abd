"""The server's reliable delivery for one connection, driven by hand with a fake clock."""

import os
import struct
import sys
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from orlaserver.reliable import ReliableLink  # noqa: E402


class Clock:
    def __init__(self):
        self.t = 1000.0

    def __call__(self):
        return self.t

    def advance(self, ms):
        self.t += ms / 1000.0


def command(seq, ptype=430, payload=b"", frags=0, resend=0, conn=77, player=5):
    buf = bytearray(struct.pack("<HhIIIHBBI", 0xBEF0, ptype, conn, player, seq, resend, frags, 0, 0)
                    + payload)
    struct.pack_into("<I", buf, 20, zlib.crc32(bytes(buf)) & 0xFFFFFFFF)
    return bytes(buf)


def ack_for(seq, resend=0, conn=77, player=5):
    return struct.pack("<HHIII", 0xBEF1, resend, conn, player, seq)


class Fixture(unittest.TestCase):
    def setUp(self):
        self.clock = Clock()
        self.sent = []
        self.delivered = []
        self.link = ReliableLink(77, 5, self.sent.append, self.delivered.append, self.clock)

    def sent_commands(self):
        return [p for p in self.sent if struct.unpack_from("<H", p)[0] == 0xBEF0]

    def sent_acks(self):
        return [struct.unpack_from("<HHIII", p) for p in self.sent
                if struct.unpack_from("<H", p)[0] == 0xBEF1]


class ReceivingTest(Fixture):
    def test_reorder_window_bounds(self):
        # (sequence arriving first, acknowledged, held for later delivery)
        for seq, acked, held in [(1, True, True), (16, True, True), (17, False, False)]:
            with self.subTest(seq=seq):
                self.setUp()
                self.link.on_command(command(seq))
                self.assertEqual(bool(self.sent_acks()), acked)
                if seq != 1:
                    self.link.on_command(command(1))
                    for s in range(2, seq):
                        self.link.on_command(command(s))
                delivered = [struct.unpack_from("<I", p, 12)[0] for p in self.delivered]
                self.assertEqual(delivered, list(range(1, seq + 1)) if held
                                 else list(range(1, seq)))

    def test_out_of_order_and_duplicates_delivered_once_in_order(self):
        for seq in (2, 3, 2, 1, 3, 1):
            self.link.on_command(command(seq, payload=bytes([seq])))
        self.assertEqual([p[24] for p in self.delivered], [1, 2, 3])
        # every copy, duplicates included, is acknowledged with its own resend count
        self.assertEqual([a[4] for a in self.sent_acks()], [2, 3, 2, 1, 3, 1])

    def test_ack_carries_resend_count_of_the_copy(self):
        self.link.on_command(command(1, resend=3))
        self.assertEqual(self.sent_acks(), [(0xBEF1, 3, 77, 5, 1)])

    def test_fragments_are_joined(self):
        body = bytes(range(256)) * 5      # 1280 bytes
        parts = [body[:536], body[536:1072], body[1072:]]
        for i, part in enumerate(parts):
            self.link.on_command(command(i + 1, payload=part, frags=2 - i))
        self.assertEqual(len(self.delivered), 1)
        self.assertEqual(self.delivered[0][24:], body)
        self.assertEqual(self.delivered[0][18], 2)   # keeps the first fragment's header


class SendingTest(Fixture):
    def test_long_command_split_into_536_byte_fragments(self):
        self.link.send_command(130, b"x" * 1176)
        cmds = self.sent_commands()
        self.assertEqual([len(c) - 24 for c in cmds], [536, 536, 104])
        self.assertEqual([c[18] for c in cmds], [2, 1, 0])
        self.assertEqual([struct.unpack_from("<I", c, 12)[0] for c in cmds], [1, 2, 3])
        for c in cmds:
            buf = bytearray(c)
            want = struct.unpack_from("<I", buf, 20)[0]
            buf[20:24] = bytes(4)
            self.assertEqual(zlib.crc32(bytes(buf)) & 0xFFFFFFFF, want)

    def test_window_keeps_sequences_within_sixteen_of_the_oldest_unacknowledged(self):
        for i in range(20):
            self.link.send_command(130, bytes([i]))
        self.assertEqual(len(self.sent_commands()), 16)
        self.link.on_ack(ack_for(5))              # not the oldest: window does not move
        self.assertEqual(len(self.sent_commands()), 16)
        self.link.on_ack(ack_for(1))
        seqs = [struct.unpack_from("<I", c, 12)[0] for c in self.sent_commands()]
        self.assertEqual(seqs, list(range(1, 18)))

    def test_resend_with_growing_timeout_until_acknowledged(self):
        self.link.send_command(130, b"hello")
        times = []
        for step in range(60):
            self.clock.advance(50)
            before = len(self.sent_commands())
            self.link.tick()
            if len(self.sent_commands()) > before:
                times.append(step)
        resent = self.sent_commands()[1:]
        self.assertGreaterEqual(len(resent), 3)
        self.assertEqual([struct.unpack_from("<H", c, 16)[0] for c in resent],
                         list(range(1, len(resent) + 1)))
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertTrue(all(b > a for a, b in zip(gaps, gaps[1:])), gaps)
        self.link.on_ack(ack_for(1, resend=len(resent)))
        self.assertEqual(self.link.pending(), 0)
        count = len(self.sent_commands())
        self.clock.advance(5000)
        self.link.tick()
        self.assertEqual(len(self.sent_commands()), count)

    def test_idle_line_gets_a_ping_and_pings_get_pongs(self):
        self.clock.advance(1100)
        self.link.tick()
        pings = [p for p in self.sent if struct.unpack_from("<HH", p) == (0xBEF4, 1)]
        self.assertEqual(len(pings), 1)
        ping = bytearray(struct.pack("<HHIIII", 0xBEF4, 1, 77, 5, 9, 0))
        self.link.on_maintenance(bytes(ping))
        pong = self.sent[-1]
        self.assertEqual(len(pong), 24)
        self.assertEqual(struct.unpack_from("<HH", pong), (0xBEF4, 2))
        self.assertEqual(struct.unpack_from("<I", pong, 20)[0], 9)


if __name__ == "__main__":
    unittest.main()
