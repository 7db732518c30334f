#!/usr/bin/env python3
"""The exporter's HTTP side against bad and hostile input, on loopback.

Usage: test_exporter_http.py <cv4870-exporter> <cv4870-emulator> <promtool>

A listener that never answers stands in for a mainframe outside the
allow-list (it must see no connection) and for a silent one inside it.
Hostile clients trickle requests a byte at a time, from one address, while
a good client scrapes from another."""

import http.client
import json
import os
import resource
import selectors
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor

from harness import Exporter, basic, cvtest, get, make_web_config, samples, tls_context

EXPORTER = EMULATOR = PROMTOOL = None


def cpu_seconds(pid):
    """User and system CPU time of a process, from /proc."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def trickle(port, count, seconds):
    """Opens count connections from 127.0.0.1 that send one header byte every
    2 to 4 s while a good client on 127.0.0.2 scrapes /metrics once a second.
    Returns (good answers within 1 s, good scrapes, lifetimes of the closed
    trickling connections in seconds, still open at the end)."""
    sel = selectors.DefaultSelector()
    text = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 200
    begin = time.monotonic()
    conns = []
    for i in range(count):
        sock = socket.socket()
        sock.setblocking(False)
        sock.connect_ex(("127.0.0.1", port))
        conns.append({"sock": sock, "opened": time.monotonic(), "closed": None, "sent": 0,
                      "next": time.monotonic() + 2 + (i % 20) / 10})
        sel.register(sock, selectors.EVENT_READ, conns[-1])
    good = answered = 0
    while time.monotonic() < begin + seconds:
        if time.monotonic() >= begin + 1 + good:
            good += 1
            started = time.monotonic()
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1, source_address=("127.0.0.2", 0)) as s:
                    s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                    if s.recv(64).startswith(b"HTTP/1.1 200") and time.monotonic() - started <= 1:
                        answered += 1
            except OSError:
                pass
        for key, _ in sel.select(timeout=0.05):
            try:
                data = key.fileobj.recv(4096)
            except OSError:
                data = b""
            if not data:
                key.data["closed"] = time.monotonic()
                sel.unregister(key.fileobj)
        now = time.monotonic()
        for conn in conns:
            if conn["closed"] is None and now >= conn["next"]:
                conn["next"] = now + 2 + (conn["sent"] % 3)
                try:
                    conn["sock"].send(text[conn["sent"]:conn["sent"] + 1])
                    conn["sent"] += 1
                except OSError:
                    pass
    sel.close()
    for conn in conns:
        conn["sock"].close()
    lifetimes = [c["closed"] - c["opened"] for c in conns if c["closed"] is not None]
    return answered, good, lifetimes, count - len(lifetimes)


def staggered(call, count, gap):
    """Starts count calls of call() in threads, gap seconds apart; their futures."""
    pool = ThreadPoolExecutor(count)
    futures = []
    for _ in range(count):
        futures.append(pool.submit(call))
        time.sleep(gap)
    pool.shutdown(wait=False)
    return futures


class ExporterHttp(unittest.TestCase):
    def test_scrapes_and_refusals(self):
        outside, silent = cvtest.listener(), cvtest.listener()
        self.addCleanup(outside.close)
        self.addCleanup(silent.close)
        with cvtest.Emulator(EMULATOR, "--simulation", "--description", 'Rack "A" \\ left') as emulator, \
                Exporter(EXPORTER, "--connection-timeout", "2", "--session-idle", "3",
                         "--allow", "TCPIP0::127.0.0.1::%d::SOCKET" % emulator.port,
                         "--allow", "TCPIP0::127.0.0.1::%d::SOCKET" % silent.getsockname()[1]) as exporter:
            emu, base, port = emulator.target, exporter.base, exporter.port
            # A real scrape: up, escaped identity, lint-clean.
            status, ctype, body = get("%s/probe?target=%s" % (base, emu))
            self.assertEqual(status, 200)
            self.assertTrue(ctype.startswith("text/plain; version=0.0.4"), ctype)
            values = samples(body)
            self.assertEqual(values.get("cv4870_up"), 1, body[:200])
            self.assertAlmostEqual(values.get('cv4870_output_voltage_volts{output="+24V"}', 0), 24, delta=1)
            self.assertIn('description="Rack \\"A\\" \\\\ left"', body)
            # Scrapes reuse their connection, as Prometheus does.
            keep = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            for _ in range(2):
                keep.request("GET", "/probe?target=" + emu)
                response = keep.getresponse()
                self.assertEqual(response.status, 200)
                self.assertIn(b"cv4870_up 1", response.read())
            self.assertIsNotNone(keep.sock, "one connection for both")
            keep.close()
            for path in ("/probe?target=" + emu, "/metrics"):
                lint = subprocess.run([PROMTOOL, "check", "metrics"], input=get(base + path)[2], text=True,
                                      capture_output=True, timeout=30)
                self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)

            # Refused before any connection: bad, unknown, over-long and
            # not-allowed targets, and wrong requests.
            o = outside.getsockname()[1]
            refused = [
                ("/probe", 400), ("/probe?", 400), ("/probe?target", 400), ("/probe?target=", 400),
                ("/probe?target=%zz", 400), ("/probe?target=a%00b", 400), ("/probe?target=127.0.0.1:0", 400),
                ("/probe?target=127.0.0.1:99999", 400), ("/probe?target=%s&target=%s" % (emu, emu), 400),
                ("/probe?target=" + "a" * 300, 400), ("/probe?target=x%20y", 400),
                ("/probe?target=127.0.0.1:%d" % o, 403), ("/probe?target=localhost:%d" % o, 403),
                ("/probe?target=127.1:%d" % o, 400), ("/probe?target=2130706433:%d" % o, 400),
                ("/probe?target=0x7f000001:%d" % o, 400), ("/probe?target=127.0.0.1.:%d" % o, 400),
                ("/probe?target=TCPIP0::127.0.0.1::%d::SOCKET" % o, 403),
                ("/probe?target=TCPIP0::[::1]::%d::SOCKET" % o, 403),
                ("/probe?target=TCPIP0::127.0.0.1::INSTR", 400), ("/probe?target=ASRL1::INSTR", 400),
                ("/probe?target=10.0.0.1", 403), ("/nothing", 404),
            ]
            for path, expected in refused:
                with self.subTest(path=path[:60]):
                    status, _, body = get(base + path)
                    self.assertEqual(status, expected, body[:120])
            self.assertIn(get(base + "/probe?target=" + "b" * 20000)[0], (413, 414, 431), "over-long URL")
            with socket.create_connection(("127.0.0.1", port), timeout=10) as post:
                post.sendall(b"POST /probe?target=%s HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"
                             % emu.encode())
                self.assertTrue(post.recv(64).startswith(b"HTTP/1.1 405"))

            # A request that never finishes is closed by the connection timeout.
            with socket.create_connection(("127.0.0.1", port), timeout=10) as slow:
                slow.sendall(b"GET /probe?target=")
                began = time.monotonic()
                self.assertEqual(slow.recv(1024), b"", "unfinished request closed")
                self.assertLess(time.monotonic() - began, 6)

            # A silent mainframe costs its own probe only, within the scrape
            # timeout, and two scrapes of it share one read; the emulated one
            # answers meanwhile.
            def timed_silent_probe():
                start = time.monotonic()
                return get("%s/probe?target=127.0.0.1:%d" % (base, silent.getsockname()[1]),
                           {"X-Prometheus-Scrape-Timeout-Seconds": "1.5"}), time.monotonic() - start

            silent_probes = staggered(timed_silent_probe, 2, 0.1)
            start = time.monotonic()
            status, _, body = get("%s/probe?target=%s" % (base, emu))
            self.assertLess(time.monotonic() - start, 1.0, "live probe beside a silent one")
            self.assertEqual((status, samples(body)["cv4870_up"]), (200, 1))
            for probe in silent_probes:
                (status, _, body), took = probe.result(timeout=10)
                with self.subTest(silent_probe=silent_probes.index(probe)):
                    self.assertEqual((status, samples(body)["cv4870_up"]), (200, 0), body)
                    self.assertTrue(1.0 < took < 1.5, "%.2f s, over the scrape timeout" % took)
            own = samples(get(base + "/metrics")[2])
            self.assertEqual(own.get("cv4870_exporter_shared_reads_total"), 1, own)
            self.assertEqual(own.get('cv4870_exporter_errors_total{kind="denied"}'),
                             sum(1 for _, expected in refused if expected == 403), own)
            self.assertEqual(own.get('cv4870_exporter_errors_total{kind="timeout"}'), 2, own)
            self.assertEqual(len(cvtest.accept_all(silent)), 1, "silent listener reached")
            self.assertEqual(cvtest.accept_all(outside), [], "connection outside the allow-list")

            # An error the mainframe reports is counted as its own kind.
            with socket.create_connection(("127.0.0.1", emulator.port), timeout=5) as raw:
                raw.sendall(b"SIM:ERR 1\n*OPC?\n")
                raw.recv(16)
            self.assertEqual(samples(get("%s/probe?target=%s" % (base, emu))[2])["cv4870_up"], 0)
            own = samples(get(base + "/metrics")[2])
            self.assertEqual(own.get('cv4870_exporter_errors_total{kind="mainframe"}'), 1, own)

            # The silent mainframe's session goes once it is no longer scraped.
            self.assertEqual(own.get("cv4870_exporter_sessions"), 2)
            time.sleep(3.5)
            get("%s/probe?target=%s" % (base, emu))
            self.assertEqual(samples(get(base + "/metrics")[2]).get("cv4870_exporter_sessions"), 1, "idle session")

            # The exporter's own overload is 503; the probe it does take still
            # answers 200 with the mainframe down.
            with Exporter(EXPORTER, "--max-probes", "1", "--allow", "127.0.0.1") as small:
                busy = staggered(lambda: get("%s/probe?target=127.0.0.1:%d" % (small.base, silent.getsockname()[1]),
                                             {"X-Prometheus-Scrape-Timeout-Seconds": "1"})[0], 2, 0.2)
                self.assertEqual(sorted(f.result(timeout=10) for f in busy), [200, 503], "one probe over the limit")
            self.assertEqual(exporter.stop(), 0, "clean stop on SIGTERM")

    def serve_hostile(self, nofile=None):
        """1,100 trickling connections against an exporter with a 5 s request
        deadline, optionally under a lowered descriptor limit; returns the
        trickle figures and the exporter's CPU share."""
        def lower():
            if nofile:
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

        with Exporter(EXPORTER, "--request-deadline", "5", preexec_fn=lower, stderr=subprocess.DEVNULL) as exporter:
            port, pid = exporter.port, exporter.proc.pid
            cpu, began = cpu_seconds(pid), time.monotonic()
            answered, good, lifetimes, still_open = trickle(port, 1100, 20)
            share = (cpu_seconds(pid) - cpu) / (time.monotonic() - began)
        self.assertGreaterEqual(answered, 0.95 * good, "good scrapes answered within 1 s")
        self.assertEqual(still_open, 0, "trickling connections left open")
        self.assertLessEqual(max(lifetimes), 7.0, "a trickling connection outlived the 5 s deadline")
        return share

    def test_trickling_clients_lock_out_no_one(self):
        self.serve_hostile()

    def test_descriptor_limit_neither_locks_out_nor_spins(self):
        self.assertLess(self.serve_hostile(nofile=128), 1 / 3, "CPU share of a core")

    def test_limits_and_malformed_requests(self):
        with Exporter(EXPORTER, "--max-connections-per-ip", "3") as exporter:
            port = exporter.port

            def exchange(data, source="127.0.0.1"):
                sock = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(source, 0))
                try:
                    sock.sendall(data)
                    return sock.recv(64)
                except ConnectionResetError:
                    return b"reset"
                finally:
                    sock.close()

            cases = [
                (b"GET /" + b"a" * 16384 + b" HTTP/1.1\r\nHost: x\r\n\r\n", b"HTTP/1.1 414"),
                (b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + b"b" * 40000 + b"\r\n\r\n", b"HTTP/1.1 431"),
                (b"POST /probe HTTP/1.1\r\nHost: x\r\nContent-Length: 9000\r\n\r\n" + b"c" * 9000,
                 b"HTTP/1.1 413"),
                (b"GET / HTTP/1.1\r\nHost: x\r\nNo colon\r\n\r\n", b"HTTP/1.1 400"),
                (b"GET /metrics HTTP/1.1\r\n\r\n", b"HTTP/1.1 400"),  # no Host
                (b"GET /-/healthy HTTP/1.1\r\nHost: x\r\n\r\n", b"HTTP/1.1 200"),
                (b"GET /-/ready HTTP/1.0\r\n\r\n", b"HTTP/1.1 200"),
            ]
            for data, expected in cases:
                with self.subTest(request=data[:40]):
                    self.assertTrue(exchange(data).startswith(expected))

            # Three idle connections from one address; its fourth is closed
            # unanswered while another address is served.
            idle = [socket.create_connection(("127.0.0.1", port), timeout=5, source_address=("127.0.0.3", 0))
                    for _ in range(3)]
            time.sleep(0.3)
            self.assertIn(exchange(b"GET /metrics HTTP/1.0\r\n\r\n", "127.0.0.3"), (b"", b"reset"))
            self.assertTrue(exchange(b"GET /metrics HTTP/1.0\r\n\r\n", "127.0.0.4").startswith(b"HTTP/1.1 200"))
            for sock in idle:
                sock.close()

    def test_bad_options_and_files_exit_2_with_one_line(self):
        with tempfile.TemporaryDirectory() as tmp:
            config, _ = make_web_config(tmp)
            os.remove(os.path.join(tmp, "exporter.key"))
            bad, fifo, big = (os.path.join(tmp, name) for name in ("bad.yml", "fifo", "big"))
            with open(bad, "w") as f:
                f.write("basic_auth_users: {prom: plain}\n")
            os.mkfifo(fifo)
            with open(big, "w") as f:
                f.write("127.0.0.1\n" * 200000)
            # A hang on the fifo or a read without end of /dev/zero times out.
            for args in (["--probe-timeout", "nan"], ["--probe-timeout", "inf"], ["--request-deadline", "-inf"],
                         ["--max-probes", "nan"], ["--max-connections", "0"], ["--connection-timeout"],
                         ["--web.listen-address", "localhost:9870"], ["--listen", "127.0.0.1"], ["--no-such"],
                         ["--log.level", "loud"], ["--log.format", "xml"], ["--allow", "10.0.0.0/33"],
                         ["--web.config.file", config], ["--web.config.file", bad],
                         ["--web.config.file", os.path.join(tmp, "missing.yml")], ["--allow-file", fifo],
                         ["--allow-file", "/dev/zero"], ["--allow-file", big]):
                with self.subTest(args=[os.path.basename(a) for a in args]):
                    run = subprocess.run([EXPORTER] + args, capture_output=True, text=True, timeout=10)
                    self.assertEqual(run.returncode, 2, run.stderr)
                    self.assertEqual(len(run.stderr.strip().splitlines()), 1, run.stderr)
        run = subprocess.run([EXPORTER, "--version"], capture_output=True, text=True, timeout=10)
        self.assertRegex(run.stdout, r"^cv4870-exporter \d+\.\d+\.\d+")


class ExporterWebConfig(unittest.TestCase):
    """--web.config.file: TLS and basic authentication as Prometheus' exporters do them."""

    def test_tls_and_basic_auth(self):
        with tempfile.TemporaryDirectory() as tmp:
            config, cert = make_web_config(tmp, extra_tls="  min_version: TLS13\n")
            exporter = Exporter(EXPORTER, "--web.config.file", config)
            self.addCleanup(exporter.stop)
            base = exporter.base.replace("http:", "https:")
            tls = tls_context(cert)
            rows = ((None, "/-/healthy", 401), (basic("prom", "secret"), "/-/healthy", 200),
                    (basic("prom", "Secret"), "/metrics", 401), (basic("nobody", "secret"), "/metrics", 401),
                    ({"Authorization": "Basic !"}, "/metrics", 401), (basic("prom", "secret"), "/metrics", 200))
            for headers, path, expected in rows:
                with self.subTest(headers=headers, path=path):
                    status, _, _ = get(base + path, headers=headers, context=tls)
                    self.assertEqual(status, expected)
            with self.assertRaises(urllib.error.HTTPError) as refused:
                urllib.request.urlopen(base + "/-/healthy", timeout=10, context=tls)
            self.assertEqual(refused.exception.headers.get("WWW-Authenticate"), 'Basic realm="cv4870-exporter"')
            old = tls_context(cert)
            old.maximum_version = ssl.TLSVersion.TLSv1_2  # under min_version
            with self.assertRaises(urllib.error.URLError):
                get(base + "/-/healthy", context=old, headers=basic("prom", "secret"))
            with self.assertRaises((OSError, http.client.HTTPException)):  # plain HTTP to a TLS port
                get(base.replace("https:", "http:") + "/-/healthy", timeout=5)

    def test_allow_list_reload_and_failure_reason(self):
        target = "127.0.0.1:%d" % cvtest.free_port()  # a port that refuses
        with tempfile.TemporaryDirectory() as tmp:
            allow = os.path.join(tmp, "allow.conf")
            with open(allow, "w") as f:
                f.write("127.0.0.2\n")
            exporter = Exporter(EXPORTER, "--allow-file", allow, "--web.enable-lifecycle", "--log.format", "json",
                                "-v", stderr=subprocess.PIPE)
            self.addCleanup(exporter.stop)
            plain = Exporter(EXPORTER, "--allow-file", allow)
            self.addCleanup(plain.stop)
            proc, base, plain_base = exporter.proc, exporter.base, plain.base
            probe = base + "/probe?target=" + target
            self.assertEqual(get(probe)[0], 403)
            rows = (("127.0.0.1\n", "POST", 200), ("127.0.0.1/33\n", "POST", 500), ("127.0.0.1\n", "HUP", None),
                    ("bad_name\n", "HUP", None))
            for text, how, expected in rows:
                with open(allow, "w") as f:
                    f.write(text)
                if how == "HUP":
                    proc.send_signal(signal.SIGHUP)
                    time.sleep(0.3)
                else:
                    self.assertEqual(get(base + "/-/reload", method=how)[0], expected, text)
                # A bad list keeps the one in force: the target stays allowed.
                status, _, body = get(probe)
                self.assertEqual(status, 200, text)
                values = samples(body)
                self.assertEqual(values.get("cv4870_up"), 0)
                self.assertEqual(values.get('cv4870_probe_failure{reason="refused"}'), 1, body)
                self.assertEqual(sum(v for k, v in values.items() if k.startswith("cv4870_probe_failure")), 1)
                own = samples(get(base + "/metrics")[2])
                self.assertEqual(own["cv4870_exporter_allow_list_last_reload_successful"], 0 if "/" in text or
                                 "_" in text else 1, text)
            self.assertEqual(get(base + "/-/reload")[0], 405)
            self.assertEqual(get(plain_base + "/-/reload", method="POST")[0], 403)
            proc.terminate()
            proc.wait(timeout=10)
            with proc.stderr:
                log = [json.loads(line) for line in proc.stderr.read().splitlines()]
            self.assertEqual(sum(1 for e in log if e["msg"].startswith("allow-list not reloaded")), 2, log)
            self.assertTrue(any(e["msg"] == "probe failed" and e["reason"] == "refused" for e in log), log)


class Relay:
    """Accepts on [::1] and forwards each connection to a port on 127.0.0.1."""

    def __init__(self, port):
        self.sock = socket.create_server(("::1", 0), family=socket.AF_INET6, backlog=16)
        self.port, self.target = self.sock.getsockname()[1], port
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                down = self.sock.accept()[0]
            except OSError:
                return
            up = socket.create_connection(("127.0.0.1", self.target), timeout=10)
            for a, b in ((down, up), (up, down)):
                threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    @staticmethod
    def _pump(src, dst):
        try:
            while data := src.recv(65536):
                dst.sendall(data)
        except OSError:
            pass
        for sock in (src, dst):
            sock.close()


class ExporterTargets(unittest.TestCase):
    """One session per mainframe whatever the spelling, IPv6 spellings of
    IPv4 addresses judged as those, bracketed IPv6, the allow file."""

    def probe(self, base, target):
        status, _, body = get("%s/probe?target=%s" % (base, target))
        return status, samples(body).get("cv4870_up") if status == 200 else None

    def test_spellings_of_one_mainframe_share_one_session(self):
        with tempfile.TemporaryFile("w+") as log, \
                cvtest.Emulator(EMULATOR, "--max-clients", "4", "-v", address="127.0.0.10", stderr=log) as emu, \
                Exporter(EXPORTER, "--allow", "127.0.0.0/8") as exporter:
            port, base = emu.port, exporter.base
            forms = ["TCPIP%d::127.0.0.10::%d::SOCKET", "tcpip%d::127.0.0.010::%d::socket",
                     "TCPIP%d::127.000.000.010::%d::SOCKET", "TCPIP%d::[::ffff:127.0.0.10]::%d::SOCKET"]
            spellings = [forms[i % 4] % (i, port) for i in range(1100)]
            with ThreadPoolExecutor(32) as pool:
                answers = list(pool.map(lambda t: self.probe(base, t), spellings))
            self.assertEqual(answers.count((200, 1)), len(spellings), set(answers))
            self.assertEqual(self.probe(base, "127.0.0.10:%d" % port), (200, 1))
            self.assertEqual(samples(get(base + "/metrics")[2])["cv4870_exporter_sessions"], 1)
            # The mainframe saw one connection and still has room for others.
            with socket.create_connection(("127.0.0.10", port), timeout=5, source_address=("127.0.0.2", 0)) as other:
                other.sendall(b"*IDN?\n")
                self.assertIn(b"4870", other.recv(256))
            log.seek(0)
            self.assertEqual(log.read().count("connection from 127.0.0.1"), 1)

    def test_ipv6_spellings_of_a_refused_ipv4_address_are_refused(self):
        outside = cvtest.listener("127.0.0.200")
        p = outside.getsockname()[1]
        with Exporter(EXPORTER, "--allow", "127.0.0.0/26", "--allow", "::/0") as exporter:
            base = exporter.base
            for target in ("127.0.0.200:%d" % p, "[::ffff:127.0.0.200]:%d" % p, "[::ffff:7f00:c8]:%d" % p,
                           "[64:ff9b::7f00:c8]:%d" % p, "TCPIP0::[::ffff:127.0.0.200]::%d::SOCKET" % p,
                           "TCPIP0::[0:0:0:0:0:ffff:7f00:c8]::%d::SOCKET" % p):
                with self.subTest(target=target):
                    self.assertEqual(self.probe(base, target), (403, None))
        self.assertEqual(cvtest.accept_all(outside), [])
        outside.close()

    def test_bracketed_ipv6_targets(self):
        with cvtest.Emulator(EMULATOR, "--simulation") as emu, Exporter(EXPORTER, "--allow", "::1") as exporter:
            relay = Relay(emu.port)
            base = exporter.base
            r = relay.port
            for target in ("[::1]:%d" % r, "[0:0:0:0:0:0:0:1]:%d" % r, "TCPIP0::[::1]::%d::SOCKET" % r,
                           "TCPIP0::[0:0:0:0:0:0:0:1]::%d::SOCKET" % r, "tcpip3::[0::1]::%d::socket" % r):
                with self.subTest(target=target):
                    self.assertEqual(self.probe(base, target), (200, 1))
            self.assertEqual(samples(get(base + "/metrics")[2])["cv4870_exporter_sessions"], 1)
            relay.sock.close()


if __name__ == "__main__":
    EXPORTER, EMULATOR, PROMTOOL = cvtest.take_args(3)
    # A thousand sockets and more.
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    cvtest.main()
