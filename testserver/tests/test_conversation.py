"""A scripted conversation over real UDP: login, lists, a channel switch, a long text
message in fragments, permission errors and a kick."""

import struct
import unittest

from wireclient import ServerTestCase, s29


class ConversationTest(ServerTestCase):
    def test_conversation(self):
        alice = self.client("alice")
        bob = self.client("bob")
        admin = self.client("boss", login="admin", password="admin", anonymous=False)

        # lists: every channel with its flags and parents; all three players known to all
        teams = alice.channel_id("Teams")
        red = alice.channel_id("Red")
        private = alice.channel_id("Private")
        self.assertEqual(alice.channels[red]["parent"], teams)
        self.assertEqual(alice.channels[teams]["parent"], -1)
        self.assertTrue(alice.channels[teams]["flags"] & 8)
        self.assertTrue(alice.channels[private]["flags"] & 4)
        self.assertTrue(alice.channels[alice.channel_id("Moderated Hall")]["flags"] & 2)
        for c in (alice, bob, admin):
            c.wait_for(lambda c=c: len(c.players) == 3, 3, "all players known")
        self.assertEqual(admin.me()["privileges"] & 5, 5)

        # a channel switch is announced to everybody, with old and new channel
        lobby = bob.me()["channel"]
        bob.send_cmd(303, struct.pack("<I", red) + s29(""))
        for c in (alice, bob, admin):
            c.wait_for(lambda c=c: c.of_type(103), 3, "switch notification")
            pid, old, new, privs = struct.unpack_from("<IIIH", c.of_type(103)[0], 24)
            self.assertEqual((pid, old, new), (bob.player_id, lobby, red))
            self.assertEqual(len(c.of_type(103)[0]), 38)

        # a wrong channel password: -111 naming the request and the channel
        bob.send_cmd(303, struct.pack("<I", private) + s29("guess"))
        bob.wait_for(bob.error_replies, 3, "error reply")
        self.assertEqual(bob.error_replies(), [(-111, 303, private, private)])

        # 2000 characters travel in fragments both ways and arrive whole
        text = "".join(chr(ord("a") + i % 26) for i in range(2000))
        alice.text(text, kind=0)
        for c in (alice, bob, admin):
            c.wait_for(c.texts, 5, "text message")
            self.assertEqual(c.texts(), [{"kind": 0, "sender": "alice", "text": text,
                                          "colour": 0}])
        received = self.player_named(self.server.state(), "alice")["link"]
        self.assertEqual(received["commands_received"], 1 + 4)   # login completion, 4 fragments

        # kicking needs server admin rights: -1000 naming request 301 and the player
        alice.send_cmd(301, struct.pack("<I", bob.player_id) + s29("go away"))
        alice.wait_for(alice.error_replies, 3, "error reply")
        self.assertEqual(alice.error_replies(), [(-1000, 301, bob.player_id, None)])

        admin.send_cmd(301, struct.pack("<I", bob.player_id) + s29("go away"))
        for c in (alice, bob, admin):
            c.wait_for(lambda c=c: c.of_type(101), 3, "left-scope notification")
            pid, reason, actor = struct.unpack_from("<IHI", c.of_type(101)[0], 24)
            self.assertEqual((pid, reason, actor), (bob.player_id, 2, admin.player_id))
            self.assertEqual(c.of_type(101)[0][35:35 + c.of_type(101)[0][34]], b"go away")
        self.assertEqual(bob.closed_reason, 2)
        st = self.wait_server(lambda s: not any(p["nick"] == "bob" for p in s["players"]))
        self.assertEqual(sorted(p["nick"] for p in st["players"]), ["alice", "boss"])


if __name__ == "__main__":
    unittest.main()
