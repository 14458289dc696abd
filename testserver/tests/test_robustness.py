"""Garbage on the wire is dropped and counted; the server keeps serving everybody else."""

import random
import socket
import struct
import unittest

from wireclient import Client, ServerTestCase, put_crc


def command(ptype, conn, player, seq=1, payload=b"", good_crc=True):
    buf = bytearray(struct.pack("<HhIIIHBBI", 0xBEF0, ptype, conn, player, seq, 0, 0, 0, 0)
                    + payload)
    data = put_crc(buf, 20)
    if not good_crc:
        data = data[:20] + bytes([data[20] ^ 0xFF]) + data[21:]
    return data


class GarbageTest(ServerTestCase):
    def test_garbage_is_dropped_and_counted(self):
        alice = self.client("alice")
        pending = Client(self.server.port)
        self._clients.append(pending)
        pending.login("halfway", step3=False)
        rng = random.Random(99)
        junk = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(junk.close)
        maint_bad = bytearray(alice.maint(1))
        maint_bad[17] ^= 0x55
        # (reason the server counts, datagrams)
        cases = [
            ("too_short", [b"\xf0", b""]),
            ("no_class", [bytes([0xF0, 0xBE]) + bytes(21), b"\x00\x01" * 40,
                          bytes([0xF1, 0xBE]) + bytes(10)]
             + [bytes(rng.getrandbits(8) for _ in range(rng.randrange(2, 600))) for _ in range(200)]),
            ("bad_crc", [command(430, alice.conn_id, alice.player_id, good_crc=False),
                         bytes(maint_bad)]),
            ("unknown_connection", [command(405, 1234, 5678),
                                    command(405, alice.conn_id ^ 1, alice.player_id),
                                    struct.pack("<HHIII", 0xBEF1, 0, 99, 99, 1)]),
            ("voice_before_login", [struct.pack("<HBBIIHH", 0xBEF2, 0, 8, 7, 7, 1, 1) + b"abc"]),
            ("bad_login_request", [put_crc(bytearray(struct.pack("<HHIIII", 0xBEF4, 3, 0, 0, 1, 0)
                                                     + bytes(100)), 16)]),
        ]
        before = self.server.state()["dropped"]
        sent = 0
        for reason, datagrams in cases:
            for i in range(0, len(datagrams), 20):
                # in small bursts, so that the kernel's receive buffer never overflows
                for d in datagrams[i:i + 20]:
                    junk.sendto(d, ("127.0.0.1", self.server.port))
                sent += len(datagrams[i:i + 20])
                self.wait_server(lambda s, n=sent: sum(s["dropped"].values())
                                 - sum(before.values()) >= n, what="garbage counted")
        # a client's own packets of kinds it must not send, from its real address
        alice.send_raw(struct.pack("<HBBIIHHIH", 0xBEF3, 0, 8, alice.conn_id, alice.player_id, 1,
                                   1, 1, 1) + b"x")
        pending.send_raw(pending.voice_packet(b"too early"))
        alice.send_cmd(999)       # a command type nobody knows
        alice.send_cmd(405)       # and a real request after all of it
        alice.wait_for(lambda: alice.of_type(406), 5, "server information")
        after = self.wait_server(lambda s: s["dropped"].get("unknown_command", 0) >= 1)["dropped"]

        def grew(reason):
            return after.get(reason, 0) - before.get(reason, 0)

        for reason, datagrams in cases:
            with self.subTest(reason=reason):
                if reason == "no_class":
                    self.assertGreaterEqual(grew(reason), 3)
                elif reason == "voice_before_login":
                    self.assertEqual(grew(reason), len(datagrams) + 1)   # and the pending one
                else:
                    self.assertEqual(grew(reason), len(datagrams))
        self.assertEqual(grew("wrong_direction"), 1)
        self.assertEqual(grew("handler_error"), 0)
        # every datagram above is counted once: the cases, the server voice packet, the early
        # voice of the pending login and the unknown command
        total = sum(len(d) for _, d in cases) + 3
        self.assertEqual(sum(after.values()) - sum(before.values()), total)
        self.assertTrue(self.server.alive())
        # another client can still log in and is served
        bob = self.client("bob")
        alice.wait_for(lambda: bob.player_id in alice.players, 3, "bob announced")

    def test_random_requests_are_answered_or_refused_never_crash(self):
        rng = random.Random(7)
        fuzzer = self.client("fuzzer")
        before = self.server.state()["dropped"]
        types = [201, 203, 205, 206, 207, 208, 209, 210, 212, 302, 303, 304, 305, 306, 307,
                 308, 310, 320, 324, 326, 330, 340, 400, 405, 410, 430]
        for _ in range(400):
            size = rng.choice([0, 1, 2, 4, 5, 8, 30, 34, 60, 61, 100, 700])
            payload = bytes(rng.getrandbits(8) for _ in range(size))
            if rng.random() < 0.3:    # plausible ids: real players and channels
                ident = rng.choice(list(fuzzer.players) + list(fuzzer.channels) + [0])
                payload = struct.pack("<I", ident) + payload[4:]
            fuzzer.send_cmd(rng.choice(types), payload)
        fuzzer.send_cmd(405)
        fuzzer.wait_for(lambda: fuzzer.all_acked() and fuzzer.of_type(406), 20, "all handled")
        after = self.server.state()["dropped"]
        self.assertEqual(after.get("handler_error", 0), before.get("handler_error", 0))
        self.assertTrue(self.server.alive())
        self.assertGreater(len(fuzzer.error_replies()), 100)
        watcher = self.client("watcher")
        fuzzer.wait_for(lambda: watcher.player_id in fuzzer.players, 3, "watcher announced")


if __name__ == "__main__":
    unittest.main()
