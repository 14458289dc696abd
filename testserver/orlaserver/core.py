"""The voice server: datagrams in, logins, scope and notifications, voice relay."""

import asyncio
import collections
import random
import struct
import sys
import time

from . import config, faults, state, wire
from .handlers import RequestError, RequestHandlers
from .reliable import ReliableLink

LOGIN_ACCEPTED = 1
LOGIN_BAD = -1
LOGIN_FULL = -2
LOGIN_NO_ANONYMOUS = -3
LOGIN_NICK_IN_USE = -4
LOGIN_CLIENT_VERSION = -5
LOGIN_BANNED = -6
LOGIN_ALREADY_IN_USE = -7

REFUSAL_TEXT = {
    LOGIN_BAD: "Bad login name or password",
    LOGIN_FULL: "The server is full",
    LOGIN_NO_ANONYMOUS: "Anonymous logins are not allowed",
    LOGIN_NICK_IN_USE: "This nickname is already in use",
    LOGIN_CLIENT_VERSION: "Your client version is not supported",
    LOGIN_BANNED: "Your address is banned",
    LOGIN_ALREADY_IN_USE: "This login is already in use",
}

# reasons in the left-scope notification
R_QUIT, R_KICKED, R_TIMEOUT, R_SHUTDOWN, R_CHANNEL_KICK, R_LEFT_FAMILY = 1, 2, 3, 4, 5, 6

CHANNEL_LIST_BUDGET = 8 * wire.FRAGMENT_PAYLOAD - 4
TICK_SECONDS = 0.01


def log(text: str) -> None:
    print(f"testserver: {text}", file=sys.stderr, flush=True)


class Connection:
    def __init__(self, server, addr, conn_id, player_id, login):
        self.server = server
        self.addr = addr
        self.conn_id = conn_id
        self.player_id = player_id
        self.login = login               # what LoginStep1 said
        self.player = None               # set when LoginStep3 arrives
        self.state = "pending"           # pending, listing, online, closing
        self.close_deadline = None
        self.started = time.monotonic()
        self.lists_started = None
        self.lists_ms = None
        self.complete_seq = None
        self.download_limit = -1
        self.link = ReliableLink(conn_id, player_id, self._send, self._deliver)

    def _send(self, datagram):
        self.server.send_datagram(datagram, self.addr)

    def _deliver(self, packet):
        self.server.on_command(self, packet)

    def send(self, ptype: int, payload: bytes = b"") -> None:
        if self.state != "closing" or ptype == 101:
            self.link.send_command(ptype, payload)


class VoiceServer(RequestHandlers):
    def __init__(self, cfg: dict, loop=None, fault_seed=None, pcap=None):
        self.cfg = cfg
        self.loop = loop or asyncio.get_event_loop()
        self.srv = cfg["server"]
        self.world, self.accounts, self.bans = config.build_world(cfg)
        self.faults = faults.FaultInjector(self.loop, fault_seed)
        self.pcap = pcap
        self.transport = None
        self.local_addr = ("127.0.0.1", 0)
        self.by_addr = {}
        self.by_player = {}
        self.dropped = collections.Counter()
        self.totals = collections.Counter()
        self.started = time.time()
        self.logins_total = 0
        self._ids = random.Random()
        self._tick_task = None
        self.shutting_down = False

    # --- properties from the configuration ------------------------------------

    @property
    def server_type(self) -> int:
        return self.world.server_type

    @property
    def codec_mask(self) -> int:
        return config.codec_mask(self.srv["codecs"])

    # --- network ---------------------------------------------------------------

    def connection_made(self, transport) -> None:
        self.transport = transport
        self.local_addr = transport.get_extra_info("sockname")[:2]
        if self.local_addr[0] == "0.0.0.0":
            self.local_addr = ("127.0.0.1", self.local_addr[1])
        self._tick_task = self.loop.create_task(self._ticker())

    def datagram_received(self, data: bytes, addr) -> None:
        addr = addr[:2]
        self.totals["packets_received"] += 1
        self.totals["bytes_received"] += len(data)
        if self.pcap:
            self.pcap.record(addr, self.local_addr, data)
        if self.faults.frozen:
            self.dropped["frozen"] += 1
            return
        self.faults.process("in", data, addr, self.handle_datagram)

    def error_received(self, exc) -> None:
        self.dropped["socket_error"] += 1

    def connection_lost(self, exc) -> None:
        pass

    def send_datagram(self, data: bytes, addr) -> None:
        if self.faults.frozen:
            return
        self.faults.process("out", data, addr, self._emit)

    def _emit(self, data: bytes, addr) -> None:
        if self.transport is None or self.transport.is_closing():
            return
        self.totals["packets_sent"] += 1
        self.totals["bytes_sent"] += len(data)
        if self.pcap:
            self.pcap.record(self.local_addr, addr, data)
        self.transport.sendto(data, addr)

    async def _ticker(self) -> None:
        while True:
            await asyncio.sleep(TICK_SECONDS)
            try:
                self.tick()
            except Exception as e:      # the server must keep serving
                self.dropped["tick_error"] += 1
                log(f"error in tick: {e!r}")

    def tick(self) -> None:
        if self.faults.frozen:
            return
        now = time.monotonic()
        for conn in list(self.by_player.values()):
            conn.link.tick()
            self._check_complete(conn)
            silent_ms = (now - conn.link.last_received) * 1000
            if conn.state == "closing":
                if conn.link.pending() == 0 or now >= conn.close_deadline:
                    self._forget(conn)
            elif conn.state == "pending" and silent_ms > self.srv["login_timeout_ms"]:
                self._forget(conn)
            elif silent_ms > self.srv["client_timeout_ms"] or \
                    conn.link.pending() > self.srv["max_pending_commands"]:
                # silent, or alive but acknowledging nothing while commands pile up
                log(f"player {conn.player_id} timed out")
                if conn.player is not None:
                    self.drop_player(conn.player, R_TIMEOUT)
                else:
                    self._forget(conn)

    # --- datagram handling -----------------------------------------------------

    def handle_datagram(self, data: bytes, addr) -> None:
        try:
            self._handle(data, addr)
        except Exception as e:          # one bad datagram must not stop the server
            self.dropped["handler_error"] += 1
            log(f"error handling a datagram from {addr}: {e!r}")

    def _handle(self, data: bytes, addr) -> None:
        if len(data) < 2:
            self.dropped["too_short"] += 1
            return
        magic = wire.classify(data)
        if magic is None:
            self.dropped["no_class"] += 1
            return
        if not wire.crc_ok(data):
            self.dropped["bad_crc"] += 1
            return
        if magic == wire.MAINT and struct.unpack_from("<H", data, 2)[0] == wire.MT_LOGIN_REQUEST:
            self.login(data, addr)
            return
        conn_id, player_id = struct.unpack_from("<II", data, 4)
        conn = self.by_player.get(player_id)
        if magic == wire.CMD and conn is not None and conn.state == "pending" and \
                conn.addr == addr and conn_id == 0:
            # a client that does not accept our version says so outside the reliable stream
            if struct.unpack_from("<h", data, 2)[0] == 5 and len(data) >= 25 and data[24] == 0:
                log(f"client at {addr} refused the server version")
                self._forget(conn)
            else:
                self.dropped["unknown_connection"] += 1
            return
        if conn is None or conn.conn_id != conn_id or conn.addr != addr:
            self.dropped["voice_before_login" if magic == wire.CVOICE else "unknown_connection"] += 1
            return
        conn.link.touch()
        if magic == wire.ACK:
            conn.link.on_ack(data)
            self._check_complete(conn)
        elif magic == wire.CMD:
            conn.link.on_command(data)
        elif magic == wire.CVOICE:
            if conn.state != "online":
                self.dropped["voice_before_login"] += 1
                return
            self.relay_client_voice(conn, data)
        elif magic == wire.MAINT:
            mtype = struct.unpack_from("<H", data, 2)[0]
            if mtype in (wire.MT_PING, wire.MT_PONG):
                conn.link.on_maintenance(data)
            else:
                self.dropped["unknown_maintenance"] += 1
        else:
            self.dropped["wrong_direction"] += 1

    def _check_complete(self, conn) -> None:
        if conn.state == "listing" and conn.link.delivered(conn.complete_seq):
            conn.state = "online"
            conn.lists_ms = (time.monotonic() - conn.lists_started) * 1000
            log(f"player {conn.player_id} ({conn.player.nick}) logged in; lists took "
                f"{conn.lists_ms:.1f} ms")

    # --- login -----------------------------------------------------------------

    def _banned(self, ip: str) -> bool:
        self.bans = [b for b in self.bans if not b.expired()]
        return any(b.ip == ip for b in self.bans)

    def _taken_nicks(self):
        nicks = {p.nick.lower() for p in self.world.players.values()}
        nicks.update(c.login["nick"].lower() for c in self.by_player.values()
                     if c.state == "pending")
        return nicks

    def login(self, data: bytes, addr) -> None:
        if len(data) != wire.LOGIN_REQUEST_SIZE:
            self.dropped["bad_login_request"] += 1
            return
        old = self.by_addr.get(addr)
        if old is not None:         # the client starts over from the same address
            if old.player is not None:
                self.drop_player(old.player, R_QUIT, notify_self=False)
            self._forget(old)
        req = {
            "client": wire.read_short_string(data, 20),
            "platform": wire.read_short_string(data, 50),
            "version": list(struct.unpack_from("<4H", data, 80)),
            "allow_server_nick": data[88] == 1,
            "anonymous": data[89] == 1,
            "login": wire.read_short_string(data, 90),
            "password": wire.read_short_string(data, 120),
            "nick": wire.read_short_string(data, 150),
        }
        result, account = self._judge_login(req, addr)
        if result != LOGIN_ACCEPTED:
            log(f"login of {req['nick']!r} from {addr} refused with {result}")
            self.send_datagram(self._login_reply(result, 0, 0, REFUSAL_TEXT[result]), addr)
            return
        player_id = self.world.next_player_id
        self.world.next_player_id += 1
        conn_id = self._ids.randrange(1, 0xFFFFFFFF)
        req["account"] = account
        conn = Connection(self, addr, conn_id, player_id, req)
        self.by_addr[addr] = conn
        self.by_player[player_id] = conn
        if account is not None:
            account.online = True
        self.send_datagram(self._login_reply(LOGIN_ACCEPTED, conn_id, player_id,
                                             self.srv["welcome"]), addr)

    def _judge_login(self, req, addr):
        if self._banned(addr[0]):
            return LOGIN_BANNED, None
        if tuple(req["version"]) < tuple(self.srv["client_version_min"]) or req["version"][0] != 2:
            return LOGIN_CLIENT_VERSION, None
        account = None
        if req["anonymous"]:
            if not self.srv["allow_anonymous"]:
                return LOGIN_NO_ANONYMOUS, None
            if self.srv["password"] and req["password"] != self.srv["password"]:
                return LOGIN_BAD, None
        else:
            account = self.accounts.get(req["login"].lower())
            if account is None or account.password != req["password"]:
                return LOGIN_BAD, None
            if account.online:
                return LOGIN_ALREADY_IN_USE, None
        online = sum(1 for c in self.by_player.values() if c.state != "closing")
        if online >= self.srv["max_users"]:
            return LOGIN_FULL, None
        nick = req["nick"].strip() or (account.login if account else "")
        if not nick:
            nick = "Guest"
            req["allow_server_nick"] = True
        taken = self._taken_nicks()
        if nick.lower() in taken:
            if not req["allow_server_nick"]:
                return LOGIN_NICK_IN_USE, None
            base = nick[:25]
            n = 1
            while f"{base}{n}".lower() in taken:
                n += 1
            nick = f"{base}{n}"
        req["nick"] = nick
        return LOGIN_ACCEPTED, account

    def _login_reply(self, result, conn_id, player_id, text) -> bytes:
        payload = (wire.short_string(self.srv["name"]) + wire.short_string(self.srv["platform"])
                   + struct.pack("<4H", *self.srv["version"])
                   + struct.pack("<iIIH", result, self.codec_mask, 0, self.server_type)
                   + self.world.permission_table()
                   + struct.pack("<III", self.srv["max_users"], conn_id, player_id)
                   + wire.short_string(text, 255))
        packet = wire.maintenance(wire.MT_LOGIN_REPLY, 0, 0, 1, payload)
        assert len(packet) == wire.LOGIN_REPLY_SIZE
        return packet

    def finish_login(self, conn, packet: bytes) -> None:
        """LoginStep3: choose the channel, send the lists, announce the player."""
        if len(packet) < 120:
            self.dropped["bad_login_completion"] += 1
            return
        if packet[24] == 0:
            log(f"client at {conn.addr} refused the server version")
            self._forget(conn)
            return
        chan_name = wire.read_short_string(packet, 26)
        sub_name = wire.read_short_string(packet, 56)
        chan_pass = wire.read_short_string(packet, 86)
        conn.download_limit = struct.unpack_from("<i", packet, 116)[0]
        account = conn.login["account"]
        player = state.Player(id=conn.player_id, nick=conn.login["nick"], channel=0,
                              account=account, conn=conn)
        if account is not None:
            player.privileges |= state.PP_REGISTERED
            if account.server_admin:
                player.privileges |= state.PP_SERVER_ADMIN
        player.channel = self._starting_channel(player, chan_name, sub_name, chan_pass).id
        player.channel_privs = self.world.entry_privileges(player, player.channel)
        self.world.players[player.id] = player
        conn.player = player
        self.logins_total += 1
        self._send_lists(conn)
        entry = wire.player_entry(player)
        for other in self.observers():
            if other is not conn and self.world.sees(other.player, player):
                other.send(100, entry)

    def _starting_channel(self, player, chan_name, sub_name, chan_pass):
        w = self.world
        default = w.default_channel()
        if not chan_name:
            return default
        ch = w.find_channel(chan_name)
        if ch is None:
            return default
        if sub_name:
            sub = w.find_channel(sub_name, ch.id)
            if sub is not None:
                ch = sub
        top = w.channels[w.top(ch.id)]
        if top.password and chan_pass != top.password and \
                not w.allowed(player, state.P_JOIN_WITHOUT_PASSWORD):
            return default
        if len(w.players_in(ch.id)) >= ch.max_users:
            return default
        if not (top.flags & (state.CF_UNREGISTERED | state.CF_DEFAULT)) and \
                not w.allowed(player, state.P_JOIN_REGISTERED):
            return default
        return ch

    def _send_lists(self, conn) -> None:
        conn.state = "listing"
        conn.lists_started = time.monotonic()
        records = []
        size = 0
        for ch in self.world.ordered_channels():
            rec = wire.channel_record(ch)
            if records and size + len(rec) > CHANNEL_LIST_BUDGET:
                conn.send(6, struct.pack("<I", len(records)) + b"".join(records))
                records, size = [], 0
            records.append(rec)
            size += len(rec)
        if records:
            conn.send(6, struct.pack("<I", len(records)) + b"".join(records))
        visible = [p for p in self.world.players.values() if self.world.sees(conn.player, p)]
        self.send_player_list(conn, 7, visible)
        banner = wire.short_string(self.srv.get("banner_url", ""), 255)
        link = self.srv.get("banner_link", "")
        conn.send(8, banner + (wire.terminated(link, 257) if link else b""))
        conn.complete_seq = conn.link.total_queued
        self._check_complete(conn)

    def send_player_list(self, conn, ptype: int, players) -> None:
        for i in range(0, len(players), 10):
            chunk = players[i:i + 10]
            body = b"".join(wire.player_entry(p) for p in chunk)
            body += b"\0" * (wire.PLAYER_ENTRY_SIZE * (10 - len(chunk)))
            conn.send(ptype, struct.pack("<I", len(chunk)) + body)

    # --- commands --------------------------------------------------------------

    def on_command(self, conn, packet: bytes) -> None:
        ptype = struct.unpack_from("<h", packet, 2)[0]
        if conn.state == "pending":
            if ptype == 5:
                self.finish_login(conn, packet)
            else:
                self.dropped["command_before_login"] += 1
            return
        if conn.player is None or conn.state == "closing":
            return
        conn.player.last_active = time.time()
        try:
            self.dispatch_request(conn, ptype, packet)
        except (ValueError, struct.error, IndexError, KeyError) as e:
            # a request that slipped past the checks must cost only itself
            self.dropped["handler_error"] += 1
            log(f"error handling request {ptype} of player {conn.player_id}: {e!r}")
        except RequestError as e:
            payload = struct.pack("<hI", ptype, e.value & 0xFFFFFFFF)
            if e.extra is not None:
                payload += struct.pack("<I", e.extra & 0xFFFFFFFF)
            conn.send(e.code, payload)

    # --- players, scope, notifications -----------------------------------------

    def observers(self):
        """Connections that hold the lists and follow the notifications."""
        return [c for c in self.by_player.values()
                if c.player is not None and c.state in ("listing", "online")]

    def notify_seeing(self, player, ptype: int, payload: bytes, skip=None) -> None:
        for c in self.observers():
            if c is not skip and self.world.sees(c.player, player):
                c.send(ptype, payload)

    def notify_all(self, ptype: int, payload: bytes) -> None:
        for c in self.observers():
            c.send(ptype, payload)

    def drop_player(self, player, reason: int, actor: int = 0, text: str = "",
                    notify_self: bool = True) -> None:
        """Take a player off the server, telling everybody who knows it."""
        if player is None or player.id not in self.world.players:
            return
        payload = struct.pack("<IHI", player.id, reason, actor) + wire.short_string(text)
        conn = player.conn
        for c in self.observers():
            if c is conn:
                continue
            if self.world.sees(c.player, player):
                c.send(101, payload)
        del self.world.players[player.id]
        for p in self.world.players.values():
            p.muted.discard(player.id)
        if conn is not None:
            if notify_self and reason in (R_KICKED, R_SHUTDOWN) and conn.state != "pending":
                conn.send(101, payload)
                self._close_gently(conn)
            else:
                self._forget(conn)

    def _close_gently(self, conn) -> None:
        conn.state = "closing"
        conn.close_deadline = time.monotonic() + 2.0

    def _forget(self, conn) -> None:
        if self.by_player.get(conn.player_id) is conn:
            del self.by_player[conn.player_id]
        if self.by_addr.get(conn.addr) is conn:
            del self.by_addr[conn.addr]
        account = conn.login.get("account")
        if account is not None and not any(
                c.login.get("account") is account for c in self.by_player.values()):
            account.online = False
        if conn.player is not None and conn.player.id in self.world.players:
            self.drop_player(conn.player, R_QUIT, notify_self=False)
        conn.state = "gone"

    def move_player(self, player, new_channel: int, kind: int, actor: int = 0,
                    text: str = "") -> None:
        """Put a player into another channel; `kind` is the notification type (102 kicked
        from the channel, 103 switched, 109 moved by someone)."""
        w = self.world
        old = player.channel
        saw = {c for c in self.observers() if c.player is not player and w.sees(c.player, player)}
        player.channel = new_channel
        player.channel_privs = w.entry_privileges(player, new_channel)
        player.voice_request = ""
        if kind == 109:
            player.flags &= ~state.PF_WANT_VOICE
        privs = player.channel_privs
        if kind == 102:
            regular = struct.pack("<IIIH", player.id, old, new_channel, privs) + \
                wire.short_string(text)
        elif kind == 103:
            regular = struct.pack("<IIIH", player.id, old, new_channel, privs)
        else:
            regular = struct.pack("<IIIIH", player.id, old, new_channel, actor, privs)
        left = struct.pack("<IHI", player.id, R_LEFT_FAMILY, actor) + wire.short_string(text)
        for c in self.observers():
            if c.player is player:
                continue
            before = c in saw
            after = w.sees(c.player, player)
            if before and (after or kind == 102):
                c.send(kind, regular)
            elif before:
                c.send(101, left)
            elif after:
                c.send(100, wire.player_entry(player))
        conn = player.conn
        if conn is not None and conn.state in ("listing", "online"):
            conn.send(kind, regular)
            if w.public and not w.same_family(old, new_channel):
                others = [p for p in w.players.values()
                          if p is not player and w.sees(player, p)]
                self.send_player_list(conn, 108, others)

    # --- voice -----------------------------------------------------------------

    def relay_client_voice(self, conn, data: bytes) -> None:
        _, flags, codec, _, _, seq, speak_nr = wire.CVOICE_HDR.unpack_from(data, 0)
        pos = wire.CVOICE_HDR.size
        targets = None
        if flags & 1:
            if len(data) < pos + 1:
                self.dropped["bad_voice"] += 1
                return
            count = data[pos]
            pos += 1
            if len(data) < pos + 5 * count:
                self.dropped["bad_voice"] += 1
                return
            targets = [struct.unpack_from("<BI", data, pos + 5 * i) for i in range(count)]
            pos += 5 * count
        self.relay_voice(conn.player, codec, speak_nr, seq, data[pos:], targets)

    def relay_voice(self, sender, codec, speak_nr, packet_nr, payload, targets=None) -> int:
        w = self.world
        ch = w.channels.get(sender.channel)
        if ch is None or (ch.flags & state.CF_MODERATED and not sender.has_voice()):
            self.dropped["voice_not_allowed"] += 1
            return 0
        if targets is None:
            receivers = w.players_in(sender.channel)
        else:
            chosen = {}
            for kind, ident in targets:
                if kind == 0:
                    for p in w.players_in(ident):
                        chosen[p.id] = p
                elif kind == 1 and ident in w.players:
                    chosen[ident] = w.players[ident]
            receivers = [p for p in chosen.values() if not p.flags & state.PF_NO_WHISPER]
        sent = 0
        for p in receivers:
            if p is sender or p.conn is None or p.conn.state != "online" or sender.id in p.muted:
                continue
            p.conn.link.send_voice(1 if targets is not None else 0, codec, speak_nr, sender.id,
                                   packet_nr, payload)
            sent += 1
        self.totals["voice_in"] += 1
        self.totals["voice_relayed"] += sent
        return sent

    # --- shutting down ---------------------------------------------------------

    async def shutdown(self, grace: float = 2.0) -> None:
        if self.shutting_down:
            return
        self.shutting_down = True
        log("shutting down")
        for c in list(self.by_player.values()):
            if c.player is not None and c.state in ("listing", "online"):
                payload = struct.pack("<IHI", c.player.id, R_SHUTDOWN, 0) + wire.short_string("")
                c.send(101, payload)
                c.state = "closing"
                c.close_deadline = time.monotonic() + grace
        deadline = time.monotonic() + grace
        while time.monotonic() < deadline and any(
                c.link.pending() for c in self.by_player.values() if c.state == "closing"):
            await asyncio.sleep(0.02)
        if self._tick_task:
            self._tick_task.cancel()
        if self.transport:
            self.transport.close()
        if self.pcap:
            self.pcap.close()
