"""Requests with their notifications, error replies and replies to the requester."""

import struct
import unittest

from wireclient import ServerTestCase, s29


def z(text):
    return text.encode("latin-1") + b"\0"


class RequestTest(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.admin = self.client("boss", login="admin", password="admin", anonymous=False)
        self.watcher = self.client("watcher")
        self.admin.wait_for(lambda: len(self.admin.players) >= 2, 3, "watcher known")

    def request(self, c, ptype, payload=b""):
        before = len(c.commands)
        c.send_cmd(ptype, payload)
        c.wait_for(c.all_acked, 3, "request acknowledged")
        return before

    def wait_type(self, c, ptype, after=0):
        c.wait_for(lambda: any(t == ptype for t, _ in c.commands[after:]), 3, f"type {ptype}")
        return next(p for t, p in c.commands[after:] if t == ptype)

    def test_channel_requests_notify_everybody(self):
        a, w = self.admin, self.watcher
        mark = len(w.commands)
        a.send_cmd(201, struct.pack("<IHHiHH", 0, 1 | 8, 8, -1, 3200, 20)
                   + z("Workshop") + z("tools") + z("a place") + z(""))
        rec = self.wait_type(w, 110, mark)
        cid = struct.unpack_from("<I", rec, 28)[0]
        self.assertEqual(w.channels[cid]["name"], "Workshop")
        self.assertEqual(struct.unpack_from("<HHiHH", rec, 32), (1 | 8, 8, -1, 3200, 20))
        # (request, payload, notification, check of the notification's fields)
        cases = [
            (206, struct.pack("<I", cid) + z("Works"), 111,
             lambda p: p[32:] == z("Works")),
            (207, struct.pack("<I", cid) + z("new topic"), 112,
             lambda p: p[32:] == z("new topic")),
            (208, struct.pack("<I", cid) + z("long words"), 114,
             lambda p: p[32:] == z("long words")),
            (205, struct.pack("<IHH", cid, 1 | 8 | 2, 5), 113,
             lambda p: struct.unpack_from("<IHH", p, 24) == (cid, 1 | 8 | 2, 5) and len(p) == 36),
            (210, struct.pack("<IH", cid, 7), 116,
             lambda p: struct.unpack_from("<IHI", p, 24) == (cid, 7, a.player_id)),
            (212, struct.pack("<IH", cid, 9), 117,
             lambda p: struct.unpack_from("<IHI", p, 24) == (cid, 9, a.player_id)),
            (209, struct.pack("<I", cid), 115,
             lambda p: struct.unpack_from("<HI", p, 24) == (cid, a.player_id)),
        ]
        for ptype, payload, note, check in cases:
            with self.subTest(request=ptype):
                mark = len(w.commands)
                a.send_cmd(ptype, payload)
                self.assertTrue(check(self.wait_type(w, note, mark)))
        self.assertNotIn(cid, w.channels)

    def test_player_requests_notify_and_reply(self):
        a, w = self.admin, self.watcher
        hall = a.channel_id("Moderated Hall")
        # (who asks, request, payload, who gets what, check)
        cases = [
            (w, 304, struct.pack("<H", 8 | 4), a, 104,
             lambda p: struct.unpack_from("<IH", p, 24) == (w.player_id, 12)),
            (a, 330, struct.pack("<II", w.player_id, hall), w, 109,
             lambda p: struct.unpack_from("<IIIIH", p, 24)[1:4] == (a.channel_id("Lobby"), hall,
                                                                    a.player_id)),
            (w, 305, s29("let me talk"), a, 105,
             lambda p: p[29:29 + p[28]] == b"let me talk"),
            (a, 306, struct.pack("<IBB", w.player_id, 0, 2), w, 106,
             lambda p: struct.unpack_from("<IBBI", p, 24) == (w.player_id, 0, 2, a.player_id)),
            (a, 307, struct.pack("<IBB", w.player_id, 0, 1), w, 107,
             lambda p: struct.unpack_from("<IBBI", p, 24) == (w.player_id, 0, 1, a.player_id)),
            (w, 308, s29("watcher") + s29("pw"), a, 107,
             lambda p: struct.unpack_from("<IBBI", p, 24) == (w.player_id, 0, 2, 0)),
            (a, 310, s29("newbie") + s29("pw") + b"\0", a, 311, lambda p: len(p) == 24),
            (w, 320, struct.pack("<IB", a.player_id, 1), w, 321,
             lambda p: struct.unpack_from("<IB", p, 24) == (a.player_id, 1)),
            (w, 400, struct.pack("<I", a.player_id), w, 404,
             lambda p: len(p) == 164 and struct.unpack_from("<I", p, 24)[0] == a.player_id
             and p[97:97 + p[96]] == b"admin" and p[65:65 + p[64]] == b"127.0.0.1"),
            (w, 405, b"", w, 406,
             lambda p: len(p) == 100 and struct.unpack_from("<4H", p, 32)[0] == 2
             and struct.unpack_from("<I", p, 40)[0] == 2),
        ]
        for asker, ptype, payload, receiver, note, check in cases:
            with self.subTest(request=ptype):
                mark = len(receiver.commands)
                asker.send_cmd(ptype, payload)
                receiver.wait_for(lambda: any(t == note and check(p)
                                              for t, p in receiver.commands[mark:]),
                                  3, f"notification {note} with the right fields")
        self.assertEqual(a.error_replies() + w.error_replies(), [])
        st = self.server.state()
        me = self.player_named(st, "watcher")
        self.assertEqual(me["privileges"], 4)            # registered, no longer may register
        self.assertEqual(me["channel_privileges"], 4)    # voiced
        self.assertIn("newbie", [acc["login"] for acc in st["accounts"]])

    def test_ban_list(self):
        a = self.admin
        self.request(a, 324, struct.pack("<H", 30) + z("10.1.2.3"))
        mark = self.request(a, 410)
        p = self.wait_type(a, 411, mark)
        self.assertEqual(struct.unpack_from("<I", p, 24)[0], 1)
        self.assertEqual(p[28:37], z("10.1.2.3"))
        self.assertEqual(struct.unpack_from("<H", p, 37)[0], 30)
        self.request(a, 326, z("10.1.2.3"))
        mark = self.request(a, 410)
        self.assertEqual(len(self.wait_type(a, 411, mark)), 28)

    def test_error_replies(self):
        a, w = self.admin, self.watcher
        lobby = a.channel_id("Lobby")
        teams = a.channel_id("Teams")
        # (who, request, payload, error code, value at 26)
        cases = [
            (w, 209, struct.pack("<I", teams), -1008, teams),
            (a, 209, struct.pack("<I", lobby), -117, lobby),
            (w, 301, struct.pack("<I", a.player_id) + s29("x"), -1000, a.player_id),
            (a, 301, struct.pack("<I", 999999) + s29("x"), -100, 999999),
            (a, 303, struct.pack("<I", 4242) + s29(""), -102, 4242),
            (a, 303, struct.pack("<I", lobby) + s29(""), -119, lobby),
            (w, 305, s29("please"), -130, lobby),
            (w, 306, struct.pack("<IBB", a.player_id, 0, 1), -1004, a.player_id),
            (w, 307, struct.pack("<IBB", w.player_id, 0, 0), -1000, w.player_id),
            (a, 307, struct.pack("<IBB", a.player_id, 0, 0), -1020, a.player_id),
            (w, 324, struct.pack("<H", 0) + z("10.0.0.1"), -1000, 0),
            (a, 201, struct.pack("<IHHiHH", 0, 1, 8, -1, 0, 10) + z("Lobby") + z("") + z("")
             + z(""), -114, 0),
            (a, 201, struct.pack("<IHHiHH", 0, 1, 4, -1, 0, 10) + z("Bad codec") + z("") + z("")
             + z(""), -104, 4),
            (a, 201, struct.pack("<IHHiHH", 0, 1, 8, lobby, 0, 10) + z("Sub") + z("") + z("")
             + z(""), -115, lobby),
            (w, 330, struct.pack("<II", a.player_id, teams), -1000, a.player_id),
            (w, 400, struct.pack("<I", 31337), -100, 31337),
        ]
        for who, ptype, payload, code, value in cases:
            with self.subTest(request=ptype, code=code):
                before = len(who.error_replies())
                who.send_cmd(ptype, payload)
                who.wait_for(lambda: len(who.error_replies()) > before, 3, "error reply")
                self.assertEqual(who.error_replies()[before][:3], (code, ptype, value))
        # deleting a channel with somebody in it
        red = a.channel_id("Red")
        self.request(w, 303, struct.pack("<I", red) + s29(""))
        before = len(a.error_replies())
        a.send_cmd(209, struct.pack("<I", teams))
        a.wait_for(lambda: len(a.error_replies()) > before, 3, "error reply")
        self.assertEqual(a.error_replies()[before][:3], (-109, 209, teams))


class PublicScopeTest(ServerTestCase):
    config = {"server": {"type": "public"}}

    def test_players_outside_the_family_are_not_announced(self):
        alice = self.client("alice")
        bob = self.client("bob", channel="Teams", sub="Red")
        carol = self.client("carol", channel="Teams", sub="Blue")
        bob.wait_for(lambda: len(bob.players) == 2, 3, "carol seen by bob")
        alice.poll(0.2)
        self.assertEqual(set(alice.players), {alice.player_id})
        self.assertEqual(set(bob.players), {bob.player_id, carol.player_id})
        lobby = alice.channel_id("Lobby")
        blue = alice.channel_id("Blue")

        # bob comes to the lobby: alice learns of him, carol loses him, bob gets the lobby
        mark = {c: len(c.commands) for c in (alice, bob, carol)}
        bob.send_cmd(303, struct.pack("<I", lobby) + s29(""))
        p = next(p for t, p in self._wait(alice, 100, mark[alice]))
        self.assertEqual(struct.unpack_from("<II", p, 24), (bob.player_id, lobby))
        p = next(p for t, p in self._wait(carol, 101, mark[carol]))
        self.assertEqual(struct.unpack_from("<IH", p, 24), (bob.player_id, 6))
        kinds = [t for t, _ in self._wait(bob, 108, mark[bob])]
        self.assertEqual(kinds[:2], [103, 108])
        bob.wait_for(lambda: set(bob.players) == {alice.player_id, bob.player_id}, 3, "scope")

        # within one family nothing leaves the scope
        mark = len(carol.commands)
        self.client("dave", channel="Teams")
        red = alice.channel_id("Red")
        carol.send_cmd(303, struct.pack("<I", red) + s29(""))
        carol.wait_for(lambda: any(t == 103 for t, _ in carol.commands[mark:]), 3, "switch")
        carol.poll(0.1)
        self.assertNotIn(108, [t for t, _ in carol.commands[mark:]])
        self.assertEqual(len(carol.players), 2)
        self.assertEqual(alice.channels[blue]["parent"], alice.channel_id("Teams"))

    def _wait(self, c, ptype, mark):
        c.wait_for(lambda: any(t == ptype for t, _ in c.commands[mark:]), 3, f"type {ptype}")
        return [(t, p) for t, p in c.commands[mark:]]


if __name__ == "__main__":
    unittest.main()
