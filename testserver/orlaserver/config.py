"""Server configuration: the built-in demo set-up and the JSON file format."""

import copy
import json

from . import state

ALL_CODECS = [0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12]

DEFAULT_CONFIG = {
    "server": {
        "name": "Orlavonix Demo Server",
        "platform": "Linux",
        "version": [2, 0, 24, 1],
        "welcome": "Welcome to the local Orlavonix demo server. Try the channels!",
        "type": "clan",
        "freeware": True,
        "max_users": 64,
        "codecs": ALL_CODECS,
        "password": "",
        "allow_anonymous": True,
        "client_version_min": [2, 0, 20, 0],
        "client_timeout_ms": 30000,
        "login_timeout_ms": 5000,
        "max_pending_commands": 20000,
        "banner_url": "",
        "banner_link": "",
        "permissions": state.DEFAULT_PERMISSIONS,
    },
    "channels": [
        {"name": "Lobby", "flags": ["unregistered", "default"], "codec": 8,
         "topic": "Say hello", "description": "Everybody starts here."},
        {"name": "Moderated Hall", "flags": ["unregistered", "moderated"], "codec": 8,
         "topic": "Ask for voice first", "description": "Only voiced players are heard."},
        {"name": "Teams", "flags": ["unregistered", "hierarchical"], "codec": 7,
         "topic": "Pick a side", "description": "A channel with sub-channels."},
        {"name": "Red", "parent": "Teams", "flags": ["unregistered"], "codec": 7,
         "topic": "Red team"},
        {"name": "Blue", "parent": "Teams", "flags": ["unregistered"], "codec": 7,
         "topic": "Blue team"},
        {"name": "Private", "flags": ["unregistered", "password"], "codec": 3,
         "password": "secret", "topic": "Password: secret",
         "description": "A password-protected channel."},
    ],
    "accounts": [
        {"login": "admin", "password": "admin", "server_admin": True},
    ],
    "bans": [],
    "generate": None,
}


class ConfigError(ValueError):
    pass


def _merge(base: dict, over: dict) -> dict:
    out = copy.deepcopy(base)
    for k, v in over.items():
        if isinstance(v, dict) and isinstance(out.get(k), dict) and k != "permissions":
            out[k] = _merge(out[k], v)
        else:
            out[k] = copy.deepcopy(v)
    return out


def load(path=None, text=None) -> dict:
    """The configuration: the built-in one, with a file's values laid over it. A file that
    lists channels (or accounts, bans) replaces the built-in list of that kind."""
    if path is None and text is None:
        return copy.deepcopy(DEFAULT_CONFIG)
    try:
        if text is None:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        data = json.loads(text)
    except (OSError, ValueError) as e:
        raise ConfigError(f"cannot read configuration: {e}") from e
    if not isinstance(data, dict):
        raise ConfigError("configuration must be a JSON object")
    cfg = _merge(DEFAULT_CONFIG, data)
    validate(cfg)
    return cfg


def channel_flags(value) -> int:
    if isinstance(value, int):
        return value
    bits = 0
    for name in value:
        if name not in state.CHANNEL_FLAG_NAMES:
            raise ConfigError(f"unknown channel flag {name!r}")
        bits |= state.CHANNEL_FLAG_NAMES[name]
    return bits


def codec_mask(value) -> int:
    if isinstance(value, int):
        return value
    mask = 0
    for n in value:
        mask |= 1 << int(n)
    return mask


def server_type(srv: dict) -> int:
    t = srv.get("type", "clan")
    if isinstance(t, int):
        return t
    bits = {"clan": state.ST_CLAN, "public": state.ST_PUBLIC}.get(t)
    if bits is None:
        raise ConfigError(f"unknown server type {t!r}")
    bits |= state.ST_FREEWARE if srv.get("freeware", True) else state.ST_COMMERCIAL
    return bits


def validate(cfg: dict) -> None:
    srv = cfg["server"]
    server_type(srv)
    if len(srv.get("version", [])) != 4:
        raise ConfigError("server.version needs four numbers")
    for name in state.USER_TYPE_NAMES:
        if name not in srv["permissions"]:
            raise ConfigError(f"server.permissions lacks {name!r}")
    if not cfg["channels"] and not cfg.get("generate"):
        raise ConfigError("at least one channel is needed")
    for ch in cfg["channels"]:
        if "name" not in ch:
            raise ConfigError("every channel needs a name")
        channel_flags(ch.get("flags", ["unregistered"]))


def build_world(cfg: dict):
    """World and accounts from a configuration."""
    srv = cfg["server"]
    world = state.World(server_type(srv), srv["permissions"])
    by_name = {}
    for item in cfg["channels"]:
        parent = None
        if item.get("parent") is not None:
            parent_ch = by_name.get(item["parent"])
            if parent_ch is None:
                raise ConfigError(f"channel {item['name']!r}: parent {item['parent']!r} "
                                  "must be listed before it")
            parent = parent_ch.id
            parent_ch.flags |= state.CF_HIERARCHICAL
        flags = channel_flags(item.get("flags", ["unregistered"]))
        if item.get("password"):
            flags |= state.CF_PASSWORD
        ch = world.add_channel(name=item["name"], flags=flags, codec=item.get("codec", 8),
                               parent=parent, order=item.get("order", 0),
                               max_users=item.get("max_users", srv.get("max_users", 64)),
                               topic=item.get("topic", ""),
                               description=item.get("description", ""),
                               password=item.get("password", ""))
        if parent is None:
            by_name[ch.name] = ch
    gen = cfg.get("generate") or {}
    n_channels = int(gen.get("channels", 0))
    n_players = int(gen.get("players", 0))
    made = []
    for i in range(n_channels):
        if i % 10 == 9 and made:
            parent = made[-(i % 7) - 1]
            parent.flags |= state.CF_HIERARCHICAL
            made_ch = world.add_channel(name=f"Sub {i}", parent=parent.id, codec=8,
                                        topic=f"Generated sub-channel {i}")
        else:
            made_ch = world.add_channel(name=f"Room {i}", codec=8, order=i,
                                        topic=f"Generated channel {i}")
            made.append(made_ch)
    if not any(c.flags & state.CF_DEFAULT for c in world.channels.values()):
        first = next(c for c in world.channels.values() if c.parent is None)
        first.flags |= state.CF_DEFAULT
    targets = [c.id for c in world.channels.values()]
    for i in range(n_players):
        p = state.Player(id=world.next_player_id, nick=f"Bot{i}",
                         channel=targets[i % len(targets)])
        world.next_player_id += 1
        world.players[p.id] = p
    accounts = {}
    for item in cfg["accounts"]:
        acc = state.Account(login=item["login"], password=item["password"],
                            server_admin=bool(item.get("server_admin")))
        for cname, privs in (item.get("channel_privileges") or {}).items():
            ch = next((c for c in world.channels.values() if c.name == cname), None)
            if ch is None:
                raise ConfigError(f"account {acc.login!r}: unknown channel {cname!r}")
            bits = 0
            for pname in privs:
                key = "pcp" + pname[:1].upper() + pname[1:] if not pname.startswith("pcp") \
                    else pname
                if key not in state.CHANNEL_PRIVILEGE_ORDINALS:
                    raise ConfigError(f"unknown channel privilege {pname!r}")
                bits |= 1 << state.CHANNEL_PRIVILEGE_ORDINALS[key]
            acc.channel_privileges[ch.id] = bits
        accounts[acc.login.lower()] = acc
    bans = [state.Ban(ip=b["ip"], minutes=b.get("minutes", 0), reason=b.get("reason", ""))
            for b in cfg["bans"]]
    return world, accounts, bans
