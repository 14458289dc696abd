"""A scripted voice client for the server's tests.

Written from the packet layouts on its own, sharing nothing with the server but the
standard CRC-32, so that a misreading of the layouts cannot hide in both."""

import os
import queue
import select
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib

SERVER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "server.py")


def crc(data: bytes) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF


def put_crc(buf: bytearray, off: int) -> bytes:
    buf[off:off + 4] = bytes(4)
    buf[off:off + 4] = struct.pack("<I", crc(bytes(buf)))
    return bytes(buf)


def check_crc(data: bytes, off: int) -> bool:
    buf = bytearray(data)
    want = struct.unpack_from("<I", buf, off)[0]
    buf[off:off + 4] = bytes(4)
    return crc(bytes(buf)) == want


def s29(text, n=29) -> bytes:
    raw = text.encode("latin-1")[:n]
    return bytes([len(raw)]) + raw.ljust(n, b"\0")


def rd_s(data, off, n=29) -> str:
    return data[off + 1:off + 1 + min(data[off], n)].decode("latin-1")


def rd_z(data, off):
    end = data.index(b"\0", off)
    return data[off:end].decode("latin-1"), end + 1


class Timeout(AssertionError):
    pass


# the least size at which a client reads each notification; shorter ones it ignores
MIN_SIZE = {6: 28, 7: 468, 8: 280, 100: 68, 101: 64, 102: 68, 103: 38, 104: 30, 105: 58,
            106: 34, 107: 34, 108: 468, 109: 42, 110: 44, 111: 32, 112: 32, 113: 36, 114: 32,
            115: 30, 116: 34, 117: 34, 130: 59, 140: 390, 204: 28, 311: 24, 321: 29, 404: 164,
            406: 100, 411: 28}


class ServerProcess:
    """The server started as a program, as users start it."""

    def __init__(self, *extra, config_text=None, tmpdir=None):
        args = [sys.executable, SERVER, "--port", "0", "--control-port", "0"]
        self.config_path = None
        if config_text is not None:
            self.config_path = os.path.join(tmpdir, "server.json")
            with open(self.config_path, "w") as f:
                f.write(config_text)
            args += ["--config", self.config_path]
        args += list(extra)
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        self.lines = queue.Queue()
        self.errors = []
        self._readers = [
            threading.Thread(target=self._read, args=(self.proc.stdout, self.lines), daemon=True),
            threading.Thread(target=self._read, args=(self.proc.stderr, None), daemon=True)]
        for t in self._readers:
            t.start()
        deadline = time.monotonic() + 20
        self.port = self.control_port = None
        while self.port is None and time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=0.5)
            except queue.Empty:
                if self.proc.poll() is not None:
                    break
                continue
            if line.startswith("READY "):
                fields = dict(kv.split("=", 1) for kv in line.split()[1:])
                self.port = int(fields["udp"].rsplit(":", 1)[1])
                self.control_port = int(fields["control"].rsplit(":", 1)[1])
        if self.port is None:
            self.stop()
            raise RuntimeError("server did not become ready: " + "".join(self.errors))
        self._ctl = socket.create_connection(("127.0.0.1", self.control_port), timeout=10)
        self._ctl_file = self._ctl.makefile("rwb")

    def _read(self, stream, sink):
        for line in stream:
            if sink is not None:
                sink.put(line)
            else:
                self.errors.append(line)

    def control(self, cmd, **args):
        import json
        self._ctl_file.write((json.dumps({"cmd": cmd, **args}) + "\n").encode())
        self._ctl_file.flush()
        line = self._ctl_file.readline()
        if not line:
            raise RuntimeError("control connection closed")
        return json.loads(line)

    def state(self):
        reply = self.control("state")
        assert reply["ok"], reply
        return reply

    def alive(self) -> bool:
        return self.proc.poll() is None

    def stop(self):
        try:
            if getattr(self, "_ctl", None):
                self._ctl_file.close()
                self._ctl.close()
                self._ctl = None
        finally:
            if self.proc.poll() is None:
                self.proc.terminate()
                try:
                    self.proc.wait(10)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait(5)
            for t in self._readers:
                t.join(5)
            for stream in (self.proc.stdout, self.proc.stderr):
                if not stream.closed:
                    stream.close()


class Client:
    WINDOW = 8

    def __init__(self, port, host="127.0.0.1"):
        self.server = (host, port)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.setblocking(False)
        self.conn_id = 0
        self.player_id = 0
        self.reply = None
        # reliable sending
        self.out_queue = []
        self.in_flight = {}            # seq -> [bytes, resend count, last sent]
        self.next_seq = 1
        self.unrel_seq = 1
        self.last_ping = time.monotonic()
        # reliable receiving
        self.expected = 1
        self.held = {}
        self.partial = None
        # what arrived
        self.commands = []             # (type, whole packet), in delivery order
        self.voice = []
        self.acks_sent = 0
        self.pongs = 0
        self.channels = {}
        self.players = {}
        self.login_done = False
        self.closed_reason = None
        self.drop_filter = None        # drop_filter(datagram) -> True loses it on the way in
        self.resends_seen = []         # (type, sequence, resend count) of repeated copies

    def close(self):
        self.sock.close()

    # --- raw -------------------------------------------------------------------

    def send_raw(self, data: bytes):
        self.sock.sendto(data, self.server)

    def maint(self, mtype, payload=b"", seq=None):
        if seq is None:
            self.unrel_seq += 1
            seq = self.unrel_seq
        buf = bytearray(struct.pack("<HHIIII", 0xBEF4, mtype, self.conn_id, self.player_id, seq, 0)
                        + payload)
        return put_crc(buf, 16)

    # --- login -----------------------------------------------------------------

    def login_request(self, nick, login="", password="", anonymous=True, allow_server_nick=False,
                      version=(2, 0, 32, 60)):
        body = (s29("Orlavonix") + s29("Linux test") + struct.pack("<4H", *version)
                + bytes([1 if allow_server_nick else 0, 1 if anonymous else 2])
                + s29("" if anonymous else login) + s29(password) + s29(nick))
        buf = bytearray(struct.pack("<HHIIII", 0xBEF4, 3, 0, 0, 1, 0) + body)
        assert len(buf) == 180
        return put_crc(buf, 16)

    def login(self, nick, login="", password="", anonymous=True, allow_server_nick=False,
              channel="", sub="", channel_password="", version=(2, 0, 32, 60), complete=True,
              step3=True, timeout=5.0):
        self.send_raw(self.login_request(nick, login, password, anonymous, allow_server_nick,
                                         version))
        deadline = time.monotonic() + timeout
        reply = None
        while reply is None:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Timeout("no login reply")
            r, _, _ = select.select([self.sock], [], [], left)
            if not r:
                continue
            data, _ = self.sock.recvfrom(2048)
            if len(data) == 436 and struct.unpack_from("<HH", data, 0) == (0xBEF4, 4):
                assert check_crc(data, 16), "login reply with a bad CRC"
                reply = data
        self.reply_raw = reply
        self.reply = {
            "server_name": rd_s(reply, 20), "platform": rd_s(reply, 50),
            "version": struct.unpack_from("<4H", reply, 80),
            "result": struct.unpack_from("<i", reply, 88)[0],
            "codecs": struct.unpack_from("<I", reply, 92)[0],
            "type": struct.unpack_from("<H", reply, 100)[0],
            "permissions": reply[102:168],
            "max_users": struct.unpack_from("<I", reply, 168)[0],
            "conn_id": struct.unpack_from("<I", reply, 172)[0],
            "player_id": struct.unpack_from("<I", reply, 176)[0],
            "text": rd_s(reply, 180, 255), "header_conn": struct.unpack_from("<I", reply, 4)[0],
        }
        if self.reply["result"] != 1:
            return self.reply
        self.conn_id = self.reply["conn_id"]
        self.player_id = self.reply["player_id"]
        if not step3:
            return self.reply
        step3 = (bytes([1, 0]) + s29(channel) + s29(sub) + s29(channel_password)
                 + struct.pack("<i", -1))
        self.send_cmd(5, step3)
        if complete:
            self.wait_for(lambda: self.login_done, timeout, "login completion")
        return self.reply

    # --- reliable sending ------------------------------------------------------

    def send_cmd(self, ptype, payload=b""):
        whole = struct.pack("<HhIIIHBBI", 0xBEF0, ptype, self.conn_id, self.player_id, 0, 0, 0, 0,
                            0) + payload
        if len(whole) <= 560:
            self.out_queue.append(whole)
        else:
            body = whole[24:]
            n = (len(body) + 535) // 536
            for i in range(n):
                frag = bytearray(whole[:24])
                frag[18] = n - 1 - i
                self.out_queue.append(bytes(frag) + body[i * 536:(i + 1) * 536])
        self._pump()

    def _send_flight(self, seq):
        entry = self.in_flight[seq]
        buf = bytearray(entry[0])
        struct.pack_into("<IIIH", buf, 4, self.conn_id, self.player_id, seq, entry[1])
        self.send_raw(put_crc(buf, 20))
        entry[2] = time.monotonic()

    def _pump(self):
        while self.out_queue and len(self.in_flight) < self.WINDOW:
            seq = self.next_seq
            self.next_seq += 1
            self.in_flight[seq] = [self.out_queue.pop(0), 0, 0.0]
            self._send_flight(seq)

    def _timers(self):
        now = time.monotonic()
        for seq, entry in list(self.in_flight.items()):
            if now - entry[2] > 0.15 * (2 ** min(entry[1], 4)):
                entry[1] += 1
                self._send_flight(seq)
        if self.conn_id and now - self.last_ping > 1.0:
            self.last_ping = now
            self.send_raw(self.maint(1))

    def all_acked(self):
        return not self.out_queue and not self.in_flight

    # --- receiving -------------------------------------------------------------

    def poll(self, seconds):
        deadline = time.monotonic() + seconds
        while True:
            self._timers()
            left = deadline - time.monotonic()
            r, _, _ = select.select([self.sock], [], [], max(0.0, min(left, 0.02)))
            if r:
                while True:
                    try:
                        data, _ = self.sock.recvfrom(4096)
                    except BlockingIOError:
                        break
                    self._handle(data)
            if left <= 0:
                return

    def wait_for(self, predicate, timeout, what="condition"):
        deadline = time.monotonic() + timeout
        while not predicate():
            if time.monotonic() > deadline:
                raise Timeout(f"timed out waiting for {what}")
            self.poll(0.02)

    def _handle(self, data):
        if self.drop_filter is not None and self.drop_filter(data):
            return
        magic = struct.unpack_from("<H", data, 0)[0]
        if magic == 0xBEF1:
            _, _, conn, player, seq = struct.unpack_from("<HHIII", data, 0)
            assert (conn, player) == (self.conn_id, self.player_id), "ack for someone else"
            if self.in_flight.pop(seq, None) is not None:
                self._pump()
        elif magic == 0xBEF0:
            assert check_crc(data, 20), "command with a bad CRC"
            _, ptype, conn, player, seq, resend = struct.unpack_from("<HhIIIH", data, 0)
            assert (conn, player) == (self.conn_id, self.player_id), "command for someone else"
            if resend:
                self.resends_seen.append((ptype, seq, resend))
            if seq < self.expected + 16:
                self.send_raw(struct.pack("<HHIII", 0xBEF1, resend, self.conn_id,
                                          self.player_id, seq))
                self.acks_sent += 1
            if seq < self.expected or seq >= self.expected + 16 or seq in self.held:
                return
            self.held[seq] = data
            while self.expected in self.held:
                pkt = self.held.pop(self.expected)
                self.expected += 1
                self._join(pkt)
        elif magic == 0xBEF3:
            flags, codec, conn, player, seq, speak, sender, nr = struct.unpack_from(
                "<BBIIHHIH", data, 2)
            assert (conn, player) == (self.conn_id, self.player_id), "voice for someone else"
            self.voice.append({"flags": flags, "codec": codec, "seq": seq, "speak_nr": speak,
                               "sender": sender, "packet_nr": nr, "payload": data[22:]})
        elif magic == 0xBEF4:
            assert check_crc(data, 16), "maintenance packet with a bad CRC"
            mtype, _, _, seq = struct.unpack_from("<HIII", data, 2)
            if mtype == 1:
                self.send_raw(self.maint(2, struct.pack("<I", seq)))
            elif mtype == 2:
                self.pongs += 1

    def _join(self, pkt):
        frags = pkt[18]
        if self.partial is None:
            if frags:
                self.partial = bytearray(pkt)
                return
            whole = pkt
        else:
            self.partial += pkt[24:]
            if frags:
                return
            whole = bytes(self.partial)
            self.partial = None
        ptype = struct.unpack_from("<h", whole, 2)[0]
        least = 30 if ptype < 0 else MIN_SIZE.get(ptype)
        assert least is not None, f"notification of unknown type {ptype}"
        assert len(whole) >= least, f"type {ptype} of {len(whole)} bytes, below {least}"
        self.commands.append((ptype, whole))
        self._registry(ptype, whole)

    # --- a small registry, enough to check what the server says ----------------

    def _registry(self, ptype, p):
        if ptype == 6:
            count = struct.unpack_from("<I", p, 24)[0]
            off = 28
            for _ in range(count):
                cid, flags, codec, parent, order, maxu = struct.unpack_from("<IHHiHH", p, off)
                name, off = rd_z(p, off + 16)
                topic, off = rd_z(p, off)
                desc, off = rd_z(p, off)
                self.channels[cid] = {"id": cid, "flags": flags, "codec": codec, "parent": parent,
                                      "order": order, "max_users": maxu, "name": name,
                                      "topic": topic, "description": desc}
            assert off == len(p), "channel list with trailing bytes"
        elif ptype in (7, 108):
            assert len(p) == 468, f"player list of {len(p)} bytes"
            count = struct.unpack_from("<I", p, 24)[0]
            assert 1 <= count <= 10
            for i in range(count):
                self._add_player(p, 28 + 44 * i)
        elif ptype == 8:
            self.login_done = True
            self.banner = rd_s(p, 24, 255)
            self.banner_link = rd_z(p, 280)[0] if len(p) > 280 else ""
        elif ptype == 100:
            self._add_player(p, 24)
        elif ptype == 101:
            pid, reason, actor = struct.unpack_from("<IHI", p, 24)
            if pid == self.player_id:
                self.closed_reason = reason
            self.players.pop(pid, None)
        elif ptype in (102, 103, 109):
            pid, old, new = struct.unpack_from("<III", p, 24)
            if pid in self.players:
                self.players[pid]["channel"] = new
            if ptype == 102 and pid != self.player_id and self.reply["type"] & 2 and \
                    not self.same_family(old, new):
                self.players.pop(pid, None)
            if pid == self.player_id and self.reply["type"] & 2 and not self.same_family(old, new):
                for other in [k for k in self.players if k != self.player_id]:
                    del self.players[other]
        elif ptype == 104:
            pid, flags = struct.unpack_from("<IH", p, 24)
            if pid in self.players:
                self.players[pid]["flags"] = flags
        elif ptype == 110:
            cid, flags, codec, parent, order, maxu = struct.unpack_from("<IHHiHH", p, 28)
            name, off = rd_z(p, 44)
            self.channels[cid] = {"id": cid, "flags": flags, "codec": codec, "parent": parent,
                                  "order": order, "max_users": maxu, "name": name}
        elif ptype == 115:
            self.channels.pop(struct.unpack_from("<H", p, 24)[0], None)

    def top(self, cid):
        while cid in self.channels and self.channels[cid]["parent"] != -1:
            cid = self.channels[cid]["parent"]
        return cid

    def same_family(self, a, b):
        return self.top(a) == self.top(b)

    def _add_player(self, p, off):
        pid, cid, cpriv, priv, flags = struct.unpack_from("<IIHHH", p, off)
        self.players[pid] = {"id": pid, "channel": cid, "channel_privileges": cpriv,
                             "privileges": priv, "flags": flags, "nick": rd_s(p, off + 14)}

    # --- conveniences ----------------------------------------------------------

    def of_type(self, ptype):
        return [p for t, p in self.commands if t == ptype]

    def channel_id(self, name):
        return next(c["id"] for c in self.channels.values() if c["name"] == name)

    def me(self):
        return self.players[self.player_id]

    def error_replies(self):
        """(code, request type, value, second value or None) of every error reply."""
        out = []
        for t, p in self.commands:
            if t < 0:
                req, value = struct.unpack_from("<hI", p, 24)
                extra = struct.unpack_from("<I", p, 30)[0] if len(p) >= 34 else None
                out.append((t, req, value, extra))
        return out

    def voice_packet(self, payload, codec=8, speak_nr=1, seq=1, targets=None):
        flags = 1 if targets is not None else 0
        head = struct.pack("<HBBIIHH", 0xBEF2, flags, codec, self.conn_id, self.player_id, seq,
                           speak_nr)
        if targets is not None:
            head += bytes([len(targets)]) + b"".join(struct.pack("<BI", k, i) for k, i in targets)
        return head + payload

    def text(self, text, kind=0, target=0, colour=0):
        self.send_cmd(430, struct.pack("<IBI", colour, kind, target)
                      + text.encode("latin-1") + b"\0")

    def texts(self):
        out = []
        for p in self.of_type(130):
            colour, kind = struct.unpack_from("<IB", p, 24)
            out.append({"kind": kind, "sender": rd_s(p, 29), "text": rd_z(p, 59)[0],
                        "colour": colour})
        return out


import json as _json  # noqa: E402
import tempfile  # noqa: E402
import unittest  # noqa: E402


class ServerTestCase(unittest.TestCase):
    """One server program per test class; `config` (a dict) and `server_args` adjust it."""

    config = None
    server_args = ()

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        text = None if cls.config is None else _json.dumps(cls.config)
        cls.server = ServerProcess(*cls.server_args, config_text=text, tmpdir=cls._tmp.name)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls._tmp.cleanup()

    def setUp(self):
        self._clients = []

    def tearDown(self):
        for c in self._clients:
            if c.conn_id and c.closed_reason is None:
                c.send_cmd(300)           # log out so that the next test starts clean
                try:
                    c.wait_for(c.all_acked, 2, "logout acknowledged")
                except Timeout:
                    pass
            c.close()

    def client(self, nick=None, **login):
        c = Client(self.server.port)
        self._clients.append(c)
        if nick is not None:
            reply = c.login(nick, **login)
            self.assertEqual(reply["result"], 1, reply)
        return c

    def wait_server(self, predicate, timeout=5.0, what="server state"):
        deadline = time.monotonic() + timeout
        while True:
            st = self.server.state()
            if predicate(st):
                return st
            if time.monotonic() > deadline:
                raise Timeout(f"timed out waiting for {what}")
            for c in self._clients:
                c.poll(0.02)

    def player_named(self, st, nick):
        return next(p for p in st["players"] if p["nick"] == nick)
