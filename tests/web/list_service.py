#!/usr/bin/env python3
"""Local server-list service for the download tests (127.0.0.1 only).

Prints "READY <port>" once listening ("BIND-FAILED <reason>" and exit 3 when
the port is taken). For every connection it reads one request (the byte N and
N more bytes), prints "REQUEST <hex>", sends the reply bytes given by --reply
(hex) and then closes the connection, or with --after hang holds it open
until the client goes away. With --silent it sends nothing at all.
"""
import argparse
import select
import socket
import sys


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        r, _, _ = select.select([conn], [], [], 10.0)
        if not r:
            return None
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def hold(conn):
    for _ in range(300):  # at most 30 s
        r, _, _ = select.select([conn], [], [], 0.1)
        if r:
            try:
                if not conn.recv(4096):
                    return
            except OSError:
                return


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--reply", default="00")
    ap.add_argument("--after", choices=("close", "hang"), default="close")
    ap.add_argument("--silent", action="store_true")
    args = ap.parse_args()
    reply = bytes.fromhex(args.reply)
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        srv.bind(("127.0.0.1", args.port))
    except OSError as e:
        print("BIND-FAILED %s" % e, flush=True)
        sys.exit(3)
    srv.listen(4)
    print("READY %d" % srv.getsockname()[1], flush=True)
    while True:
        conn, _ = srv.accept()
        with conn:
            if args.silent:
                hold(conn)
                continue
            head = read_exact(conn, 1)
            body = read_exact(conn, head[0]) if head else None
            if body is None:
                print("REQUEST-INCOMPLETE", flush=True)
                continue
            print("REQUEST %s" % (head + body).hex(), flush=True)
            try:
                conn.sendall(reply)
            except OSError:
                continue
            if args.after == "hang":
                hold(conn)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
