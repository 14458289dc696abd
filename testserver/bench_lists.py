#!/usr/bin/env python3
"""How long the server takes to send its lists to a logging-in client under generated load.

python3 testserver/bench_lists.py [--channels 600] [--players 5000] [--runs 5]

Prints one JSON object: per run the client-side time from the login request to the
completion notice, and the server's own time from the first list packet to the moment
the client had acknowledged everything up to the completion notice."""

import argparse
import json
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "tests"))

from wireclient import Client, ServerProcess  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--channels", type=int, default=600)
    ap.add_argument("--players", type=int, default=5000)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    cfg = {"channels": [], "generate": {"channels": args.channels, "players": args.players},
           "server": {"max_users": args.runs + 10}}
    with tempfile.TemporaryDirectory() as tmp:
        server = ServerProcess(config_text=json.dumps(cfg), tmpdir=tmp)
        try:
            client_ms, server_ms, packets = [], [], []
            for run in range(args.runs):
                c = Client(server.port)
                start = time.perf_counter()
                reply = c.login(f"bench{run}", timeout=120)
                client_ms.append((time.perf_counter() - start) * 1000)
                assert reply["result"] == 1 and len(c.players) == args.players + run + 1
                packets.append(len(c.commands))
                deadline = time.monotonic() + 10
                while True:     # the last acknowledgements may still be on their way
                    st = server.control("state", summary=True)
                    me = next(p for p in st["players"]["connected"]
                              if p["nick"] == f"bench{run}")
                    if me["lists_ms"] is not None or time.monotonic() > deadline:
                        break
                    c.poll(0.01)
                server_ms.append(me["lists_ms"])
                c.close()
        finally:
            server.stop()
    print(json.dumps({
        "channels": args.channels, "players": args.players, "runs": args.runs,
        "list_packets": packets[0],
        "client_login_ms": {"median": round(statistics.median(client_ms), 1),
                            "min": round(min(client_ms), 1), "max": round(max(client_ms), 1)},
        "server_lists_ms": {"median": round(statistics.median(server_ms), 1),
                            "min": round(min(server_ms), 1), "max": round(max(server_ms), 1)},
    }))


if __name__ == "__main__":
    main()
