"""Voice relay: channel voice, whispers, moderated channels, muting and injected voice."""

import struct
import unittest

from wireclient import ServerTestCase, s29


class VoiceTest(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.alice = self.client("alice")
        self.bob = self.client("bob")
        self.carol = self.client("carol")
        self.dave = self.client("dave", channel="Teams", sub="Red")
        self.everyone = [self.alice, self.bob, self.carol, self.dave]
        for c in self.everyone:
            c.wait_for(lambda c=c: len(c.players) >= 4, 3, "everybody known")

    def settle(self, *expect):
        """Wait until each (client, count) has that many voice packets, then a little longer
        for any that should not come."""
        for c, n in expect:
            c.wait_for(lambda c=c, n=n: len(c.voice) >= n, 3, "voice packets")
        for c in self.everyone:
            c.poll(0.05)

    def test_channel_voice_reaches_the_others_in_the_channel(self):
        a = self.alice
        a.send_raw(a.voice_packet(b"\x05frame-one", codec=8, speak_nr=3, seq=1))
        a.send_raw(a.voice_packet(b"\x05frame-two", codec=8, speak_nr=3, seq=2))
        self.settle((self.bob, 2), (self.carol, 2))
        self.assertEqual(a.voice, [])
        self.assertEqual(self.dave.voice, [])
        for c in (self.bob, self.carol):
            self.assertEqual([(v["sender"], v["packet_nr"], v["speak_nr"], v["codec"], v["flags"],
                               v["seq"], v["payload"]) for v in c.voice],
                             [(a.player_id, 1, 3, 8, 0, 1, b"\x05frame-one"),
                              (a.player_id, 2, 3, 8, 0, 2, b"\x05frame-two")])

    def test_whispers(self):
        a = self.alice
        red = a.channel_id("Red")
        lobby = a.channel_id("Lobby")
        self.carol.send_cmd(304, struct.pack("<H", 4))          # pfNoWhisper
        a.wait_for(lambda: a.players[self.carol.player_id]["flags"] == 4, 3, "carol's flags")
        # (targets, who receives)
        cases = [
            ([(1, self.dave.player_id)], [self.dave]),
            ([(0, red)], [self.dave]),
            ([(0, lobby)], [self.bob]),
            ([(1, self.carol.player_id)], []),
            ([(1, self.bob.player_id), (0, red), (1, a.player_id)], [self.bob, self.dave]),
        ]
        for i, (targets, receivers) in enumerate(cases):
            with self.subTest(targets=targets):
                for c in self.everyone:
                    c.voice.clear()
                a.send_raw(a.voice_packet(b"psst", speak_nr=9, seq=10 + i, targets=targets))
                self.settle(*[(c, 1) for c in receivers])
                for c in self.everyone:
                    got = [(v["flags"], v["sender"], v["payload"]) for v in c.voice]
                    self.assertEqual(got, [(1, a.player_id, b"psst")] if c in receivers else [])

    def test_moderated_channel_needs_voice(self):
        hall = self.alice.channel_id("Moderated Hall")
        for c in (self.alice, self.bob):
            c.send_cmd(303, struct.pack("<I", hall) + s29(""))
            c.wait_for(c.all_acked, 3, "switch")
        self.wait_server(lambda s: all(self.player_named(s, n)["channel"] == hall
                                       for n in ("alice", "bob")))
        a = self.alice
        a.send_raw(a.voice_packet(b"unheard", seq=1))
        self.settle()
        self.assertEqual(self.bob.voice, [])
        self.assertTrue(self.server.control("grant", player=a.player_id,
                                            privilege="pcpVoiced")["ok"])
        a.wait_for(lambda: a.of_type(106), 3, "voice granted")
        a.send_raw(a.voice_packet(b"heard", seq=2))
        self.settle((self.bob, 1))
        self.assertEqual(self.bob.voice[0]["payload"], b"heard")

    def test_muted_speaker_is_not_relayed_to_the_muting_player(self):
        self.bob.send_cmd(320, struct.pack("<IB", self.alice.player_id, 1))
        self.bob.wait_for(lambda: self.bob.of_type(321), 3, "mute reply")
        self.alice.send_raw(self.alice.voice_packet(b"hello", seq=1))
        self.settle((self.carol, 1))
        self.assertEqual(self.bob.voice, [])

    def test_injected_voice_from_a_player_without_connection(self):
        reply = self.server.control("add_player", nick="ghost")
        self.assertTrue(reply["ok"], reply)
        ghost = reply["player"]
        self.bob.wait_for(lambda: ghost in self.bob.players, 3, "ghost announced")
        reply = self.server.control("voice", player=ghost, codec=5, speak_nr=7,
                                    payload_hex="0102ff", count=2)
        self.assertEqual(reply, {"ok": True, "recipients": 6})
        self.settle((self.alice, 2), (self.bob, 2), (self.carol, 2))
        self.assertEqual([(v["sender"], v["codec"], v["speak_nr"], v["packet_nr"], v["payload"])
                          for v in self.bob.voice],
                         [(ghost, 5, 7, 1, b"\x01\x02\xff"), (ghost, 5, 7, 2, b"\x01\x02\xff")])
        self.assertEqual(self.dave.voice, [])
        self.server.control("remove_player", player=ghost)


if __name__ == "__main__":
    unittest.main()
