#!/usr/bin/env python3
"""Local HTTP server for the web fetch tests (127.0.0.1 only).

Prints "READY <port>" once listening. Paths:
  /version                      200, a short text
  /text?code=N                  status N with a short text
  /img?len=N&type=T&cl=C&head=H&get=G
                                a picture of N bytes (byte i is i % 251);
                                C is the length HEAD announces: "auto" (N),
                                "none" (no header) or a number (GET always
                                announces N); H and G are the status codes
                                of HEAD and GET
  /hang?partial=1               reads the request and never completes a reply
                                (with partial=1 it sends half a status line)
  /_log                         the requests seen so far, one
                                "METHOD PATH USER-AGENT" a line
"""
import argparse
import select
import socket
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

LOG = []
LOG_LOCK = threading.Lock()
STOP = threading.Event()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_HEAD(self):
        self.route(head=True)

    def do_GET(self):
        self.route(head=False)

    def route(self, head):
        url = urlsplit(self.path)
        q = {k: v[-1] for k, v in parse_qs(url.query).items()}
        if url.path != "/_log":
            with LOG_LOCK:
                LOG.append("%s %s %s" % (self.command, self.path,
                                          self.headers.get("User-Agent", "-")))
        if url.path == "/_log":
            with LOG_LOCK:
                body = "".join(line + "\n" for line in LOG).encode()
            self.reply(200, "text/plain", body, head)
        elif url.path == "/version":
            self.reply(200, "text/plain", b"2.0.32.61\n", head)
        elif url.path == "/text":
            self.reply(int(q.get("code", "200")), "text/plain", b"text body\n", head)
        elif url.path == "/img":
            self.image(q, head)
        elif url.path == "/hang":
            self.hang(q.get("partial") == "1")
        else:
            self.reply(404, "text/plain", b"not found\n", head)

    def reply(self, code, ctype, body, head, length=None):
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        if length == "none":
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def image(self, q, head):
        n = int(q.get("len", "100"))
        ctype = q.get("type", "image/png")
        cl = q.get("cl", "auto")
        code = int(q.get("head" if head else "get", "200"))
        body = bytes(i % 251 for i in range(n))
        if head:
            self.reply(code, ctype, body, True, None if cl == "auto" else cl)
        else:
            self.reply(code, ctype, body, False)

    def hang(self, partial):
        if partial:
            self.wfile.write(b"HTTP/1.1 200")
            self.wfile.flush()
        sock = self.connection
        # Hold the connection until the client gives up or the server stops.
        while not STOP.is_set():
            r, _, _ = select.select([sock], [], [], 0.2)
            if r:
                try:
                    if not sock.recv(4096):
                        break
                except OSError:
                    break
        self.close_connection = True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    args = ap.parse_args()
    ThreadingHTTPServer.daemon_threads = True
    ThreadingHTTPServer.allow_reuse_address = True
    try:
        srv = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    except OSError as e:
        print("BIND-FAILED %s" % e, flush=True)
        sys.exit(3)
    print("READY %d" % srv.server_address[1], flush=True)
    try:
        srv.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    finally:
        STOP.set()


if __name__ == "__main__":
    main()
