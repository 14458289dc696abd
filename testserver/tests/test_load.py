"""Generated load: a login against 600 channels and 5000 players completes whole."""

import unittest

from wireclient import ServerTestCase


class GeneratedLoadTest(ServerTestCase):
    config = {"channels": [], "generate": {"channels": 600, "players": 5000},
              "server": {"max_users": 100}}

    def test_login_receives_every_channel_and_player(self):
        c = self.client()
        reply = c.login("visitor", timeout=60)
        self.assertEqual(reply["result"], 1)
        self.assertEqual(len(c.channels), 600)
        self.assertEqual(len(c.players), 5001)
        self.assertEqual(len(c.of_type(7)), 501)
        # every player stands in a listed channel, and parents come before sub-channels
        self.assertTrue(all(p["channel"] in c.channels for p in c.players.values()))
        seen = set()
        for ch in c.channels.values():          # in the order the lists brought them
            self.assertTrue(ch["parent"] == -1 or ch["parent"] in seen, ch)
            seen.add(ch["id"])
        self.assertGreater(len(c.of_type(6)), 1, "a large channel list comes in several packets")
        st = self.wait_server(lambda s: self.player_named(s, "visitor")["lists_ms"] is not None)
        self.assertGreater(self.player_named(st, "visitor")["lists_ms"], 0)


if __name__ == "__main__":
    unittest.main()
