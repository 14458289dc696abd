"""Command line and start-up of the server."""

import argparse
import asyncio
import json
import signal
import socket
import sys

from . import config, control, core, faults, pcap


def parse_args(argv=None):
    ap = argparse.ArgumentParser(prog="server.py", description="Local voice server.")
    ap.add_argument("--host", default="127.0.0.1", help="address to listen on (127.0.0.1)")
    ap.add_argument("--port", type=int, default=8767, help="UDP port; 0 picks a free one")
    ap.add_argument("--config", help="JSON configuration file (default: the built-in demo)")
    ap.add_argument("--control-port", type=int, default=None,
                    help="TCP port of the control interface on 127.0.0.1; 0 picks a free one "
                         "(default: no control interface)")
    ap.add_argument("--pcap", help="write every datagram received and sent to this capture file")
    ap.add_argument("--version-string", help="server version reported at login, as A.B.C.D")
    ap.add_argument("--seed", type=int, default=None, help="seed of the fault injection")
    for d in faults.DIRECTIONS:
        word = "received" if d == "in" else "sent"
        ap.add_argument(f"--drop-{d}", type=float, default=0.0,
                        help=f"probability of dropping a datagram {word}")
        ap.add_argument(f"--duplicate-{d}", type=float, default=0.0,
                        help=f"probability of duplicating a datagram {word}")
        ap.add_argument(f"--reorder-{d}", type=float, default=0.0,
                        help=f"probability of holding a datagram {word} back so others pass it")
        ap.add_argument(f"--reorder-ms-{d}", type=float, default=30.0,
                        help=f"longest hold of a reordered datagram {word}, ms")
        ap.add_argument(f"--delay-{d}", type=float, default=0.0,
                        help=f"delay of every datagram {word}, ms")
    ap.add_argument("--freeze", action="store_true",
                    help="start frozen: receive nothing and answer nothing")
    ap.add_argument("--dump-config", action="store_true",
                    help="print the configuration in use (built-in or --config) and exit")
    return ap.parse_args(argv)


def parse_version(text: str):
    parts = text.split(".")
    if len(parts) != 4 or not all(p.isdigit() and int(p) < 65536 for p in parts):
        raise config.ConfigError(f"version must look like 2.0.24.1, not {text!r}")
    return [int(p) for p in parts]


async def serve(args) -> int:
    cfg = config.load(args.config)
    if args.version_string:
        cfg["server"]["version"] = parse_version(args.version_string)
    config.build_world(cfg)          # refuse a broken configuration before listening
    if args.dump_config:
        print(json.dumps(cfg, indent=2))
        return 0
    loop = asyncio.get_running_loop()
    writer = pcap.PcapWriter(args.pcap) if args.pcap else None
    server = core.VoiceServer(cfg, loop=loop, fault_seed=args.seed, pcap=writer)
    for d in faults.DIRECTIONS:
        server.faults.configure(d, drop=getattr(args, f"drop_{d}"),
                                duplicate=getattr(args, f"duplicate_{d}"),
                                reorder=getattr(args, f"reorder_{d}"),
                                reorder_ms=getattr(args, f"reorder_ms_{d}"),
                                delay_ms=getattr(args, f"delay_{d}"))
    server.faults.frozen = args.freeze
    transport, _ = await loop.create_datagram_endpoint(lambda: server,
                                                       local_addr=(args.host, args.port))
    sock = transport.get_extra_info("socket")
    try:    # bursts of many clients should not overflow the kernel's queue
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    except OSError:
        pass
    udp = transport.get_extra_info("sockname")
    ctl = control.Control(server)
    ctl_text = "none"
    ctl_server = None
    if args.control_port is not None:
        ctl_server = await asyncio.start_server(ctl.handle_client, "127.0.0.1",
                                                args.control_port)
        cport = ctl_server.sockets[0].getsockname()[1]
        ctl_text = f"127.0.0.1:{cport}"
    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        try:
            loop.add_signal_handler(sig, stop.set)
        except (NotImplementedError, RuntimeError):
            pass
    print(f"listening on {udp[0]}:{udp[1]}", flush=True)
    print(f"READY udp={udp[0]}:{udp[1]} control={ctl_text}", flush=True)
    waiters = [asyncio.ensure_future(stop.wait()), asyncio.ensure_future(ctl.stopped.wait())]
    await asyncio.wait(waiters, return_when=asyncio.FIRST_COMPLETED)
    for w in waiters:
        w.cancel()
    await server.shutdown()
    if ctl_server is not None:
        ctl_server.close()
        await ctl.close_sessions()
    print("stopped", flush=True)
    return 0


def main(argv=None) -> int:
    args = parse_args(argv)
    try:
        return asyncio.run(serve(args))
    except (config.ConfigError, ValueError) as e:
        print(f"server.py: {e}", file=sys.stderr)
        return 2
    except OSError as e:
        print(f"server.py: cannot listen: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 0
