"""The control interface: state, changes made as the server, and shutting down."""

import json
import os
import socket
import struct
import tempfile
import unittest

from wireclient import ServerProcess, ServerTestCase, Client


class ControlTest(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.alice = self.client("alice")
        self.bob = self.client("bob")
        self.alice.wait_for(lambda: len(self.alice.players) == 2, 3, "bob known")

    def ctl(self, cmd, **args):
        reply = self.server.control(cmd, **args)
        self.assertTrue(reply["ok"], reply)
        return reply

    def notified(self, c, ptype, check, mark):
        c.wait_for(lambda: any(t == ptype and check(p) for t, p in c.commands[mark:]), 3,
                   f"notification {ptype}")

    def test_state_lists_channels_players_and_counters(self):
        st = self.ctl("state")
        self.assertEqual({c["name"] for c in st["channels"]},
                         {"Lobby", "Moderated Hall", "Teams", "Red", "Blue", "Private"})
        alice = self.player_named(st, "alice")
        self.assertTrue(alice["connected"])
        self.assertEqual(alice["state"], "online")
        self.assertEqual(alice["client_version"], [2, 0, 32, 60])
        self.assertIn("dropped", st)
        self.assertEqual(st["faults"]["freeze"], False)

    def test_changes_reach_the_clients(self):
        a, b = self.alice, self.bob
        teams = a.channel_id("Teams")
        # (control command, arguments, who sees what, check)
        cases = [
            ("set_flags", dict(player=b.player_id, flags=8), a, 104,
             lambda p: struct.unpack_from("<IH", p, 24) == (b.player_id, 8)),
            ("grant", dict(player=b.player_id, privilege="ppServerAdmin"), a, 107,
             lambda p: struct.unpack_from("<IBBI", p, 24) == (b.player_id, 0, 0, 0)),
            ("revoke", dict(player=b.player_id, privilege="ppServerAdmin"), a, 107,
             lambda p: struct.unpack_from("<IBBI", p, 24) == (b.player_id, 2, 0, 0)),
            ("grant", dict(player=b.player_id, privilege="pcpOperator"), b, 106,
             lambda p: struct.unpack_from("<IBBI", p, 24) == (b.player_id, 0, 1, 0)),
            ("move", dict(player=b.player_id, channel=teams), a, 109,
             lambda p: struct.unpack_from("<IIIIH", p, 24)[2:4] == (teams, 0)),
            ("text", dict(text="hello from the server", kind=0, **{"from": "Server"}), b, 130,
             lambda p: p[29:36] == b"\x06Server" and p[59:-1] == b"hello from the server"),
            ("text", dict(text="psst", kind=2, target=a.player_id, **{"from": "Ghost"}), a, 130,
             lambda p: p[28] == 2 and p[59:] == b"psst\0"),
            ("create_channel", dict(name="Made here", flags=["unregistered"], codec=3,
                                    topic="t"), b, 110, lambda p: p[44:54] == b"Made here\0"),
            ("set_server", dict(name="Renamed", welcome="hi", max_users=9, type="public",
                                codecs=[3, 5]), a, 140,
             lambda p: len(p) == 390 and struct.unpack_from("<IIH", p, 24) == (0x28, 0, 2 | 4)
             and struct.unpack_from("<I", p, 100)[0] == 9 and p[105:107] == b"hi"
             and p[361:368] == b"Renamed"),
        ]
        for cmd, args, who, ptype, check in cases:
            with self.subTest(cmd=cmd):
                mark = len(who.commands)
                self.ctl(cmd, **args)
                self.notified(who, ptype, check, mark)
        made = next(c["id"] for c in self.ctl("state")["channels"] if c["name"] == "Made here")
        mark = len(a.commands)
        self.ctl("delete_channel", channel=made)
        self.notified(a, 115, lambda p: struct.unpack_from("<H", p, 24)[0] == made, mark)
        self.ctl("set_server", type="clan", codecs=[0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12])

    def test_kick_and_errors(self):
        reply = self.server.control("kick", player=self.bob.player_id, reason="bye")
        self.assertEqual(reply, {"ok": True})
        for c in (self.alice, self.bob):
            c.wait_for(lambda c=c: c.of_type(101), 3, "kick notification")
            self.assertEqual(struct.unpack_from("<IHI", c.of_type(101)[0], 24),
                             (self.bob.player_id, 2, 0))
        self.assertEqual(self.bob.closed_reason, 2)
        # (request, why it fails)
        for request in [{"cmd": "kick", "player": 99999}, {"cmd": "no_such_thing"},
                        {"cmd": "move", "player": self.alice.player_id},
                        {"cmd": "faults", "in": {"drop": 2}}, {"nocmd": 1},
                        {"cmd": "delete_channel", "channel": self.alice.channel_id("Lobby")}]:
            with self.subTest(request=request):
                reply = self.server.control(**request) if "cmd" in request else None
                if reply is None:
                    self.server._ctl_file.write(json.dumps(request).encode() + b"\n")
                    self.server._ctl_file.flush()
                    reply = json.loads(self.server._ctl_file.readline())
                self.assertFalse(reply["ok"])
                self.assertTrue(reply["error"])
        self.server._ctl_file.write(b"this is not json\n")
        self.server._ctl_file.flush()
        self.assertFalse(json.loads(self.server._ctl_file.readline())["ok"])


class ShutdownTest(unittest.TestCase):
    def test_shutdown_tells_every_player_reason_4_and_exits(self):
        server = ServerProcess()
        self.addCleanup(server.stop)
        clients = [Client(server.port) for _ in range(2)]
        for i, c in enumerate(clients):
            self.addCleanup(c.close)
            self.assertEqual(c.login(f"p{i}")["result"], 1)
        reply = server.control("shutdown")
        self.assertTrue(reply["ok"])
        for c in clients:
            c.wait_for(lambda c=c: c.closed_reason is not None, 5, "shutdown notice")
            self.assertEqual(c.closed_reason, 4)
        self.assertEqual(server.proc.wait(10), 0)


class PcapTest(unittest.TestCase):
    def test_capture_holds_every_datagram_with_ipv4_udp_framing(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        path = os.path.join(tmp.name, "traffic.pcap")
        server = ServerProcess("--pcap", path)
        self.addCleanup(server.stop)
        c = Client(server.port)
        self.addCleanup(c.close)
        c.login("sniffed")
        c.text("captured words", kind=0)
        c.wait_for(lambda: c.texts(), 3, "echo")
        c.wait_for(c.all_acked, 3, "acknowledged")
        client_port = c.sock.getsockname()[1]
        server.control("shutdown")
        server.proc.wait(10)
        with open(path, "rb") as f:
            data = f.read()
        magic, major, minor, _, _, snaplen, link = struct.unpack_from("<IHHiIII", data, 0)
        self.assertEqual((magic, major, minor, link), (0xA1B2C3D4, 2, 4, 101))
        off = 24
        frames = []
        while off < len(data):
            _, _, incl, orig = struct.unpack_from("<IIII", data, off)
            self.assertEqual(incl, orig)
            frames.append(data[off + 16:off + 16 + incl])
            off += 16 + incl
        self.assertEqual(off, len(data))
        payloads = []
        for fr in frames:
            self.assertEqual(fr[0], 0x45)
            self.assertEqual(fr[9], 17)
            words = struct.unpack("!10H", fr[:20])
            total = sum(words)
            while total >> 16:
                total = (total & 0xFFFF) + (total >> 16)
            self.assertEqual(total, 0xFFFF, "IPv4 header checksum")
            self.assertEqual(struct.unpack_from("!H", fr, 2)[0], len(fr))
            self.assertEqual(socket.inet_ntoa(fr[12:16]), "127.0.0.1")
            sport, dport, ulen = struct.unpack_from("!HHH", fr, 20)
            self.assertEqual(ulen, len(fr) - 20)
            self.assertEqual({sport, dport}, {server.port, client_port})
            payloads.append((sport == client_port, fr[28:]))
        self.assertEqual(payloads[0], (True, c.login_request("sniffed")))
        self.assertEqual(len(payloads[1][1]), 436)
        self.assertTrue(any(not inbound and b"captured words" in p for inbound, p in payloads))
        self.assertTrue(any(inbound and b"captured words" in p for inbound, p in payloads))


if __name__ == "__main__":
    unittest.main()
