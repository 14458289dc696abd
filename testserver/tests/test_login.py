"""Logging in: the login reply byte for byte, every refusal, nicknames, starting channels."""

import struct
import unittest

from wireclient import ServerTestCase, Timeout, check_crc, put_crc


class LoginTest(ServerTestCase):
    config = {
        "server": {"name": "Login Test", "max_users": 3, "password": ""},
        "accounts": [{"login": "admin", "password": "pw", "server_admin": True},
                     {"login": "carol", "password": "c4rol"}],
        "bans": [{"ip": "127.0.0.9", "minutes": 0}],
    }

    def test_accepted_login_reply_and_lists(self):
        c = self.client("alice")
        data = c.reply_raw
        self.assertEqual(len(data), 436)
        self.assertTrue(check_crc(data, 16))
        magic, mtype, conn, player = struct.unpack_from("<HHII", data, 0)
        self.assertEqual((magic, mtype, conn, player), (0xBEF4, 4, 0, 0))
        version = struct.unpack_from("<4H", data, 80)
        self.assertEqual(version[0], 2)
        self.assertGreaterEqual(version[2], 17)
        self.assertEqual(struct.unpack_from("<i", data, 88)[0], 1)
        self.assertEqual(data[21:21 + data[20]], b"Login Test")
        self.assertNotEqual(struct.unpack_from("<I", data, 172)[0], 0)
        self.assertNotEqual(struct.unpack_from("<I", data, 176)[0], 0)
        self.assertEqual(struct.unpack_from("<I", data, 168)[0], 3)
        self.assertTrue(data[181:181 + data[180]].startswith(b"Welcome"))
        self.assertEqual(set(ch["name"] for ch in c.channels.values()),
                         {"Lobby", "Moderated Hall", "Teams", "Red", "Blue", "Private"})
        self.assertEqual(c.me()["nick"], "alice")
        lobby = c.channel_id("Lobby")
        self.assertEqual(c.me()["channel"], lobby)
        self.assertTrue(c.channels[lobby]["flags"] & 16)
        # lists come in order: channels, players, completion
        kinds = [t for t, _ in c.commands]
        self.assertEqual(kinds[-1], 8)
        self.assertEqual(len(c.of_type(8)[0]), 280)       # no banner link configured
        self.assertLess(max(i for i, t in enumerate(kinds) if t == 6),
                        min(i for i, t in enumerate(kinds) if t == 7))

    def test_refusals(self):
        # (what happens, login arguments, expected login result)
        cases = [
            ("wrong password", dict(nick="x1", login="carol", password="nope", anonymous=False), -1),
            ("unknown account", dict(nick="x2", login="dave", password="x", anonymous=False), -1),
            ("old client", dict(nick="x3", version=(1, 9, 0, 0)), -5),
        ]
        for what, kwargs, result in cases:
            with self.subTest(what):
                c = self.client()
                reply = c.login(**kwargs)
                self.assertEqual(reply["result"], result)
                self.assertTrue(reply["text"])
                self.assertEqual((reply["conn_id"], reply["player_id"]), (0, 0))

    def test_nickname_in_use_and_server_assigned_nickname(self):
        self.client("bob")
        refused = self.client().login("BOB")
        self.assertEqual(refused["result"], -4)
        c = self.client()
        self.assertEqual(c.login("bob", allow_server_nick=True)["result"], 1)
        self.assertEqual(c.me()["nick"], "bob1")

    def test_registered_login_and_login_already_in_use(self):
        c = self.client("Carol", login="carol", password="c4rol", anonymous=False)
        self.assertTrue(c.me()["privileges"] & 4)
        again = self.client().login("Carol2", login="carol", password="c4rol", anonymous=False)
        self.assertEqual(again["result"], -7)
        admin = self.client("root", login="admin", password="pw", anonymous=False)
        self.assertEqual(admin.me()["privileges"] & 5, 5)

    def test_server_full(self):
        self.client("f1")
        self.client("f2")
        self.client("f3")
        self.assertEqual(self.client().login("f4")["result"], -2)

    def test_starting_channel(self):
        # (channel, sub-channel, password, channel the player lands in)
        cases = [
            ("Teams", "Blue", "", "Blue"),
            ("teams", "", "", "Teams"),
            ("Private", "", "secret", "Private"),
            ("Private", "", "wrong", "Lobby"),
            ("Nowhere", "", "", "Lobby"),
        ]
        for i, (chan, sub, pw, expected) in enumerate(cases):
            with self.subTest(channel=chan, sub=sub, password=pw):
                c = self.client(f"start{i}", channel=chan, sub=sub, channel_password=pw)
                self.assertEqual(c.me()["channel"], c.channel_id(expected))
                c.send_cmd(300)
                c.wait_for(c.all_acked, 3, "logout")
                c.conn_id = 0


class RefusalConfigTest(ServerTestCase):
    config = {"server": {"allow_anonymous": False}}

    def test_anonymous_refused(self):
        self.assertEqual(self.client().login("anon")["result"], -3)
        self.assertEqual(self.client().login("root", login="admin", password="admin",
                                             anonymous=False)["result"], 1)


class BannedTest(ServerTestCase):
    config = {"bans": [{"ip": "127.0.0.1", "minutes": 0, "reason": "test"}]}

    def test_banned_address_refused(self):
        self.assertEqual(self.client().login("anyone")["result"], -6)


class ServerPasswordAndVersionTest(ServerTestCase):
    config = {"server": {"password": "letmein"}}
    server_args = ("--version-string", "2.0.16.5")

    def test_server_password_for_anonymous_logins(self):
        self.assertEqual(self.client().login("p1", password="wrong")["result"], -1)
        self.assertEqual(self.client().login("p2", password="letmein")["result"], 1)

    def test_configured_version_is_reported(self):
        reply = self.client().login("v1", password="letmein", complete=False)
        self.assertEqual(reply["version"], (2, 0, 16, 5))

    def test_client_refusing_the_version_leaves_no_player(self):
        c = self.client()
        reply = c.login("v2", password="letmein", step3=False)
        self.assertEqual(reply["result"], 1)
        self.assertIn("v2", self.server.state()["pending_logins"])
        # the refusal: a 120-byte login completion with byte 24 = 0, outside the reliable
        # stream (connection id 0, sequence 1)
        refusal = bytearray(struct.pack("<HhIIIHBBI", 0xBEF0, 5, 0, c.player_id, 1, 0, 0, 0, 0)
                            + bytes(96))
        c.send_raw(put_crc(refusal, 20))
        self.wait_server(lambda s: "v2" not in s["pending_logins"], what="pending login gone")
        with self.assertRaises(Timeout):
            c.wait_for(lambda: c.login_done, 0.5, "lists that must not come")
        c.conn_id = 0


if __name__ == "__main__":
    unittest.main()
