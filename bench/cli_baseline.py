#!/usr/bin/env python3
"""Performance baseline of the console client: real orlavonix-cli processes
against the bundled server on loopback.

Prints one JSON object per figure on stdout (progress goes to stderr):
  latency   mouth-to-ear time of clicks fed into a speaker's sound port until
            they come out of a listener's sound port, over continuous talk
  cpu       CPU time and resident memory of a client over a measured interval
            (idle, receiving 1 and N speakers, sending)
  login     time to the end of the login and resident memory after it, on the
            demo server and under generated load

Usage: python3 bench/cli_baseline.py [--only latency,cpu,login] [--quick] ...
Needs a build of orlavonix-cli (cmake --build build); ORLAVONIX_CLI overrides
its path.
"""

import argparse
import array
import json
import math
import os
import select
import socket
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from e2e_support import CLI, RATE, Client, Server, free_port  # noqa: E402

BLOCK_BYTES = 2048
BLOCK_SAMPLES = BLOCK_BYTES // 2
PERIOD = BLOCK_SAMPLES / RATE  # 46.4 ms
CLK_TCK = os.sysconf("SC_CLK_TCK")


def log(text):
    print(text, file=sys.stderr, flush=True)


def emit(obj):
    print(json.dumps(obj), flush=True)


def loadavg():
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        # The command name may hold spaces; fields after it are fixed.
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime, stime


def sched_seconds(pid):
    """On-CPU time of all threads in ns resolution (utime+stime counts ticks)."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:
            pass  # a thread that ended meanwhile
    return total / 1e9


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for %d" % pid)


def tone_bytes(freq, seconds, amplitude):
    n = int(RATE * seconds)
    a = array.array("h", (int(amplitude * math.sin(2 * math.pi * freq * i / RATE)) for i in range(n)))
    return a.tobytes()


# A 5 ms tone burst at 1 kHz: short enough to time, long enough for an
# 8000 Hz speech codec to carry.
CLICK = tone_bytes(1000, 0.005, 20000)


class Peer(threading.Thread):
    """The program on the far side of a client's sound port. Sends the
    microphone in blocks paced by its own clock (as a sound card would) and
    keeps what the client plays, with the time each block arrived.

    Times of samples: a microphone block is stamped with the moment it is
    handed to the socket, and sample j of it with that time + j / RATE; a
    received block with the moment its first byte was read, and sample j with
    that time + j / RATE. Both ends are thus treated like a device that plays
    a block from the moment it has it."""

    def __init__(self, port, mic=None, record=False):
        super().__init__(daemon=True)
        self.port = port
        self.mic = mic  # bytes looped as the microphone, or None for silence
        self.record = record
        self.connected = threading.Event()
        self.stop_flag = threading.Event()
        self.lock = threading.Lock()
        self.click_wanted = 0
        self.clicks = []  # times at which a click left for the client
        self.received = bytearray()
        self.block_times = []  # arrival time of each received block's first byte
        self.received_bytes = 0
        self.max_backlog = 0  # bytes the client's port did not take at once
        self.loud_blocks = 0  # received blocks with a sample above 1000
        self._loud_tail = bytearray()
        self.error = None

    def request_click(self):
        with self.lock:
            self.click_wanted += 1

    def run(self):
        try:
            self._run()
        except OSError as e:
            self.error = repr(e)

    def _run(self):
        deadline = time.monotonic() + 20
        while True:
            try:
                sock = socket.create_connection(("127.0.0.1", self.port), timeout=1)
                break
            except OSError:
                if time.monotonic() > deadline or self.stop_flag.is_set():
                    return
                time.sleep(0.05)
        sock.setblocking(False)
        self.connected.set()
        silence = bytes(BLOCK_BYTES)
        start = time.monotonic()
        n = 0
        mic_pos = 0
        out = bytearray()
        while not self.stop_flag.is_set():
            now = time.monotonic()
            due = start + n * PERIOD
            if now >= due:
                if self.mic:
                    block = bytearray()
                    while len(block) < BLOCK_BYTES:
                        take = self.mic[mic_pos:mic_pos + BLOCK_BYTES - len(block)]
                        block += take
                        mic_pos = (mic_pos + len(take)) % len(self.mic)
                else:
                    block = bytearray(silence)
                with self.lock:
                    click = self.click_wanted > 0
                    if click:
                        self.click_wanted -= 1
                if click:
                    block[:len(CLICK)] = CLICK
                out += block
                sent_at = time.monotonic()
                if click:
                    self.clicks.append(sent_at)
                n += 1
            if out:
                try:
                    k = sock.send(out)
                    del out[:k]
                except BlockingIOError:
                    pass
                self.max_backlog = max(self.max_backlog, len(out))
            wait = max(0.0, start + n * PERIOD - time.monotonic())
            r, _, _ = select.select([sock], [sock] if out else [], [], min(wait, 0.1))
            if r:
                try:
                    data = sock.recv(65536)
                except BlockingIOError:
                    continue
                if not data:
                    break
                at = time.monotonic()
                first = self.received_bytes
                self.received_bytes += len(data)
                if self.record:
                    # Every block that starts inside this chunk arrived now.
                    b = (first + BLOCK_BYTES - 1) // BLOCK_BYTES
                    while b * BLOCK_BYTES < self.received_bytes:
                        self.block_times.append(at)
                        b += 1
                    self.received += data
                else:
                    self._loud_tail += data
                    whole = len(self._loud_tail) // BLOCK_BYTES * BLOCK_BYTES
                    if whole:
                        a = array.array("h")
                        a.frombytes(bytes(self._loud_tail[:whole]))
                        del self._loud_tail[:whole]
                        for i in range(0, len(a), BLOCK_SAMPLES):
                            if max(a[i:i + BLOCK_SAMPLES]) > 1000:
                                self.loud_blocks += 1
        sock.close()

    def stop(self):
        self.stop_flag.set()
        self.join(5)

    def sample_time(self, index):
        b = index // BLOCK_SAMPLES
        return self.block_times[b] + (index - b * BLOCK_SAMPLES) / RATE

    def samples(self):
        a = array.array("h")
        a.frombytes(bytes(self.received[:len(self.received) // 2 * 2]))
        return a


def find_onsets(samples, floor=600, gap_s=0.25, rel=0.2):
    """Start of each sound event in a mostly silent recording: events are runs
    of samples above `floor` separated by at least `gap_s` of quiet; the onset
    is the first sample of the event above `rel` of its peak."""
    gap = int(gap_s * RATE)
    events = []  # [first, last] index above floor
    for i, x in enumerate(samples):
        if x > floor or x < -floor:
            if events and i - events[-1][1] <= gap:
                events[-1][1] = i
            else:
                events.append([i, i])
    onsets = []
    for first, last in events:
        seg = samples[first:last + 1]
        peak = max(abs(x) for x in seg)
        limit = rel * peak
        onset = next(first + j for j, x in enumerate(seg) if abs(x) >= limit)
        onsets.append((onset, peak))
    return onsets


class Bench:
    def __init__(self, args):
        self.args = args
        self.cleanups = []

    def close(self):
        for fn in reversed(self.cleanups):
            try:
                fn()
            except Exception as e:  # noqa: BLE001 - cleanup goes on
                log("cleanup: %r" % e)
        self.cleanups = []

    def server(self, *args):
        s = Server(*args)
        self.cleanups.append(s.stop)
        return s

    def client(self, server, nick, mic=None, record=False, sound=True):
        """A console client; with sound, a Peer on its port. Returns (client, peer)."""
        extra = []
        port = None
        if sound:
            port = free_port()
            extra = ["--sound", "net:%d:L" % port, "--buffer", str(BLOCK_BYTES)]
        c = Client(server, nick, extra=extra, sound=False)

        def end():
            try:
                c.proc.stdin.close()
            except OSError:
                pass
            try:
                c.proc.wait(10)
            except Exception:  # noqa: BLE001
                c.proc.kill()
                c.proc.wait()
        self.cleanups.append(end)
        peer = None
        if sound:
            peer = Peer(port, mic=mic, record=record)
            peer.start()
            self.cleanups.append(peer.stop)
        c.wait_event("cb_initDone")
        if peer and not peer.connected.wait(10):
            raise RuntimeError("sound port of %s never accepted" % nick)
        return c, peer

    # --- 1. mouth-to-ear latency ------------------------------------------

    def latency(self, channel):
        a = self.args
        srv = self.server()
        speaker, mic = self.client(srv, "speaker")
        listener, ear = self.client(srv, "listener", record=True)
        codec = None
        for ch in srv.control("state")["channels"]:
            if ch["name"] == channel:
                cid, codec = ch["id"], ch["codec"]
        for c in (speaker, listener):
            if channel != "Lobby":
                assert c.command("SWITCH_CHANNEL_ID %d" % cid).startswith("OK")
                c.wait_event("cb_PlayerSwitchChannel", nick=c.nickname, newChannelId=cid)
        time.sleep(0.5)
        load_before = loadavg()
        bursts = [("continuous", a.clicks), ("next burst", a.next_clicks)]
        series = {}
        for name, count in bursts:
            if count == 0:
                continue
            assert speaker.command("TALK ON").startswith("OK")
            first_click = len(mic.clicks)
            t0 = time.monotonic()
            for k in range(count):
                # A click every second, the first half a second into the burst.
                wake = t0 + 0.5 + k
                time.sleep(max(0.0, wake - time.monotonic()))
                mic.request_click()
            time.sleep(0.6)
            assert speaker.command("TALK OFF").startswith("OK")
            series[name] = (first_click, len(mic.clicks))
            time.sleep(a.drain)  # the pre-buffer and the rest of the burst play out
        load_after = loadavg()
        samples = ear.samples()
        onsets = find_onsets(samples)
        clicks = mic.clicks
        # Each event belongs to the latest click that left before it; this is
        # unambiguous while the latency stays below the click spacing of 1 s.
        owner = {}
        for o, _ in onsets:
            t = ear.sample_time(o)
            k = max((i for i, c in enumerate(clicks) if c < t), default=None)
            if k is not None and k not in owner:
                owner[k] = t - clicks[k]
        results = []
        for name, (lo, hi) in series.items():
            lat = [round(owner[k] * 1000, 1) if k in owner else None for k in range(lo, hi)]
            ok = [x for x in lat if x is not None]
            results.append({
                "figure": "latency", "channel": channel, "codec": codec, "burst": name,
                "clicks": hi - lo, "arrived": len(ok),
                "first_ms": lat[0] if lat else None, "last_ms": lat[-1] if lat else None,
                "median_ms": round(statistics.median(ok), 1) if ok else None,
                "min_ms": min(ok) if ok else None, "max_ms": max(ok) if ok else None,
                "series_ms": lat,
                "ambiguous": any(x > 950 for x in ok),
                "mic_backlog_max_bytes": mic.max_backlog,
                "block_ms": round(PERIOD * 1000, 1),
                "loadavg": [load_before, load_after]})
        extra = len(onsets) - len(owner)  # events that followed another after one click
        for r in results:
            r["unmatched_events"] = extra
            emit(r)
        self.close()

    # --- 2. CPU time and resident memory -----------------------------------

    def measure(self, procs, seconds, srv=None, ear=None):
        """CPU share and RSS of each (label, client) over `seconds` of wall time;
        with srv and ear also the voice the server relayed meanwhile and the
        blocks with sound that the listener played."""
        relayed = srv.control("state", summary=True)["totals"].get("voice_relayed", 0) if srv else 0
        loud = ear.loud_blocks if ear else 0
        before = {label: cpu_seconds(c.proc.pid) for label, c in procs}
        sched = {label: sched_seconds(c.proc.pid) for label, c in procs}
        t0 = time.monotonic()
        peak = {label: 0 for label, _ in procs}
        while time.monotonic() - t0 < seconds:
            time.sleep(min(1.0, max(0.0, seconds - (time.monotonic() - t0))))
            for label, c in procs:
                peak[label] = max(peak[label], rss_kb(c.proc.pid))
        wall = time.monotonic() - t0
        out = {}
        for label, c in procs:
            used = cpu_seconds(c.proc.pid) - before[label]
            on_cpu = sched_seconds(c.proc.pid) - sched[label]
            out[label] = {"cpu_s": round(used, 3), "wall_s": round(wall, 2),
                          "cpu_percent": round(100 * used / wall, 2),
                          "sched_cpu_ms": round(on_cpu * 1000, 1),
                          "sched_cpu_percent": round(100 * on_cpu / wall, 3),
                          "rss_kb": rss_kb(c.proc.pid), "rss_peak_kb": peak[label]}
            if srv:
                out[label]["voice_packets_relayed"] = srv.control(
                    "state", summary=True)["totals"].get("voice_relayed", 0) - relayed
            if ear:
                out[label]["loud_blocks_played_by_listener"] = ear.loud_blocks - loud
        return out

    def cpu(self):
        a = self.args
        srv = self.server()
        listener, ear = self.client(srv, "listener")
        time.sleep(a.settle)
        load = loadavg()
        m = self.measure([("listener", listener)], a.seconds, srv, ear)["listener"]
        emit(dict(m, figure="cpu", state="idle, connected, sound port silent", loadavg=load))

        speakers = []
        for k in range(a.speakers):
            mic = tone_bytes(300 + 110 * k, 1.0, 6000)
            c, _ = self.client(srv, "speaker%d" % k, mic=mic)
            speakers.append(c)
        for n in sorted({1, a.speakers}):
            for c in speakers[:n]:
                assert c.command("TALK ON").startswith("OK")
            listener.wait_event("cb_SpeakStartStop", talking=1, timeout=10)
            time.sleep(a.settle)
            load = loadavg()
            got = self.measure([("listener", listener), ("speaker0", speakers[0])], a.seconds,
                               srv, ear)
            emit(dict(got["listener"], figure="cpu",
                      state="receiving %d speaker%s (real clients, codec 8)" % (n, "s" if n > 1 else ""),
                      loadavg=load))
            if n == 1:
                emit(dict(got["speaker0"], figure="cpu",
                          state="sending (push-to-talk held, heard by %d clients, codec 8)" % a.speakers, loadavg=load))
            for c in speakers[:n]:
                assert c.command("TALK OFF").startswith("OK")
            time.sleep(1.5)
        self.close()

    # --- 3. login under load ------------------------------------------------

    def login(self, label, generate):
        a = self.args
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump({"generate": generate} if generate else {}, f)
            cfg = f.name
        self.cleanups.append(lambda: os.unlink(cfg))
        srv = self.server("--config", cfg)
        runs = []
        failures = []
        k = 0
        while len(runs) < a.login_runs and len(failures) < 3:
            k += 1
            # Each login meets a server with nobody else on it.
            deadline = time.monotonic() + 15
            while srv.control("state", summary=True)["players"]["connected"]:
                if time.monotonic() > deadline:
                    raise RuntimeError("the previous login never left the server")
                time.sleep(0.1)
            t0 = time.monotonic()
            c = Client(srv, "bench%d" % k, sound=False)
            line = c.out.wait_for(lambda l: l.startswith('{"connect"'), 30)
            t_connect = time.monotonic()
            if json.loads(line)["result"] != 0:
                failures.append(json.loads(line))
                c.quit()
                continue
            c.out.wait_for(lambda l: '"name":"cb_initDone"' in l, 60)
            t_done = time.monotonic()
            cpu = cpu_seconds(c.proc.pid)
            time.sleep(0.5)
            runs.append({"connect_ms": round((t_connect - t0) * 1000, 1),
                         "init_done_ms": round((t_done - t0) * 1000, 1),
                         "lists_ms": round((t_done - t_connect) * 1000, 1),
                         "cpu_s_at_init_done": round(cpu, 2),
                         "rss_kb": rss_kb(c.proc.pid),
                         "event_lines": len(c.out.lines())})
            assert c.quit() == 0
        load = loadavg()
        summary = {"figure": "login", "load": label, "runs": runs, "failed_logins": failures,
                   "loadavg": load}
        for key in ("init_done_ms", "lists_ms", "rss_kb"):
            vals = [r[key] for r in runs] or [0]
            summary[key + "_median"] = statistics.median(vals)
            summary[key + "_range"] = [min(vals), max(vals)]
        emit(summary)
        self.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--only", default="latency,cpu,login",
                   help="comma-separated subset of latency,cpu,login")
    p.add_argument("--channels", default="Red,Lobby",
                   help="channels of the latency run (demo server: Red codec 7, Lobby codec 8)")
    p.add_argument("--clicks", type=int, default=30, help="clicks, one per second, in the long burst")
    p.add_argument("--next-clicks", type=int, default=3,
                   help="clicks in a second burst after the long one (0: none)")
    p.add_argument("--drain", type=float, default=2.5, help="seconds to wait after each burst")
    p.add_argument("--seconds", type=float, default=10, help="measured interval of each CPU figure")
    p.add_argument("--settle", type=float, default=2, help="seconds before each CPU interval")
    p.add_argument("--speakers", type=int, default=8, help="speakers of the largest CPU figure")
    p.add_argument("--login-runs", type=int, default=3)
    p.add_argument("--login-channels", type=int, default=600)
    p.add_argument("--login-players", type=int, default=5000)
    p.add_argument("--quick", action="store_true",
                   help="a short run: 8 clicks, 3 s CPU intervals, one login each")
    a = p.parse_args()
    if a.quick:
        a.clicks, a.seconds, a.settle, a.login_runs = 8, 3, 1, 1
    if not os.access(CLI, os.X_OK):
        sys.exit("no console client at %s: build it first (cmake --build build)" % CLI)
    only = set(a.only.split(","))
    bench = Bench(a)
    started = time.monotonic()
    emit({"figure": "machine", "cpus": os.cpu_count(), "loadavg": loadavg(),
          "date": time.strftime("%Y-%m-%d %H:%M:%S"), "cli": os.path.relpath(CLI)})
    try:
        if "latency" in only:
            for ch in a.channels.split(","):
                log("latency in %s ..." % ch)
                bench.latency(ch)
        if "cpu" in only:
            log("cpu and memory ...")
            bench.cpu()
        if "login" in only:
            log("login ...")
            bench.login("demo server (6 channels)", None)
            bench.login("%d generated channels, %d generated players" % (a.login_channels, a.login_players),
                        {"channels": a.login_channels, "players": a.login_players})
    finally:
        bench.close()
    log("done in %.0f s" % (time.monotonic() - started))


if __name__ == "__main__":
    main()
