"""Control interface: one JSON object per line over TCP, one JSON reply line per request."""

import asyncio
import json
import struct

from . import config, state, wire
from .handlers import RequestError


class ControlError(Exception):
    pass


def _int(args, key, default=None):
    if key not in args:
        if default is None:
            raise ControlError(f"missing argument {key!r}")
        return default
    try:
        return int(args[key])
    except (TypeError, ValueError):
        raise ControlError(f"argument {key!r} must be a number") from None


class Control:
    def __init__(self, server):
        self.server = server
        self.stopped = asyncio.Event()
        self.sessions = set()

    async def close_sessions(self) -> None:
        tasks = list(self.sessions)
        if not tasks:
            return
        # a session that is answering the shutdown request gets to finish its reply
        await asyncio.wait(tasks, timeout=0.2)
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    async def handle_client(self, reader, writer) -> None:
        task = asyncio.current_task()
        self.sessions.add(task)
        try:
            while not reader.at_eof():
                line = await reader.readline()
                if not line:
                    break
                if not line.strip():
                    continue
                reply = await self.execute_line(line)
                writer.write((json.dumps(reply) + "\n").encode())
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError, asyncio.CancelledError):
            pass
        finally:
            self.sessions.discard(task)
            writer.close()

    async def execute_line(self, line: bytes) -> dict:
        try:
            args = json.loads(line)
            if not isinstance(args, dict) or not isinstance(args.get("cmd"), str):
                raise ControlError("a request is a JSON object with a string 'cmd'")
            method = getattr(self, "cmd_" + args["cmd"], None)
            if method is None:
                raise ControlError(f"unknown command {args['cmd']!r}")
            result = method(args)
            if asyncio.iscoroutine(result):
                result = await result
            return {"ok": True, **(result or {})}
        except RequestError as e:
            return {"ok": False, "error": f"refused with code {e.code}", "code": e.code}
        except (ControlError, ValueError, config.ConfigError) as e:
            return {"ok": False, "error": str(e)}
        except Exception as e:          # report, never die
            return {"ok": False, "error": f"internal error: {e!r}"}

    # --- helpers ---------------------------------------------------------------

    def _player(self, args, key="player"):
        ident = _int(args, key)
        p = self.server.world.players.get(ident)
        if p is None:
            raise ControlError(f"no player {ident}")
        return p

    def _channel(self, args, key="channel"):
        ident = _int(args, key)
        ch = self.server.world.channels.get(ident)
        if ch is None:
            raise ControlError(f"no channel {ident}")
        return ch

    # --- commands --------------------------------------------------------------

    def cmd_ping(self, args):
        return {}

    def cmd_state(self, args):
        s = self.server
        w = s.world
        players = []
        for p in w.players.values():
            entry = {"id": p.id, "nick": p.nick, "channel": p.channel, "flags": p.flags,
                     "privileges": p.privileges, "channel_privileges": p.channel_privs,
                     "connected": p.conn is not None, "muted": sorted(p.muted),
                     "login": p.account.login if p.account else "",
                     "voice_request": p.voice_request}
            if p.conn is not None:
                c = p.conn
                entry.update({"address": f"{c.addr[0]}:{c.addr[1]}", "state": c.state,
                              "connection_id": c.conn_id, "lists_ms": c.lists_ms,
                              "client_version": c.login["version"],
                              "platform": c.login["platform"],
                              "download_limit": c.download_limit,
                              "link": dict(c.link.stats), "pending": c.link.pending()})
            players.append(entry)
        if args.get("summary"):
            players = {"count": len(players),
                       "connected": [p for p in players if p["connected"]]}
        channels = [{"id": c.id, "name": c.name, "flags": c.flags, "codec": c.codec,
                     "parent": -1 if c.parent is None else c.parent, "order": c.order,
                     "max_users": c.max_users, "topic": c.topic, "description": c.description,
                     "password": c.password} for c in w.channels.values()]
        return {
            "server": {"name": s.srv["name"], "welcome": s.srv["welcome"],
                       "type": w.server_type, "max_users": s.srv["max_users"],
                       "codecs": s.codec_mask, "version": s.srv["version"],
                       "udp": f"{s.local_addr[0]}:{s.local_addr[1]}",
                       "logins_total": s.logins_total},
            "channels": channels if not args.get("summary") else {"count": len(channels)},
            "players": players,
            "pending_logins": [c.login["nick"] for c in s.by_player.values()
                               if c.state == "pending"],
            "accounts": [{"login": a.login, "server_admin": a.server_admin, "online": a.online}
                         for a in s.accounts.values()],
            "bans": [{"ip": b.ip, "minutes": b.minutes, "reason": b.reason} for b in s.bans],
            "dropped": dict(s.dropped),
            "totals": dict(s.totals),
            "faults": s.faults.describe(),
        }

    def cmd_kick(self, args):
        p = self._player(args)
        self.server.drop_player(p, 2, _int(args, "actor", 0), str(args.get("reason", "")))
        return {}

    def cmd_move(self, args):
        p = self._player(args)
        ch = self._channel(args)
        if p.channel == ch.id:
            raise ControlError("the player is in that channel already")
        self.server.move_player(p, ch.id, 109, _int(args, "actor", 0))
        return {}

    def _privilege(self, args, granting):
        p = self._player(args)
        name = args.get("privilege")
        if name in state.PLAYER_PRIVILEGE_ORDINALS:
            self.server.change_player_privilege(p, granting, state.PLAYER_PRIVILEGE_ORDINALS[name],
                                                _int(args, "actor", 0))
        elif name in state.CHANNEL_PRIVILEGE_ORDINALS:
            self.server.change_channel_privilege(p, granting,
                                                 state.CHANNEL_PRIVILEGE_ORDINALS[name],
                                                 _int(args, "actor", 0))
        else:
            raise ControlError(f"unknown privilege {name!r}")
        return {"privileges": p.privileges, "channel_privileges": p.channel_privs}

    def cmd_grant(self, args):
        return self._privilege(args, True)

    def cmd_revoke(self, args):
        return self._privilege(args, False)

    def cmd_set_flags(self, args):
        p = self._player(args)
        self.server.set_player_flags(p, _int(args, "flags") & 0x7F)
        return {}

    def cmd_create_channel(self, args):
        if "name" not in args:
            raise ControlError("missing argument 'name'")
        parent = args.get("parent")
        ch = self.server.create_channel(
            None, name=str(args["name"]),
            flags=config.channel_flags(args.get("flags", ["unregistered"])),
            codec=_int(args, "codec", 8), parent=None if parent in (None, -1) else int(parent),
            order=_int(args, "order", 0), max_users=_int(args, "max_users", 32),
            topic=str(args.get("topic", "")), description=str(args.get("description", "")),
            password=str(args.get("password", "")))
        return {"channel": ch.id}

    def cmd_delete_channel(self, args):
        ch = self._channel(args)
        self.server.delete_channel(ch, _int(args, "actor", 0))
        return {}

    def cmd_set_server(self, args):
        s = self.server
        w = s.world
        before = {(c.player.id, p.id) for c in s.observers() for p in w.players.values()
                  if w.sees(c.player, p)}
        srv = s.srv
        for key in ("name", "welcome"):
            if key in args:
                srv[key] = str(args[key])
        if "max_users" in args:
            srv["max_users"] = _int(args, "max_users")
        if "codecs" in args:
            srv["codecs"] = args["codecs"]
            config.codec_mask(srv["codecs"])
        if "type" in args or "freeware" in args:
            probe = dict(srv)
            probe.update({k: args[k] for k in ("type", "freeware") if k in args})
            w.server_type = config.server_type(probe)
            srv["type"], srv["freeware"] = probe["type"], probe.get("freeware", True)
        if "permissions" in args:
            perms = dict(srv["permissions"])
            for k, v in args["permissions"].items():
                if k not in state.USER_TYPE_NAMES:
                    raise ControlError(f"unknown user type {k!r}")
                perms[k] = list(v)
            srv["permissions"] = perms
            w.permissions = {k: frozenset(v) for k, v in perms.items()}
        for key in ("password", "allow_anonymous", "client_version_min", "client_timeout_ms",
                    "login_timeout_ms", "max_pending_commands", "banner_url", "banner_link",
                    "version"):
            if key in args:
                srv[key] = args[key]
        payload = (struct.pack("<IIH", s.codec_mask, 0, w.server_type) + w.permission_table()
                   + struct.pack("<I", srv["max_users"]) + wire.short_string(srv["welcome"], 255)
                   + wire.short_string(srv["name"]))
        s.notify_all(140, payload)
        for c in s.observers():
            for p in w.players.values():
                if (c.player.id, p.id) not in before and w.sees(c.player, p):
                    c.send(100, wire.player_entry(p))
        return {}

    def cmd_add_player(self, args):
        s = self.server
        w = s.world
        nick = str(args.get("nick", "")).strip()
        if not nick or w.nick_in_use(nick):
            raise ControlError("a free nickname is needed")
        ch = self._channel(args) if "channel" in args else w.default_channel()
        p = state.Player(id=w.next_player_id, nick=nick[:29], channel=ch.id,
                         flags=_int(args, "flags", 0), privileges=_int(args, "privileges", 0),
                         channel_privs=_int(args, "channel_privileges", 0))
        w.next_player_id += 1
        w.players[p.id] = p
        s.notify_seeing(p, 100, wire.player_entry(p))
        return {"player": p.id}

    def cmd_remove_player(self, args):
        p = self._player(args)
        self.server.drop_player(p, _int(args, "reason", 1))
        return {}

    def cmd_text(self, args):
        s = self.server
        kind = _int(args, "kind", 0)
        target = _int(args, "target", 0)
        if kind not in (0, 1, 2):
            raise ControlError("kind must be 0, 1 or 2")
        sender = str(args.get("from", ""))
        if "player" in args:
            sender = self._player(args).nick
        sent = s.send_text(sender, kind, target, str(args.get("text", "")),
                           _int(args, "colour", 0))
        return {"recipients": sent}

    def cmd_voice(self, args):
        p = self._player(args)
        try:
            payload = bytes.fromhex(str(args.get("payload_hex", "")))
        except ValueError:
            raise ControlError("payload_hex must be hexadecimal") from None
        targets = None
        if args.get("targets") is not None:
            targets = []
            for t in args["targets"]:
                kind = {"channel": 0, "player": 1}.get(t.get("kind"))
                if kind is None:
                    raise ControlError("a target is {'kind': 'channel'|'player', 'id': N}")
                targets.append((kind, int(t["id"])))
        count = _int(args, "count", 1)
        sent = 0
        for _ in range(max(1, count)):
            p.packet_nr = (p.packet_nr + 1) & 0xFFFF
            sent += self.server.relay_voice(p, _int(args, "codec", 8), _int(args, "speak_nr",
                                                                        p.speak_nr),
                                            p.packet_nr, payload, targets)
        return {"recipients": sent}

    def cmd_faults(self, args):
        f = self.server.faults
        for direction in ("in", "out"):
            if direction in args:
                f.configure(direction, **args[direction])
        if "freeze" in args:
            f.frozen = bool(args["freeze"])
        if "seed" in args:
            f.seed(args["seed"])
        return {"faults": f.describe()}

    def cmd_ban(self, args):
        self.server._add_ban(str(args.get("ip", "")), _int(args, "minutes", 0),
                             str(args.get("reason", "")))
        return {}

    def cmd_unban(self, args):
        before = len(self.server.bans)
        self.server.bans = [b for b in self.server.bans if b.ip != args.get("ip")]
        return {"removed": before - len(self.server.bans)}

    def cmd_add_account(self, args):
        self.server._new_account(str(args.get("login", "")), str(args.get("password", "")),
                                 bool(args.get("server_admin")))
        return {}

    async def cmd_shutdown(self, args):
        await self.server.shutdown(float(args.get("grace", 2.0)))
        self.stopped.set()
        return {}
