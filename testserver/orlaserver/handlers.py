"""Requests of logged-in clients: checks, changes, notifications and error replies."""

import ipaddress
import struct
import time

from . import state, wire

E_NO_PLAYER = -100
E_NO_LOGIN = -101
E_NO_CHANNEL = -102
E_NO_PARENT = -103
E_INVALID_CODEC = -104
E_CODEC_UNSUPPORTED = -105
E_NOT_CONNECTED = -106
E_BAD_ARGUMENT = -107
E_NOT_EMPTY = -109
E_WRONG_PASSWORD = -111
E_CHANNEL_FULL = -113
E_CHANNEL_EXISTS = -114
E_NOT_HIERARCHICAL = -115
E_DEFAULT_CHANNEL = -117
E_SUBCHANNELS_PRESENT = -118
E_ALREADY_MEMBER = -119
E_SUB_PASSWORD = -120
E_SUB_LIMIT = -121
E_NOT_MODERATED = -130
E_ALREADY_HAS = -131
E_NOT_ALLOWED_REGISTER = -140
E_LOGIN_IN_USE = -141
E_BAD_USER_PASSWORD = -142
E_ALREADY_REGISTERED = -143
E_NEED_SERVER_ADMIN = -1000
E_NEED_CHANNEL_ADMIN = -1001
E_NEED_OP_FOR_VOICE = -1003
E_NEED_OP_FOR_OP = -1004
E_NEED_OP_FOR_DEVOICE = -1005
E_NEED_OP_FOR_DEOP = -1006
E_NEED_ANY_ADMIN_OR_OP = -1007
E_NEED_SA_OR_CA = -1008
E_INSUFFICIENT = -1009
E_ALREADY_SA = -1020
E_ALREADY_CA = -1021
E_ALREADY_OP = -1022
E_ALREADY_VOICE = -1023
E_ALREADY_CAN_REGISTER = -1024
E_NOT_SA = -1030
E_NOT_CA = -1031
E_NOT_OP = -1032
E_NOT_VOICE = -1033
E_NOT_CAN_REGISTER = -1034
E_NOT_REGISTERED = -1035

REQUEST_MIN_SIZE = {
    201: 44, 203: 58, 205: 32, 206: 29, 207: 29, 208: 29, 209: 28, 210: 30, 212: 30,
    300: 24, 301: 58, 302: 58, 303: 58, 304: 26, 305: 54, 306: 30, 307: 30, 308: 84,
    310: 85, 320: 29, 324: 27, 325: 60, 326: 25, 330: 32, 340: 28, 400: 28, 405: 24,
    410: 24, 430: 34,
}

# channel privilege ordinal -> (grant permission, revoke permission, grant error, revoke error,
#                               already error, not-held error)
CHANNEL_PRIV_RULES = {
    0: (state.P_GRANT_CA, state.P_REVOKE_CA, E_NEED_CHANNEL_ADMIN, E_NEED_CHANNEL_ADMIN,
        E_ALREADY_CA, E_NOT_CA),
    1: (state.P_GRANT_OP, state.P_REVOKE_OP, E_NEED_OP_FOR_OP, E_NEED_OP_FOR_DEOP,
        E_ALREADY_OP, E_NOT_OP),
    2: (state.P_GRANT_VOICE, state.P_REVOKE_VOICE, E_NEED_OP_FOR_VOICE, E_NEED_OP_FOR_DEVOICE,
        E_ALREADY_VOICE, E_NOT_VOICE),
    3: (state.P_GRANT_AUTO_OP, state.P_REVOKE_AUTO_OP, E_NEED_CHANNEL_ADMIN,
        E_NEED_CHANNEL_ADMIN, E_ALREADY_HAS, E_BAD_ARGUMENT),
    4: (state.P_GRANT_AUTO_VOICE, state.P_REVOKE_AUTO_VOICE, E_NEED_CHANNEL_ADMIN,
        E_NEED_CHANNEL_ADMIN, E_ALREADY_HAS, E_BAD_ARGUMENT),
}
PLAYER_PRIV_RULES = {
    0: (state.P_GRANT_SA, state.P_REVOKE_SA, E_ALREADY_SA, E_NOT_SA),
    1: (state.P_GRANT_ALLOW_REG, state.P_REVOKE_ALLOW_REG, E_ALREADY_CAN_REGISTER,
        E_NOT_CAN_REGISTER),
    2: (state.P_REGISTER_PLAYER, state.P_DELETE_REGISTRATION, E_ALREADY_REGISTERED,
        E_NOT_REGISTERED),
    4: (state.P_MOVE_PLAYERS, state.P_MOVE_PLAYERS, E_ALREADY_HAS, E_BAD_ARGUMENT),
}
# flags that a channel change may toggle, with the permission it needs
FLAG_PERMISSION = {
    state.CF_MODERATED: state.P_CREATE_MODERATED,
    state.CF_HIERARCHICAL: state.P_CREATE_SUBCHANNELED,
    state.CF_DEFAULT: state.P_CREATE_DEFAULT,
}


class RequestError(Exception):
    def __init__(self, code: int, value: int = 0, extra=None):
        super().__init__(code)
        self.code = code
        self.value = value
        self.extra = extra


def u32(packet, off):
    return struct.unpack_from("<I", packet, off)[0]


def u16(packet, off):
    return struct.unpack_from("<H", packet, off)[0]


class RequestHandlers:
    """Mixed into the server; `self.world`, `self.accounts`, `self.bans` and the
    notification helpers come from there."""

    def dispatch_request(self, conn, ptype: int, packet: bytes) -> None:
        handler = getattr(self, f"req_{ptype}", None)
        if handler is None:
            self.dropped["unknown_command"] += 1
            return
        if len(packet) < REQUEST_MIN_SIZE.get(ptype, 24):
            self.dropped["short_request"] += 1
            raise RequestError(E_BAD_ARGUMENT)
        handler(conn.player, packet)

    # --- helpers ---------------------------------------------------------------

    def _need(self, player, permission: int, error: int, value: int = 0) -> None:
        if not self.world.allowed(player, permission):
            raise RequestError(error, value)

    def _player(self, ident: int):
        p = self.world.players.get(ident)
        if p is None:
            raise RequestError(E_NO_PLAYER, ident)
        return p

    def _channel(self, ident: int):
        ch = self.world.channels.get(ident)
        if ch is None:
            raise RequestError(E_NO_CHANNEL, ident)
        return ch

    def _with_privileges_in(self, player, channel_id):
        """The player as it would stand in another channel (for channel-scoped rights)."""
        if player.channel == channel_id:
            return player
        probe = state.Player(id=player.id, nick=player.nick, channel=channel_id,
                             privileges=player.privileges, account=player.account)
        probe.channel_privs = self.world.entry_privileges(player, channel_id)
        return probe

    def _check_codec(self, codec: int) -> None:
        if codec > 12 or codec == 4:
            raise RequestError(E_INVALID_CODEC, codec)
        if not self.codec_mask & (1 << codec):
            raise RequestError(E_CODEC_UNSUPPORTED, codec)

    def _channel_changed(self, ch) -> None:
        self.notify_all(113, struct.pack("<IHHI", ch.id, ch.flags, ch.codec, 0))

    # --- channels --------------------------------------------------------------

    def req_201(self, player, packet):
        _, flags, codec, parent, order, max_users = struct.unpack_from("<IHHiHH", packet, 24)
        try:
            name, pos = wire.read_terminated(packet, 40, 31)
            topic, pos = wire.read_terminated(packet, pos, 257)
            description, pos = wire.read_terminated(packet, pos, 4097)
            password, pos = wire.read_terminated(packet, pos, 31)
        except ValueError:
            raise RequestError(E_BAD_ARGUMENT) from None
        self.create_channel(player, name=name, flags=flags, codec=codec,
                            parent=None if parent == -1 else parent, order=order,
                            max_users=max_users, topic=topic, description=description,
                            password=password)

    def create_channel(self, player, name, flags=state.CF_UNREGISTERED, codec=8, parent=None,
                       order=0, max_users=32, topic="", description="", password=""):
        """Shared by the request and the control interface (player None: no checks)."""
        w = self.world
        name = name.strip()
        if not name:
            raise RequestError(E_BAD_ARGUMENT)
        if parent is not None:
            parent_ch = w.channels.get(parent)
            if parent_ch is None:
                raise RequestError(E_NO_PARENT, parent)
            if parent_ch.parent is not None:
                raise RequestError(E_SUB_LIMIT, parent)
            if not parent_ch.flags & state.CF_HIERARCHICAL:
                raise RequestError(E_NOT_HIERARCHICAL, parent)
            if password:
                raise RequestError(E_SUB_PASSWORD, parent)
            flags &= ~(state.CF_DEFAULT | state.CF_MODERATED | state.CF_PASSWORD |
                       state.CF_HIERARCHICAL)
            flags |= state.CF_UNREGISTERED
        if w.find_channel(name, parent) is not None:
            raise RequestError(E_CHANNEL_EXISTS)
        self._check_codec(codec)
        if player is not None:
            checker = player if parent is None else self._with_privileges_in(player, parent)
            if parent is not None:
                self._need(checker, state.P_CREATE_SUBCHANNELED, E_INSUFFICIENT, parent)
            else:
                self._need(checker, state.P_CREATE_UNREGISTERED if flags & state.CF_UNREGISTERED
                           else state.P_CREATE_REGISTERED, E_INSUFFICIENT)
                for bit, perm in FLAG_PERMISSION.items():
                    if flags & bit:
                        self._need(checker, perm, E_INSUFFICIENT)
        if password:
            flags |= state.CF_PASSWORD
        else:
            flags &= ~state.CF_PASSWORD
        if flags & state.CF_DEFAULT:
            old_default = w.default_channel()
        else:
            old_default = None
        ch = w.add_channel(name=name[:30], flags=flags, codec=codec, parent=parent, order=order,
                           max_users=max_users, topic=topic, description=description,
                           password=password)
        if old_default is not None and old_default.id != ch.id:
            old_default.flags &= ~state.CF_DEFAULT
            self._channel_changed(old_default)
        self.notify_all(110, struct.pack("<I", player.id if player else 0)
                        + wire.channel_record(ch))
        if player is not None and player.account is not None:
            player.account.channel_privileges[ch.id] = state.PCP_ADMIN | state.PCP_AUTO_OPERATOR
        return ch

    def req_203(self, player, packet):
        ch = self._channel(u32(packet, 24))
        password = wire.read_short_string(packet, 28)
        self._need(self._with_privileges_in(player, ch.id), state.P_EDIT_PASSWORD,
                   E_NEED_SA_OR_CA, ch.id)
        if ch.parent is not None:
            raise RequestError(E_SUB_PASSWORD, ch.id)
        ch.password = password
        old_flags = ch.flags
        if password:
            ch.flags |= state.CF_PASSWORD
        else:
            ch.flags &= ~state.CF_PASSWORD
        player.conn.send(204, struct.pack("<I", ch.id))
        if ch.flags != old_flags:
            self._channel_changed(ch)

    def req_205(self, player, packet):
        ch = self._channel(u32(packet, 24))
        flags, codec = struct.unpack_from("<HH", packet, 28)
        checker = self._with_privileges_in(player, ch.id)
        if codec != ch.codec:
            self._need(checker, state.P_EDIT_CODEC, E_NEED_SA_OR_CA, ch.id)
            self._check_codec(codec)
        # the password flag follows the password, never this request
        flags = (flags & ~state.CF_PASSWORD) | (ch.flags & state.CF_PASSWORD)
        changed = flags ^ ch.flags
        for bit, perm in FLAG_PERMISSION.items():
            if changed & bit:
                self._need(checker, perm, E_NEED_SA_OR_CA, ch.id)
        if changed & state.CF_UNREGISTERED:
            self._need(checker, state.P_CREATE_REGISTERED, E_NEED_SA_OR_CA, ch.id)
        if ch.parent is not None and changed & (state.CF_HIERARCHICAL | state.CF_DEFAULT |
                                                 state.CF_MODERATED):
            raise RequestError(E_BAD_ARGUMENT, ch.id)
        if changed & state.CF_HIERARCHICAL and not flags & state.CF_HIERARCHICAL and \
                self.world.children(ch.id):
            raise RequestError(E_SUBCHANNELS_PRESENT, ch.id)
        if changed & state.CF_DEFAULT and not flags & state.CF_DEFAULT:
            raise RequestError(E_BAD_ARGUMENT, ch.id)
        old_default = self.world.default_channel() if changed & state.CF_DEFAULT else None
        ch.flags = flags
        ch.codec = codec
        if old_default is not None and old_default is not ch:
            old_default.flags &= ~state.CF_DEFAULT
            self._channel_changed(old_default)
        self._channel_changed(ch)

    def _text_change(self, player, packet, permission, limit, attr, ptype):
        ch = self._channel(u32(packet, 24))
        self._need(self._with_privileges_in(player, ch.id), permission, E_NEED_SA_OR_CA, ch.id)
        try:
            text, _ = wire.read_terminated(packet, 28, limit)
        except ValueError:
            raise RequestError(E_BAD_ARGUMENT, ch.id) from None
        if attr == "name":
            text = text.strip()
            if not text:
                raise RequestError(E_BAD_ARGUMENT, ch.id)
            other = self.world.find_channel(text, ch.parent)
            if other is not None and other is not ch:
                raise RequestError(E_CHANNEL_EXISTS, ch.id)
        setattr(ch, attr, text)
        self.notify_all(ptype, struct.pack("<II", ch.id, player.id) + wire.terminated(text, limit))

    def req_206(self, player, packet):
        self._text_change(player, packet, state.P_EDIT_NAME, 31, "name", 111)

    def req_207(self, player, packet):
        self._text_change(player, packet, state.P_EDIT_TOPIC, 257, "topic", 112)

    def req_208(self, player, packet):
        self._text_change(player, packet, state.P_EDIT_DESCRIPTION, 4097, "description", 114)

    def req_209(self, player, packet):
        ch = self._channel(u32(packet, 24))
        self._need(self._with_privileges_in(player, ch.id), state.P_DELETE_CHANNEL,
                   E_NEED_SA_OR_CA, ch.id)
        self.delete_channel(ch, player.id)

    def delete_channel(self, ch, actor: int):
        w = self.world
        if ch.flags & state.CF_DEFAULT:
            raise RequestError(E_DEFAULT_CHANNEL, ch.id)
        doomed = [ch] + w.children(ch.id)
        if any(w.players_in(c.id) for c in doomed):
            raise RequestError(E_NOT_EMPTY, ch.id)
        for c in reversed(doomed):
            del w.channels[c.id]
            self.notify_all(115, struct.pack("<HI", c.id & 0xFFFF, actor))

    def req_210(self, player, packet):
        ch = self._channel(u32(packet, 24))
        self._need(self._with_privileges_in(player, ch.id), state.P_EDIT_MAXUSERS,
                   E_NEED_SA_OR_CA, ch.id)
        ch.max_users = u16(packet, 28)
        self.notify_all(116, struct.pack("<IHI", ch.id, ch.max_users, player.id))

    def req_212(self, player, packet):
        ch = self._channel(u32(packet, 24))
        self._need(self._with_privileges_in(player, ch.id), state.P_EDIT_ORDER,
                   E_NEED_SA_OR_CA, ch.id)
        ch.order = u16(packet, 28)
        self.notify_all(117, struct.pack("<IHI", ch.id, ch.order, player.id))

    # --- players ---------------------------------------------------------------

    def req_300(self, player, packet):
        conn = player.conn
        self.drop_player(player, 1, notify_self=False)
        if conn is not None:
            self._forget(conn)

    def req_301(self, player, packet):
        target_id = u32(packet, 24)
        self._need(player, state.P_KICK_SERVER, E_NEED_SERVER_ADMIN, target_id)
        target = self._player(target_id)
        self.drop_player(target, 2, player.id, wire.read_short_string(packet, 28))

    def req_302(self, player, packet):
        target = self._player(u32(packet, 24))
        self._need(self._with_privileges_in(player, target.channel), state.P_KICK_CHANNEL,
                   E_NEED_ANY_ADMIN_OR_OP, target.id)
        default = self.world.default_channel()
        if target.channel == default.id:
            raise RequestError(E_ALREADY_MEMBER, target.id)
        self.move_player(target, default.id, 102, player.id, wire.read_short_string(packet, 28))

    def req_303(self, player, packet):
        w = self.world
        ch = self._channel(u32(packet, 24))
        password = wire.read_short_string(packet, 28)
        if ch.id == player.channel:
            raise RequestError(E_ALREADY_MEMBER, ch.id)
        if player.privileges & state.PP_STICKY and not player.privileges & state.PP_SERVER_ADMIN:
            raise RequestError(E_INSUFFICIENT, ch.id)
        probe = self._with_privileges_in(player, ch.id)
        top = w.channels[w.top(ch.id)]
        if top.password and not w.same_family(player.channel, ch.id) and \
                password != top.password and not w.allowed(probe, state.P_JOIN_WITHOUT_PASSWORD):
            raise RequestError(E_WRONG_PASSWORD, ch.id, ch.id)
        if not top.flags & (state.CF_UNREGISTERED | state.CF_DEFAULT):
            self._need(probe, state.P_JOIN_REGISTERED, E_INSUFFICIENT, ch.id)
        if len(w.players_in(ch.id)) >= ch.max_users and \
                not player.privileges & state.PP_SERVER_ADMIN:
            raise RequestError(E_CHANNEL_FULL, ch.id)
        self.move_player(player, ch.id, 103)

    def req_304(self, player, packet):
        flags = u16(packet, 24) & 0x7F
        if flags & state.PF_CHANNEL_COMMANDER and not player.flags & state.PF_CHANNEL_COMMANDER:
            self._need(player, state.P_CHANNEL_COMMANDER, E_INSUFFICIENT, player.id)
        self.set_player_flags(player, flags)

    def set_player_flags(self, player, flags):
        player.flags = flags
        if not flags & state.PF_WANT_VOICE:
            player.voice_request = ""
        self.notify_seeing(player, 104, struct.pack("<IH", player.id, flags))

    def req_305(self, player, packet):
        ch = self.world.channels.get(player.channel)
        if ch is None or not ch.flags & state.CF_MODERATED:
            raise RequestError(E_NOT_MODERATED, player.channel)
        player.voice_request = wire.read_short_string(packet, 24)
        self.notify_seeing(player, 105, struct.pack("<I", player.id)
                           + wire.short_string(player.voice_request))

    def req_306(self, player, packet):
        target = self._player(u32(packet, 24))
        grant_or_revoke, ordinal = packet[28], packet[29]
        rules = CHANNEL_PRIV_RULES.get(ordinal)
        if rules is None or grant_or_revoke not in (0, 2):
            raise RequestError(E_BAD_ARGUMENT, target.id)
        grant_perm, revoke_perm, grant_err, revoke_err, already, not_held = rules
        granting = grant_or_revoke == 0
        self._need(self._with_privileges_in(player, target.channel),
                   grant_perm if granting else revoke_perm,
                   grant_err if granting else revoke_err, target.id)
        self.change_channel_privilege(target, granting, ordinal, player.id, already, not_held)

    def change_channel_privilege(self, target, granting, ordinal, actor, already=E_ALREADY_HAS,
                                 not_held=E_BAD_ARGUMENT):
        bit = 1 << ordinal
        if granting == bool(target.channel_privs & bit):
            raise RequestError(already if granting else not_held, target.id)
        if granting:
            target.channel_privs |= bit
        else:
            target.channel_privs &= ~bit
        if target.account is not None:
            stored = target.account.channel_privileges.get(target.channel, 0)
            if ordinal in (0, 3, 4):    # lasting rights of a registered player
                stored = stored | bit if granting else stored & ~bit
                target.account.channel_privileges[target.channel] = stored
        self.notify_seeing(target, 106, struct.pack("<IBBI", target.id, 0 if granting else 2,
                                                    ordinal, actor))

    def req_307(self, player, packet):
        target = self._player(u32(packet, 24))
        grant_or_revoke, ordinal = packet[28], packet[29]
        rules = PLAYER_PRIV_RULES.get(ordinal)
        if rules is None or grant_or_revoke not in (0, 2):
            raise RequestError(E_BAD_ARGUMENT, target.id)
        grant_perm, revoke_perm, already, not_held = rules
        granting = grant_or_revoke == 0
        self._need(player, grant_perm if granting else revoke_perm, E_NEED_SERVER_ADMIN,
                   target.id)
        self.change_player_privilege(target, granting, ordinal, player.id, already, not_held)

    def change_player_privilege(self, target, granting, ordinal, actor, already=E_ALREADY_HAS,
                                not_held=E_BAD_ARGUMENT):
        bit = 1 << ordinal
        if granting == bool(target.privileges & bit):
            raise RequestError(already if granting else not_held, target.id)
        if granting:
            target.privileges |= bit
            if bit == state.PP_REGISTERED:
                target.privileges &= ~state.PP_CAN_REGISTER
        else:
            target.privileges &= ~bit
        if target.account is not None and bit == state.PP_SERVER_ADMIN:
            target.account.server_admin = granting
        self.notify_seeing(target, 107, struct.pack("<IBBI", target.id, 0 if granting else 2,
                                                    ordinal, actor))

    def _new_account(self, login, password, admin=False):
        if not login.strip():
            raise RequestError(E_BAD_ARGUMENT)
        if login.lower() in self.accounts:
            raise RequestError(E_LOGIN_IN_USE)
        if not password:
            raise RequestError(E_BAD_USER_PASSWORD)
        acc = state.Account(login=login, password=password, server_admin=admin)
        self.accounts[login.lower()] = acc
        return acc

    def req_308(self, player, packet):
        if player.registered:
            raise RequestError(E_ALREADY_REGISTERED, player.id)
        if not player.privileges & state.PP_CAN_REGISTER and \
                not self.world.allowed(player, state.P_ALLOW_SELF_REGISTRATION):
            raise RequestError(E_NOT_ALLOWED_REGISTER, player.id)
        acc = self._new_account(wire.read_short_string(packet, 24),
                                wire.read_short_string(packet, 54))
        acc.online = True
        player.account = acc
        if player.conn is not None:
            player.conn.login["account"] = acc
        self.change_player_privilege(player, True, 2, 0)

    def req_310(self, player, packet):
        self._need(player, state.P_REGISTER_PLAYER, E_NEED_SERVER_ADMIN)
        self._new_account(wire.read_short_string(packet, 24), wire.read_short_string(packet, 54),
                          admin=packet[84] == 1)
        player.conn.send(311)

    def req_320(self, player, packet):
        target = self._player(u32(packet, 24))
        mute = packet[28] == 1
        if mute:
            player.muted.add(target.id)
        else:
            player.muted.discard(target.id)
        player.conn.send(321, struct.pack("<IB", target.id, 1 if mute else 0))

    def _add_ban(self, ip, minutes, reason=""):
        try:
            ipaddress.IPv4Address(ip)
        except ValueError:
            raise RequestError(E_BAD_ARGUMENT) from None
        self.bans = [b for b in self.bans if b.ip != ip]
        self.bans.append(state.Ban(ip=ip, minutes=minutes, reason=reason))

    def req_324(self, player, packet):
        self._need(player, state.P_BAN_IP, E_NEED_SERVER_ADMIN)
        try:
            ip, _ = wire.read_terminated(packet, 26, 64)
        except ValueError:
            raise RequestError(E_BAD_ARGUMENT) from None
        self._add_ban(ip.strip(), u16(packet, 24), f"by {player.nick}")

    def req_325(self, player, packet):
        target_id = u32(packet, 24)
        self._need(player, state.P_BAN_IP, E_NEED_SERVER_ADMIN, target_id)
        target = self._player(target_id)
        reason = wire.read_short_string(packet, 30)
        if target.conn is not None:
            self._add_ban(target.conn.addr[0], u16(packet, 28), reason or f"by {player.nick}")
        self.drop_player(target, 2, player.id, reason)

    def req_326(self, player, packet):
        self._need(player, state.P_BAN_IP, E_NEED_SERVER_ADMIN)
        try:
            ip, _ = wire.read_terminated(packet, 24, 64)
        except ValueError:
            raise RequestError(E_BAD_ARGUMENT) from None
        before = len(self.bans)
        self.bans = [b for b in self.bans if b.ip != ip.strip()]
        if len(self.bans) == before:
            raise RequestError(E_BAD_ARGUMENT)

    def req_330(self, player, packet):
        target = self._player(u32(packet, 24))
        ch = self._channel(u32(packet, 28))
        self._need(player, state.P_MOVE_PLAYERS, E_NEED_SERVER_ADMIN, target.id)
        if target.channel == ch.id:
            raise RequestError(E_ALREADY_MEMBER, target.id)
        self.move_player(target, ch.id, 109, player.id)

    def req_340(self, player, packet):
        player.conn.download_limit = struct.unpack_from("<i", packet, 24)[0]

    # --- information -----------------------------------------------------------

    def req_400(self, player, packet):
        target = self._player(u32(packet, 24))
        if target.conn is None:
            raise RequestError(E_NOT_CONNECTED, target.id)
        player.conn.send(404, self.connection_info(target))

    def connection_info(self, target) -> bytes:
        c = target.conn
        st = c.link.stats
        now = time.time()
        resends = st["resends"]
        sent = max(1, st["packets_sent"])
        loss = min(10000, resends * 10000 // sent)
        ping = sum(c.link.rtt_samples) // 16
        login = c.login.get("account").login if c.login.get("account") else ""
        return (struct.pack("<IIHHI", target.id, int(now - target.login_time), loss,
                            min(ping, 0xFFFF), int(now - target.last_active))
                + struct.pack("<4H", *[v & 0xFFFF for v in c.login["version"]])
                + struct.pack("<IIII", st["packets_sent"] & 0xFFFFFFFF,
                              st["bytes_sent"] & 0xFFFFFFFF,
                              st["commands_received"] & 0xFFFFFFFF, 0)
                + wire.short_string(c.addr[0]) + struct.pack("<H", c.addr[1])
                + wire.short_string(login)
                + struct.pack("<IHH", target.channel, target.channel_privs, target.privileges)
                + wire.short_string(c.login["platform"]))

    def req_405(self, player, packet):
        player.conn.send(406, self.server_info())

    def server_info(self) -> bytes:
        t = self.totals
        users = sum(1 for p in self.world.players.values() if p.conn is not None)
        return (struct.pack("<II", int(time.time() - self.started), 0)
                + struct.pack("<4H", *self.srv["version"])
                + struct.pack("<I", users)
                + struct.pack("<QQQQ", t["packets_sent"], t["bytes_sent"], t["packets_received"],
                              t["bytes_received"])
                + struct.pack("<IIII", 0, 0, 0, 0)
                + struct.pack("<Q", self.logins_total))

    def req_410(self, player, packet):
        self.bans = [b for b in self.bans if not b.expired()]
        body = b"".join(wire.terminated(b.ip, 64) + struct.pack("<H", b.minutes)
                        + wire.terminated(b.reason, 257) for b in self.bans)
        player.conn.send(411, struct.pack("<I", len(self.bans)) + body)

    # --- text ------------------------------------------------------------------

    def req_430(self, player, packet):
        colour, kind, target = struct.unpack_from("<IBI", packet, 24)
        try:
            text, _ = wire.read_terminated(packet, 33, 4097)
        except ValueError:
            raise RequestError(E_BAD_ARGUMENT) from None
        if kind == 0:
            self._need(player, state.P_TEXT_ALL, E_INSUFFICIENT)
        elif kind == 1:
            self._channel(target)
            self._need(player, state.P_TEXT_OWN_CHANNEL if target == player.channel
                       else state.P_TEXT_ALL_CHANNELS, E_INSUFFICIENT, target)
        elif kind == 2:
            self._player(target)
            self._need(player, state.P_TEXT_PLAYER, E_INSUFFICIENT, target)
        else:
            raise RequestError(E_BAD_ARGUMENT)
        self.send_text(player.nick, kind, target, text, colour)

    def send_text(self, sender_nick, kind, target, text, colour=0) -> int:
        payload = struct.pack("<IB", colour, kind) + wire.short_string(sender_nick) + \
            wire.terminated(text, 4097)
        sent = 0
        for c in self.observers():
            p = c.player
            if kind == 0 or (kind == 1 and p.channel == target) or (kind == 2 and p.id == target):
                c.send(130, payload)
                sent += 1
        return sent
