"""Configuration files: a broken one is refused with a clear message, a good one is used."""

import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

from wireclient import SERVER, ServerTestCase, s29


class BadConfigTest(unittest.TestCase):
    def run_server(self, text, *extra):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "c.json")
            with open(path, "w") as f:
                f.write(text)
            return subprocess.run([sys.executable, SERVER, "--port", "0", "--config", path,
                                   *extra], capture_output=True, text=True, timeout=30)

    def test_broken_configurations_are_refused(self):
        # (configuration text, words the message must contain)
        cases = [
            ("{not json", "cannot read configuration"),
            ("[1, 2]", "JSON object"),
            (json.dumps({"channels": [{"name": "A", "flags": ["loud"]}]}), "loud"),
            (json.dumps({"channels": [{"name": "Sub", "parent": "Missing"}]}), "Missing"),
            (json.dumps({"channels": []}), "at least one channel"),
            (json.dumps({"server": {"type": "secret"}}), "server type"),
            (json.dumps({"server": {"version": [2, 0]}}), "four numbers"),
        ]
        for text, words in cases:
            with self.subTest(config=text):
                result = self.run_server(text)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(words, result.stderr)
                self.assertNotIn("Traceback", result.stderr)
        result = self.run_server("{}", "--version-string", "2.0")
        self.assertEqual(result.returncode, 2)
        self.assertIn("version", result.stderr)

    def test_dump_config_shows_the_file_laid_over_the_built_in_one(self):
        result = self.run_server(json.dumps({"server": {"name": "Mine"}}), "--dump-config")
        self.assertEqual(result.returncode, 0, result.stderr)
        cfg = json.loads(result.stdout)
        self.assertEqual(cfg["server"]["name"], "Mine")
        self.assertEqual(cfg["server"]["max_users"], 64)
        self.assertEqual(cfg["channels"][0]["name"], "Lobby")


class FileConfigTest(ServerTestCase):
    config = {
        "server": {"name": "Clan Hall", "welcome": "be nice", "codecs": [3, 8],
                   "banner_url": "http://127.0.0.1/banner.png", "banner_link": "http://example.org/"},
        "channels": [
            {"name": "Main", "flags": ["unregistered", "default"], "codec": 3, "max_users": 5,
             "order": 2, "topic": "main topic", "description": "main description"},
            {"name": "Side", "flags": 3, "codec": 8},
            {"name": "Nook", "parent": "Main", "codec": 8},
        ],
        "accounts": [{"login": "op", "password": "x", "channel_privileges": {"Side": ["autoOperator"]}}],
    }

    def test_configured_server_and_channels(self):
        c = self.client("op", login="op", password="x", anonymous=False)
        self.assertEqual((c.reply["server_name"], c.reply["text"], c.reply["codecs"]),
                         ("Clan Hall", "be nice", (1 << 3) | (1 << 8)))
        got = {ch["name"]: ch for ch in c.channels.values()}
        self.assertEqual(set(got), {"Main", "Side", "Nook"})
        main = got["Main"]
        self.assertEqual((main["flags"], main["codec"], main["max_users"], main["order"],
                          main["topic"], main["description"]),
                         (1 | 16 | 8, 3, 5, 2, "main topic", "main description"))
        self.assertEqual(got["Nook"]["parent"], main["id"])
        self.assertEqual(got["Side"]["flags"], 3)
        done = c.of_type(8)[0]
        self.assertEqual((c.banner, c.banner_link),
                         ("http://127.0.0.1/banner.png", "http://example.org/"))
        self.assertEqual(len(done), 280 + len("http://example.org/") + 1)
        # a stored auto-operator right makes the player an operator on entering
        c.send_cmd(303, struct.pack("<I", got["Side"]["id"]) + s29(""))
        c.wait_for(lambda: c.of_type(103), 3, "switch")
        self.assertEqual(struct.unpack_from("<H", c.of_type(103)[0], 36)[0], 8 | 2)


if __name__ == "__main__":
    unittest.main()
