#!/usr/bin/env python3
"""cv4870-web under 1,000 emulated mainframes at the default interval:
service CPU and memory, latency from a change in the emulator to its SSE
message, CPU per update with 100 SSE clients. Loopback only; every phase
ends by itself.

Usage: bench_web.py <cv4870-web> <cv4870-emulator> [mainframes]"""

import http.client
import json
import os
import random
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

WEB, EMULATOR = sys.argv[1], sys.argv[2]
COUNT = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def memory_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


class Api:
    def __init__(self, port):
        self.port, self.cookie, self.csrf = port, None, None

    def call(self, method, path, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        headers = {"Origin": "http://127.0.0.1:%d" % self.port}
        if self.cookie:
            headers["Cookie"] = "cv4870_session=" + self.cookie
        conn.request(method, path, body=json.dumps(body) if body else None, headers=headers)
        resp = conn.getresponse()
        data = json.loads(resp.read() or b"null")
        if resp.getheader("Set-Cookie"):
            self.cookie = resp.getheader("Set-Cookie").split(";")[0].split("=", 1)[1]
        conn.close()
        return data


def open_stream(port, cookie, query=""):
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    sock.sendall(("GET /api/v1/stream%s HTTP/1.0\r\nHost: 127.0.0.1:%d\r\nCookie: cv4870_session=%s\r\n\r\n"
                  % (query, port, cookie)).encode())
    return sock


class EventWatcher(threading.Thread):
    """Reads one stream and notes when each (mainframe, kind) event arrives."""

    def __init__(self, sock):
        super().__init__(daemon=True)
        self.sock, self.arrivals, self.buffer = sock, {}, b""
        self.start()

    def run(self):
        try:
            while True:
                chunk = self.sock.recv(1 << 16)
                if not chunk:
                    return
                self.buffer += chunk
                *blocks, self.buffer = self.buffer.split(b"\n\n")
                now = time.monotonic()
                for block in blocks:
                    if b"event: event" in block:
                        data = json.loads(block.split(b"data: ", 1)[1])
                        self.arrivals.setdefault((data["mainframe"], data["kind"]), []).append(now)
        except OSError:
            return


def sim(port, line):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall((line + "\n*OPC?\n").encode())
        reply = b""
        while not reply.endswith(b"\n"):
            reply += s.recv(64)


def latencies(watcher, ports, ids, samples):
    """Sets and clears SysFail on random mainframes; ms from the emulator
    having the change to the stream's event, both edges counted."""
    out = []
    for n in range(samples):
        i = random.randrange(len(ports))
        for kind, value in (("line_set", "ON"), ("line_cleared", "OFF")):
            # At a random point of the polling cycle, not right after a poll.
            time.sleep(random.uniform(0, 2.0))
            seen = len(watcher.arrivals.get((ids[i], kind), []))
            sim(ports[i], "SIM:SYSF " + value)
            since = time.monotonic()
            end = since + 15
            while time.monotonic() < end and len(watcher.arrivals.get((ids[i], kind), [])) <= seen:
                time.sleep(0.002)
            got = watcher.arrivals.get((ids[i], kind), [])
            if len(got) > seen:
                out.append((got[seen] - since) * 1000)
    return out


def main():
    random.seed(4870)
    tmp = tempfile.mkdtemp(prefix="bench-web-")
    emu = subprocess.Popen([EMULATOR, "--port", "0", "--count", str(COUNT), "--spread", "port", "--max-clients", "4",
                            "--simulation", "--ready"], stdout=subprocess.PIPE, text=True)
    ports = []
    for line in emu.stdout:
        if line.startswith("LISTENING"):
            ports.append(int(line.split()[3]))
        if line.startswith("READY"):
            break
    ids = ["mf-%04d" % i for i in range(COUNT)]
    with open(os.path.join(tmp, "targets"), "w") as f:
        for i, p in enumerate(ports):
            f.write("127.0.0.1:%d %s\n" % (p, ids[i]))
    users = os.path.join(tmp, "users")
    subprocess.run([WEB, "user", "add", "bench", "--role", "admin", "--users", users], input="bench\n", text=True,
                   check=True)
    web = subprocess.Popen([WEB, "--listen", "127.0.0.1:0", "--targets", os.path.join(tmp, "targets"), "--users",
                            users, "--db", os.path.join(tmp, "web.db"), "--ready"], stdout=subprocess.PIPE, text=True)
    port = int(web.stdout.readline().split()[2])
    try:
        api = Api(port)
        start = time.monotonic()
        while api.call("GET", "/api/v1/health")["mainframes"]["up"] < COUNT and time.monotonic() - start < 120:
            time.sleep(0.5)
        print("all %d mainframes up after %.1f s" % (COUNT, time.monotonic() - start))
        api.call("POST", "/api/v1/session", {"user": "bench", "password": "bench"})

        # 1. Steady state: no client.
        c0, t0 = cpu_seconds(web.pid), time.monotonic()
        time.sleep(30)
        c1, t1 = cpu_seconds(web.pid), time.monotonic()
        idle_share = (c1 - c0) / (t1 - t0)
        print("steady: CPU %.1f %% of one core, VmRSS %.1f MB, VmHWM %.1f MB, %d threads"
              % (100 * idle_share, memory_kb(web.pid, "VmRSS") / 1024, memory_kb(web.pid, "VmHWM") / 1024,
                 memory_kb(web.pid, "Threads")))

        # 2. Change to SSE message: a stream of every mainframe (polled every
        # 2 s), then a stream that follows one mainframe (polled every 0.5 s).
        watcher = EventWatcher(open_stream(port, api.cookie))
        time.sleep(1)
        lat = latencies(watcher, ports, ids, 20)
        print("latency, stream of all: n=%d p50 %.0f ms p99 %.0f ms max %.0f ms"
              % (len(lat), percentile(lat, 50), percentile(lat, 99), max(lat)))
        watcher.sock.close()
        one = random.randrange(COUNT)
        watcher = EventWatcher(open_stream(port, api.cookie, "?mainframes=" + ids[one]))
        time.sleep(1)
        lat = latencies(watcher, [ports[one]], [ids[one]], 15)
        print("latency, followed mainframe: n=%d p50 %.0f ms p99 %.0f ms max %.0f ms"
              % (len(lat), percentile(lat, 50), percentile(lat, 99), max(lat)))
        watcher.sock.close()

        # 3. 100 clients of every mainframe, read by one selector.
        sel = selectors.DefaultSelector()
        socks = [open_stream(port, api.cookie) for _ in range(100)]
        for s in socks:
            s.setblocking(False)
            sel.register(s, selectors.EVENT_READ)
        time.sleep(3)  # the first messages (every mainframe once) pass
        updates, closed, tail = 0, 0, {}
        c0, t0 = cpu_seconds(web.pid), time.monotonic()
        while time.monotonic() - t0 < 20:
            for key, _ in sel.select(timeout=0.5):
                try:
                    chunk = key.fileobj.recv(1 << 18)
                except BlockingIOError:
                    continue
                if not chunk:
                    sel.unregister(key.fileobj)
                    closed += 1
                    continue
                data = tail.get(key.fileobj, b"") + chunk
                updates += data.count(b"event: mainframe")
                tail[key.fileobj] = data[-20:]
        c1, t1 = cpu_seconds(web.pid), time.monotonic()
        share = (c1 - c0) / (t1 - t0)
        extra = (c1 - c0) - idle_share * (t1 - t0)
        print("100 clients: CPU %.1f %% of one core, %d updates delivered (%.0f/s), %.1f us CPU per update "
              "delivered (%.1f us above the steady state), %d clients dropped, VmHWM %.1f MB"
              % (100 * share, updates, updates / (t1 - t0), 1e6 * (c1 - c0) / max(updates, 1),
                 1e6 * extra / max(updates, 1), closed, memory_kb(web.pid, "VmHWM") / 1024))
        for s in socks:
            s.close()
    finally:
        web.terminate()
        web.wait(timeout=30)
        emu.terminate()
        emu.wait(timeout=30)
        subprocess.run(["rm", "-rf", tmp])


if __name__ == "__main__":
    main()
