"""Reliable delivery over a damaged line, resends, and the time-out of a silent client."""

import struct
import time
import unittest

from wireclient import ServerTestCase, Timeout, put_crc


class LossyLineTest(ServerTestCase):
    server_args = ("--seed", "1234")

    def test_500_commands_each_way_exactly_once_in_order_under_loss(self):
        alice = self.client("alice")
        bob = self.client("bob")
        lobby = alice.channel_id("Lobby")
        damage = {"drop": 0.1, "reorder": 0.1, "duplicate": 0.05, "reorder_ms": 40}
        reply = self.server.control("faults", **{"in": damage, "out": damage})
        self.assertTrue(reply["ok"], reply)
        try:
            wanted = [f"message {i:04d}" for i in range(500)]
            for text in wanted:
                alice.text(text, kind=1, target=lobby)
            deadline = time.monotonic() + 90
            while time.monotonic() < deadline:
                alice.poll(0.02)
                bob.poll(0.02)
                if len(alice.texts()) >= 500 and len(bob.texts()) >= 500:
                    break
            for c in (alice, bob):
                self.assertEqual([t["text"] for t in c.texts()], wanted)
            st = self.server.state()
            counts = st["faults"]["counts"]
            self.assertGreater(counts["in"]["dropped"], 30)
            self.assertGreater(counts["out"]["dropped"], 30)
            self.assertGreater(counts["out"]["reordered"], 30)
            self.assertGreater(self.player_named(st, "alice")["link"]["resends"], 0)
        finally:
            clean = {"drop": 0, "reorder": 0, "duplicate": 0}
            self.server.control("faults", **{"in": clean, "out": clean})


class ResendTest(ServerTestCase):
    def test_dropped_command_is_resent(self):
        alice = self.client("alice")
        bob = self.client()
        # lose the first copy of the first notification that reaches alice
        lost = []

        def lose_first_command(data):
            if struct.unpack_from("<H", data)[0] == 0xBEF0 and not lost:
                lost.append(struct.unpack_from("<hxxxxxxxxI", data, 2))
                return True
            return False

        alice.drop_filter = lose_first_command
        bob.login("bob")
        alice.wait_for(lambda: any(p["nick"] == "bob" for p in alice.players.values()), 5,
                       "bob announced after a resend")
        ptype, seq = lost[0]
        self.assertEqual(ptype, 100)
        self.assertIn((100, seq, 1), alice.resends_seen)

    def test_commands_out_of_order_from_the_client_are_delivered_in_order(self):
        alice = self.client("alice")
        bob = self.client("bob")
        lobby = alice.channel_id("Lobby")

        def packet(seq, text):
            body = struct.pack("<IBI", 0, 1, lobby) + text + b"\0"
            buf = bytearray(struct.pack("<HhIIIHBBI", 0xBEF0, 430, alice.conn_id,
                                        alice.player_id, seq, 0, 0, 0, 0) + body)
            return put_crc(buf, 20)

        first = alice.next_seq
        alice.next_seq += 3
        for seq, text in [(first + 2, b"third"), (first + 1, b"second"), (first + 2, b"third"),
                          (first, b"first"), (first + 1, b"second")]:
            alice.send_raw(packet(seq, text))
        bob.wait_for(lambda: len(bob.texts()) >= 3, 3, "three texts")
        bob.poll(0.2)
        self.assertEqual([t["text"] for t in bob.texts()], ["first", "second", "third"])


class SilentClientTest(ServerTestCase):
    config = {"server": {"client_timeout_ms": 1500}}

    def test_silent_client_is_dropped_with_reason_3(self):
        quiet = self.client("quiet")
        other = self.client("other")
        quiet_id = quiet.player_id
        quiet.conn_id = 0                  # it simply stops talking
        start = time.monotonic()
        other.wait_for(lambda: other.of_type(101), 6, "time-out notification")
        pid, reason = struct.unpack_from("<IH", other.of_type(101)[0], 24)
        self.assertEqual((pid, reason), (quiet_id, 3))
        self.assertGreaterEqual(time.monotonic() - start, 1.4)
        # the pinged and answering client stays
        other.poll(1.0)
        self.assertTrue(any(p["nick"] == "other" for p in self.server.state()["players"]))
        self.assertGreater(other.pongs + other.acks_sent, 0)


class UnacknowledgingClientTest(ServerTestCase):
    config = {"server": {"max_pending_commands": 50}}

    def test_client_that_acknowledges_nothing_is_dropped(self):
        deaf = self.client("deaf")
        other = self.client("other")
        deaf_id = deaf.player_id
        deaf.wait_for(lambda: len(deaf.players) == 2, 3, "other known")
        deaf.drop_filter = lambda data: data[:2] == b"\xf0\xbe"   # still pings, never acks
        for i in range(60):
            self.server.control("text", text=f"flood {i}", kind=2, target=deaf_id)
        other.wait_for(lambda: other.of_type(101), 5, "time-out notification")
        self.assertEqual(struct.unpack_from("<IH", other.of_type(101)[0], 24), (deaf_id, 3))
        deaf.conn_id = 0


class FreezeTest(ServerTestCase):
    def test_frozen_server_answers_nothing_until_thawed(self):
        c = self.client("ice")
        self.assertTrue(self.server.control("faults", freeze=True)["ok"])
        c.send_cmd(405)
        with self.assertRaises(Timeout):
            c.wait_for(c.all_acked, 0.6, "an answer from a frozen server")
        self.assertTrue(self.server.control("faults", freeze=False)["ok"])
        c.wait_for(lambda: c.of_type(406), 5, "answer after thawing")


if __name__ == "__main__":
    unittest.main()
