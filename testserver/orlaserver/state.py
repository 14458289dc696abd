"""Channels, players, accounts, bans and the rules about who may do what."""

import dataclasses
import time

# channel flags
CF_UNREGISTERED, CF_MODERATED, CF_PASSWORD, CF_HIERARCHICAL, CF_DEFAULT = 1, 2, 4, 8, 16
CHANNEL_FLAG_NAMES = {"unregistered": 1, "moderated": 2, "password": 4, "hierarchical": 8,
                      "default": 16}
# player flags
PF_CHANNEL_COMMANDER, PF_WANT_VOICE, PF_NO_WHISPER = 1, 2, 4
# player privileges (bit values)
PP_SERVER_ADMIN, PP_CAN_REGISTER, PP_REGISTERED, PP_STICKY = 1, 2, 4, 16
PLAYER_PRIVILEGE_ORDINALS = {"ppServerAdmin": 0, "ppCanRegister": 1, "ppRegistered": 2,
                             "ppSticky": 4}
# channel privileges (bit values)
PCP_ADMIN, PCP_OPERATOR, PCP_VOICED, PCP_AUTO_OPERATOR, PCP_AUTO_VOICE = 1, 2, 4, 8, 16
CHANNEL_PRIVILEGE_ORDINALS = {"pcpAdmin": 0, "pcpOperator": 1, "pcpVoiced": 2,
                              "pcpAutoOperator": 3, "pcpAutoVoice": 4}
# server types
ST_CLAN, ST_PUBLIC, ST_FREEWARE, ST_COMMERCIAL = 1, 2, 4, 8

# user types of the permission table
UT_SERVER_ADMIN, UT_CHANNEL_ADMIN, UT_OPERATOR, UT_VOICED, UT_REGISTERED, UT_ANONYMOUS = range(6)
USER_TYPE_NAMES = ["server_admin", "channel_admin", "operator", "voiced", "registered",
                   "anonymous"]

# permission ordinals
P_BAN_IP = 24
P_MOVE_PLAYERS = 25
P_JOIN_REGISTERED = 33
P_CREATE_REGISTERED = 34
P_CREATE_UNREGISTERED = 35
P_CREATE_DEFAULT = 36
P_CREATE_SUBCHANNELED = 37
P_CREATE_MODERATED = 38
P_DELETE_CHANNEL = 39
P_EDIT_NAME = 40
P_EDIT_PASSWORD = 41
P_EDIT_TOPIC = 42
P_EDIT_DESCRIPTION = 43
P_EDIT_ORDER = 44
P_EDIT_MAXUSERS = 45
P_EDIT_CODEC = 46
P_JOIN_WITHOUT_PASSWORD = 47
P_GRANT_SA, P_GRANT_CA, P_GRANT_AUTO_OP, P_GRANT_OP, P_GRANT_AUTO_VOICE, P_GRANT_VOICE, \
    P_GRANT_ALLOW_REG = range(49, 56)
P_REVOKE_SA, P_REVOKE_CA, P_REVOKE_AUTO_OP, P_REVOKE_OP, P_REVOKE_AUTO_VOICE, P_REVOKE_VOICE, \
    P_REVOKE_ALLOW_REG = range(56, 63)
P_REGISTER_PLAYER = 63
P_DELETE_REGISTRATION = 64
P_ALLOW_SELF_REGISTRATION = 65
P_TEXT_ALL, P_TEXT_OWN_CHANNEL, P_TEXT_ALL_CHANNELS, P_TEXT_PLAYER = 73, 74, 75, 76
P_KICK_SERVER, P_KICK_CHANNEL, P_CHANNEL_COMMANDER = 77, 78, 79

ALL_PERMISSIONS = frozenset(list(range(8, 28)) + list(range(33, 48)) + list(range(49, 66))
                            + list(range(73, 80)))

DEFAULT_PERMISSIONS = {
    "server_admin": sorted(ALL_PERMISSIONS),
    "channel_admin": [P_MOVE_PLAYERS, P_JOIN_REGISTERED, P_DELETE_CHANNEL, P_EDIT_NAME,
                      P_EDIT_PASSWORD, P_EDIT_TOPIC, P_EDIT_DESCRIPTION, P_EDIT_ORDER,
                      P_EDIT_MAXUSERS, P_EDIT_CODEC, P_JOIN_WITHOUT_PASSWORD, P_CREATE_SUBCHANNELED,
                      P_GRANT_CA, P_GRANT_AUTO_OP, P_GRANT_OP, P_GRANT_AUTO_VOICE, P_GRANT_VOICE,
                      P_REVOKE_CA, P_REVOKE_AUTO_OP, P_REVOKE_OP, P_REVOKE_AUTO_VOICE,
                      P_REVOKE_VOICE, P_TEXT_ALL_CHANNELS, P_KICK_CHANNEL, P_CHANNEL_COMMANDER],
    "operator": [P_JOIN_REGISTERED, P_EDIT_TOPIC, P_GRANT_VOICE, P_REVOKE_VOICE, P_GRANT_OP,
                 P_REVOKE_OP, P_KICK_CHANNEL, P_CHANNEL_COMMANDER],
    "voiced": [P_JOIN_REGISTERED],
    "registered": [P_JOIN_REGISTERED, P_CREATE_UNREGISTERED, P_CREATE_SUBCHANNELED,
                   P_CREATE_MODERATED, P_TEXT_ALL, P_TEXT_OWN_CHANNEL, P_TEXT_PLAYER,
                   P_CHANNEL_COMMANDER, 10],
    "anonymous": [P_JOIN_REGISTERED, P_CREATE_UNREGISTERED, P_TEXT_ALL, P_TEXT_OWN_CHANNEL,
                  P_TEXT_PLAYER, P_CHANNEL_COMMANDER, P_ALLOW_SELF_REGISTRATION],
}


def permission_bytes(ordinals) -> bytes:
    buf = bytearray(11)
    for n in ordinals:
        if 0 <= n < 88:
            buf[n // 8] |= 1 << (n % 8)
    return bytes(buf)


@dataclasses.dataclass
class Channel:
    id: int
    name: str
    flags: int = CF_UNREGISTERED
    codec: int = 6
    parent: "int | None" = None
    order: int = 0
    max_users: int = 32
    topic: str = ""
    description: str = ""
    password: str = ""


@dataclasses.dataclass
class Account:
    login: str
    password: str
    server_admin: bool = False
    channel_privileges: dict = dataclasses.field(default_factory=dict)   # channel id -> bits
    online: bool = False


@dataclasses.dataclass
class Ban:
    ip: str
    minutes: int = 0
    reason: str = ""
    created: float = dataclasses.field(default_factory=time.time)

    def expired(self, now=None) -> bool:
        if self.minutes == 0:
            return False
        return (now or time.time()) > self.created + self.minutes * 60


@dataclasses.dataclass
class Player:
    id: int
    nick: str
    channel: int
    flags: int = 0
    privileges: int = 0
    channel_privs: int = 0
    account: "Account | None" = None
    conn: object = None                # the client connection, None for players without one
    muted: set = dataclasses.field(default_factory=set)   # players this one does not hear
    voice_request: str = ""
    login_time: float = dataclasses.field(default_factory=time.time)
    last_active: float = dataclasses.field(default_factory=time.time)
    speak_nr: int = 0
    packet_nr: int = 0

    @property
    def connected(self) -> bool:
        return self.conn is not None

    @property
    def registered(self) -> bool:
        return bool(self.privileges & PP_REGISTERED)

    def has_voice(self) -> bool:
        return bool(self.channel_privs & (PCP_ADMIN | PCP_OPERATOR | PCP_VOICED))


class World:
    """The server's registry of channels and players."""

    def __init__(self, server_type: int, permissions: dict):
        self.server_type = server_type
        self.channels = {}
        self.players = {}
        self.permissions = {k: frozenset(v) for k, v in permissions.items()}
        self.next_channel_id = 1
        self.next_player_id = 1

    # --- channels --------------------------------------------------------------

    def add_channel(self, **fields) -> Channel:
        ch = Channel(id=self.next_channel_id, **fields)
        self.next_channel_id += 1
        self.channels[ch.id] = ch
        return ch

    def default_channel(self) -> Channel:
        for ch in self.channels.values():
            if ch.flags & CF_DEFAULT:
                return ch
        return next(iter(self.channels.values()))

    def top(self, channel_id: int) -> int:
        seen = 0
        while True:
            ch = self.channels.get(channel_id)
            if ch is None or ch.parent is None or seen > 64:
                return channel_id
            channel_id = ch.parent
            seen += 1

    def children(self, channel_id: int):
        return [c for c in self.channels.values() if c.parent == channel_id]

    def family_channels(self, channel_id: int):
        top = self.top(channel_id)
        return {c.id for c in self.channels.values() if self.top(c.id) == top}

    def find_channel(self, name: str, parent=None):
        for ch in self.channels.values():
            if ch.parent == parent and ch.name.lower() == name.lower():
                return ch
        return None

    def ordered_channels(self):
        """Parents before their sub-channels."""
        tops = [c for c in self.channels.values() if c.parent is None]
        out = []
        for t in sorted(tops, key=lambda c: c.id):
            out.append(t)
            out.extend(sorted(self.children(t.id), key=lambda c: c.id))
        return out

    def players_in(self, channel_id: int):
        return [p for p in self.players.values() if p.channel == channel_id]

    # --- players ---------------------------------------------------------------

    @property
    def public(self) -> bool:
        return bool(self.server_type & ST_PUBLIC)

    def same_family(self, a: int, b: int) -> bool:
        return self.top(a) == self.top(b)

    def sees(self, observer: Player, player: Player, channel_id=None) -> bool:
        """Whether `observer` knows `player` (standing in `channel_id`, default its own)."""
        if observer is player or not self.public:
            return True
        return self.same_family(observer.channel,
                                player.channel if channel_id is None else channel_id)

    def nick_in_use(self, nick: str) -> bool:
        low = nick.lower()
        return any(p.nick.lower() == low for p in self.players.values())

    def user_types(self, player: Player):
        types = []
        if player.privileges & PP_SERVER_ADMIN:
            types.append(UT_SERVER_ADMIN)
        if player.channel_privs & PCP_ADMIN:
            types.append(UT_CHANNEL_ADMIN)
        if player.channel_privs & PCP_OPERATOR:
            types.append(UT_OPERATOR)
        if player.channel_privs & PCP_VOICED:
            types.append(UT_VOICED)
        types.append(UT_REGISTERED if player.registered else UT_ANONYMOUS)
        return types

    def allowed(self, player: Player, permission: int) -> bool:
        return any(permission in self.permissions[USER_TYPE_NAMES[t]]
                   for t in self.user_types(player))

    def permission_table(self) -> bytes:
        return b"".join(permission_bytes(self.permissions[n]) for n in USER_TYPE_NAMES)

    def entry_privileges(self, player: Player, channel_id: int) -> int:
        """Channel privileges a player gets on entering a channel."""
        privs = 0
        if player.account is not None:
            privs = player.account.channel_privileges.get(channel_id, 0)
        if privs & PCP_AUTO_OPERATOR:
            privs |= PCP_OPERATOR
        if privs & PCP_AUTO_VOICE:
            privs |= PCP_VOICED
        return privs
