"""Real processes on loopback: the bundled server, console clients with
network sound ports, and a sound peer per client that plays the microphone
and records the speaker."""

import json
import math
import os
import queue
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

SOURCE_DIR = os.environ.get("ORLAVONIX_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
CLI = os.environ.get("ORLAVONIX_CLI", os.path.join(SOURCE_DIR, "build", "src", "cli", "orlavonix-cli"))
SERVER = os.path.join(SOURCE_DIR, "testserver", "server.py")
RATE = 22050


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LineReader:
    """Collects a process's stdout lines on a thread."""

    def __init__(self, stream):
        self.seen = []
        self.ended = False
        self._cond = threading.Condition()
        self._t = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self._t.start()

    def _run(self, stream):
        for line in iter(stream.readline, ""):
            with self._cond:
                self.seen.append(line.rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self.ended = True
            self._cond.notify_all()

    def lines(self):
        with self._cond:
            return list(self.seen)

    def wait_for(self, pred, timeout, start=0):
        """Returns the first line from index start on that matches."""
        deadline = time.monotonic() + timeout
        i = start
        with self._cond:
            while True:
                while i < len(self.seen):
                    if pred(self.seen[i]):
                        return self.seen[i]
                    i += 1
                left = deadline - time.monotonic()
                if self.ended or left <= 0:
                    raise AssertionError("%s waiting; last lines: %r" % (
                        "process ended" if self.ended else "timed out", self.seen[-8:]))
                self._cond.wait(left)


class Server:
    def __init__(self, *args):
        self.proc = subprocess.Popen(
            [sys.executable, SERVER, "--port", "0", "--control-port", "0", *args],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.out = LineReader(self.proc.stdout)
        ready = self.out.wait_for(lambda l: l.startswith("READY"), 20)
        fields = dict(f.split("=", 1) for f in ready.split()[1:])
        self.udp_port = int(fields["udp"].rsplit(":", 1)[1])
        self.control_port = int(fields["control"].rsplit(":", 1)[1])
        self._control = socket.create_connection(("127.0.0.1", self.control_port), timeout=10)
        self._control_file = self._control.makefile("r")

    def control(self, cmd, **args):
        msg = dict(args, cmd=cmd)
        self._control.sendall((json.dumps(msg) + "\n").encode())
        return json.loads(self._control_file.readline())

    def stop(self):
        try:
            self._control.close()
        except OSError:
            pass
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


class SoundPeer(threading.Thread):
    """The other end of a client's network sound port: sends microphone
    samples in real time and records what the client plays."""

    BLOCK = 2048  # bytes, as the client is started with

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.mic = []  # samples queued for the microphone
        self.heard = []  # (time, samples) of what the client played
        self.lock = threading.Lock()
        self.stop_flag = threading.Event()
        self.connected = threading.Event()

    def play(self, samples):
        with self.lock:
            self.mic.extend(samples)

    def run(self):
        deadline = time.monotonic() + 20
        while not self.stop_flag.is_set():
            try:
                sock = socket.create_connection(("127.0.0.1", self.port), timeout=1)
                break
            except OSError:
                if time.monotonic() > deadline:
                    return
                time.sleep(0.05)
        else:
            return
        sock.setblocking(False)
        self.connected.set()
        period = self.BLOCK / 2 / RATE
        start = time.monotonic()
        n = 0
        buf = b""
        while not self.stop_flag.is_set():
            due = start + n * period
            now = time.monotonic()
            if now >= due:
                with self.lock:
                    block = self.mic[: self.BLOCK // 2]
                    del self.mic[: self.BLOCK // 2]
                block += [0] * (self.BLOCK // 2 - len(block))
                try:
                    sock.sendall(struct.pack("<%dh" % len(block), *block))
                except (BlockingIOError, OSError):
                    pass
                n += 1
            try:
                data = sock.recv(65536)
                if data == b"":
                    break
                buf += data
                whole = len(buf) // 2 * 2
                if whole:
                    samples = struct.unpack("<%dh" % (whole // 2), buf[:whole])
                    buf = buf[whole:]
                    with self.lock:
                        self.heard.append((time.monotonic(), samples))
            except BlockingIOError:
                pass
            time.sleep(0.002)
        sock.close()

    def recorded(self, since=0.0):
        with self.lock:
            out = []
            for t, s in self.heard:
                if t >= since:
                    out.extend(s)
            return out

    def stop(self):
        self.stop_flag.set()
        self.join(5)


class Client:
    def __init__(self, server, nickname, extra=(), sound=True, link_extra=""):
        self.sound_port = free_port() if sound else None
        args = [CLI]
        if sound:
            args += ["--sound", "net:%d:L" % self.sound_port, "--buffer", str(SoundPeer.BLOCK)]
        args += list(extra)
        args.append("orlavonix://127.0.0.1:%d?nickname=%s%s" % (server.udp_port, nickname, link_extra))
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.out = LineReader(self.proc.stdout)
        self.nickname = nickname
        self.peer = None
        if sound:
            self.peer = SoundPeer(self.sound_port)
            self.peer.start()

    def events(self, name):
        return [json.loads(l) for l in self.out.lines() if '"name":"%s"' % name in l]

    def wait_event(self, name, timeout=20, **fields):
        def match(line):
            if '"name":"%s"' % name not in line:
                return False
            ev = json.loads(line)
            return all(ev.get(k) == v for k, v in fields.items())
        return json.loads(self.out.wait_for(match, timeout))

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def command(self, line, timeout=10):
        """Sends a command and returns its reply text."""
        marker = len(self.out.lines())
        self.send(line)
        def match(l):
            return l.startswith('{"command":') and json.loads(l)["command"] == line
        return json.loads(self.out.wait_for(match, timeout, start=marker))["reply"]

    def quit(self, timeout=15):
        if self.peer:
            self.peer.stop()
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise


def tone(freq, seconds, amplitude=8000):
    n = int(RATE * seconds)
    return [int(amplitude * math.sin(2 * math.pi * freq * i / RATE)) for i in range(n)]


def power_at(samples, freq):
    """Goertzel power of one frequency, normalised by the length."""
    if not samples:
        return 0.0
    k = 2 * math.cos(2 * math.pi * freq / RATE)
    s1 = s2 = 0.0
    for x in samples:
        s0 = x + k * s1 - s2
        s2, s1 = s1, s0
    return (s1 * s1 + s2 * s2 - k * s1 * s2) / len(samples) ** 2


def rms(samples):
    if not samples:
        return 0.0
    return math.sqrt(sum(x * x for x in samples) / len(samples))


def dominant(samples, candidates):
    return max(candidates, key=lambda f: power_at(samples, f))


def wait_until(pred, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(step)
    return pred()
