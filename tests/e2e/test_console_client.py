"""End-to-end: the console client against the bundled server, no sound."""

import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from e2e_support import CLI, Client, Server, free_port, wait_until  # noqa: E402


class ConsoleClientTest(unittest.TestCase):
    def setUp(self):
        self.server = Server()
        self.addCleanup(self.server.stop)

    def client(self, nick, **kw):
        c = Client(self.server, nick, sound=False, **kw)
        self.addCleanup(lambda: c.proc.poll() is None and c.proc.kill())
        return c

    def test_login_prints_events_in_order_and_quit_disconnects(self):
        c = self.client("ann")
        c.wait_event("cb_initDone")
        names = [json.loads(l).get("name") for l in c.out.lines() if l.startswith('{"kind"')]
        self.assertEqual(names[0], "cb_connecting")
        self.assertIn("cb_NewChannel", names)
        self.assertIn("cb_NewPlayer", names)
        self.assertLess(names.index("cb_NewChannel"), names.index("cb_initDone"))
        self.assertEqual(c.command("QUIT"), "OK")
        c.wait_event("cb_close", reason=1)
        c.wait_event("cb_Idle")
        self.assertEqual(c.proc.wait(15), 0)
        state = self.server.control("state")
        self.assertFalse(any(p["nick"] == "ann" for p in state["players"]))

    def test_end_of_input_is_an_orderly_quit(self):
        c = self.client("bea")
        c.wait_event("cb_initDone")
        c.proc.stdin.close()
        self.assertEqual(c.proc.wait(15), 0)
        c.wait_event("cb_Idle")

    def test_first_connection_failure_exits_with_the_code_text(self):
        port = free_port()  # nobody listens there: the port is unreachable
        p = subprocess.run([CLI, "orlavonix://127.0.0.1:%d?nickname=x" % port],
                           input="", capture_output=True, text=True, timeout=30)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("cannot connect to 127.0.0.1:%d: Connection reset by peer." % port, p.stderr)

    def test_silent_server_is_no_reply(self):
        self.server.control("faults", freeze=True)
        p = subprocess.run([CLI, "orlavonix://127.0.0.1:%d?nickname=x" % self.server.udp_port],
                           input="", capture_output=True, text=True, timeout=30)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("No reply from server", p.stderr)

    def test_remote_commands_drive_a_running_client(self):
        a = self.client("cid")
        b = self.client("dan")
        a.wait_event("cb_initDone")
        b.wait_event("cb_initDone")
        self.assertEqual(a.command("get_user_info"), "ERROR -3 UNKNOWN COMMANDS")
        info = a.command("GET_USER_INFO")
        self.assertTrue(info.startswith("OK"), info)
        self.assertIn("cid", info)
        # A channel switch through the command set reaches the other client.
        state = self.server.control("state")
        teams = next(ch["id"] for ch in state["channels"] if ch["name"] == "Teams")
        reply = a.command("SWITCH_CHANNEL_ID %d" % teams)
        self.assertTrue(reply.startswith("OK"), reply)
        ev = b.wait_event("cb_PlayerSwitchChannel", newChannelId=teams)
        self.assertEqual(ev["nick"], "cid")
        self.assertEqual(a.command("DISCONNECT"), "OK")
        a.wait_event("cb_Idle")
        self.assertTrue(a.command("DISCONNECT").startswith("ERROR -1"))
        # CONNECT reconnects the same running client.
        self.assertEqual(a.command("CONNECT 127.0.0.1:%d" % self.server.udp_port), "OK")
        a.wait_event("cb_connecting")
        self.assertTrue(wait_until(lambda: len(a.events("cb_initDone")) == 2, 20))
        self.assertEqual(a.quit(), 0)
        self.assertEqual(b.quit(), 0)

    def test_server_freeze_times_out_and_client_reconnects_when_told(self):
        c = self.client("eve")
        c.wait_event("cb_initDone")
        self.server.control("faults", freeze=True)
        c.wait_event("cb_close", timeout=60, reason=3)
        c.wait_event("cb_Idle", timeout=10)
        self.server.control("faults", freeze=False)
        self.assertEqual(c.command("CONNECT 127.0.0.1:%d" % self.server.udp_port), "OK")
        self.assertTrue(wait_until(lambda: len(c.events("cb_initDone")) == 2, 30))
        self.assertEqual(c.quit(), 0)

    def test_server_shutdown_is_reason_four(self):
        c = self.client("fay")
        c.wait_event("cb_initDone")
        self.server.control("shutdown", grace=1)
        c.wait_event("cb_close", timeout=20, reason=4)
        c.wait_event("cb_Idle")
        self.assertEqual(c.quit(), 0)


if __name__ == "__main__":
    unittest.main()
