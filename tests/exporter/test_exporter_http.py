#!/usr/bin/env python3
"""The exporter's HTTP side against bad and hostile input, on loopback.

Usage: test_exporter_http.py <cv4870-exporter> <cv4870-emulator> <promtool>

A listener that never answers stands in for a mainframe outside the
allow-list (it must see no connection) and for a silent one inside it."""

import http.client
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from harness import Listener, Processes, get, read_lines_until, samples, start_emulator, start_exporter

failures = []


def check(what, ok, detail=""):
    if not ok:
        failures.append("%s %s" % (what, detail))


def main():
    exporter, emulator, promtool = sys.argv[1:4]
    outside = Listener()
    silent = Listener()
    with Processes() as procs:
        _, ports = start_emulator(procs, emulator, 1, "--description", 'Rack "A" \\ left')
        emu = "127.0.0.1:%d" % ports[0]
        proc, base = start_exporter(procs, exporter, "--connection-timeout", "2", "--session-idle", "3",
                                    "--allow", "TCPIP0::127.0.0.1::%d::SOCKET" % ports[0],
                                    "--allow", "TCPIP0::127.0.0.1::%d::SOCKET" % silent.port)

        # A real scrape: up, escaped identity, lint-clean.
        status, ctype, body = get("%s/probe?target=%s" % (base, emu))
        check("probe status", status == 200, status)
        check("content type", ctype.startswith("text/plain; version=0.0.4"), ctype)
        values = samples(body)
        check("up", values.get("cv4870_up") == 1, body[:200])
        check("+24V", abs(values.get('cv4870_output_voltage_volts{output="+24V"}', 0) - 24) < 1)
        check("escaped description", 'description="Rack \\"A\\" \\\\ left"' in body, body)
        # Scrapes reuse their connection, as Prometheus does.
        keep = http.client.HTTPConnection("127.0.0.1", int(base.rsplit(":", 1)[1]), timeout=10)
        for _ in range(2):
            keep.request("GET", "/probe?target=" + emu)
            response = keep.getresponse()
            check("kept-alive scrape", response.status == 200 and b"cv4870_up 1" in response.read())
        check("one connection for both", keep.sock is not None)
        keep.close()
        for path in ("/probe?target=" + emu, "/metrics"):
            lint = subprocess.run([promtool, "check", "metrics"], input=get(base + path)[2], text=True,
                                  capture_output=True, timeout=30)
            check("promtool check metrics " + path, lint.returncode == 0, lint.stdout + lint.stderr)

        # Refused before any connection: bad, unknown, over-long and
        # not-allowed targets, and wrong requests.
        o = outside.port
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
            status, _, body = get(base + path)
            check("GET " + path[:60], status == expected, "%s %r" % (status, body[:120]))
        status = get(base + "/probe?target=" + "b" * 20000)[0]
        check("over-long URL", status in (413, 414, 431), status)
        post = socket.create_connection(("127.0.0.1", int(base.rsplit(":", 1)[1])), timeout=10)
        post.sendall(b"POST /probe?target=%s HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello" % emu.encode())
        check("POST", post.recv(64).startswith(b"HTTP/1.1 405"))
        post.close()

        # A request that never finishes is closed by the connection timeout.
        slow = socket.create_connection(("127.0.0.1", int(base.rsplit(":", 1)[1])), timeout=10)
        slow.sendall(b"GET /probe?target=")
        began = time.monotonic()
        try:
            closed = slow.recv(1024) == b""
        except (ConnectionResetError, socket.timeout):
            closed = False
        check("unfinished request closed", closed and time.monotonic() - began < 6,
              "after %.1f s" % (time.monotonic() - began))
        slow.close()

        # A silent mainframe costs its own probe only, within the scrape
        # timeout, and two scrapes of it share one read; the emulated one
        # answers meanwhile.
        results = {}

        def scrape_silent(name):
            start = time.monotonic()
            results[name] = get("%s/probe?target=127.0.0.1:%d" % (base, silent.port),
                                {"X-Prometheus-Scrape-Timeout-Seconds": "1.5"}), time.monotonic() - start

        threads = [threading.Thread(target=scrape_silent, args=(n,)) for n in ("a", "b")]
        for thread in threads:
            thread.start()
            time.sleep(0.1)
        start = time.monotonic()
        status, _, body = get("%s/probe?target=%s" % (base, emu))
        check("live probe beside a silent one", status == 200 and samples(body)["cv4870_up"] == 1 and
              time.monotonic() - start < 1.0, "%.2f s" % (time.monotonic() - start))
        for thread in threads:
            thread.join(10)
        for name, ((status, _, body), took) in sorted(results.items()):
            check("silent probe %s" % name, status == 200 and samples(body)["cv4870_up"] == 0, body)
            check("silent probe %s within the scrape timeout" % name, 1.0 < took < 1.5, "%.2f s" % took)
        own = samples(get(base + "/metrics")[2])
        check("shared read", own.get("cv4870_exporter_shared_reads_total") == 1, own)
        denied = sum(1 for _, expected in refused if expected == 403)
        check("errors by kind", own.get('cv4870_exporter_errors_total{kind="denied"}') == denied and
              own.get('cv4870_exporter_errors_total{kind="timeout"}') == 2, own)
        check("silent listener reached", len(silent.accepted) == 1, len(silent.accepted))
        check("no connection outside the allow-list", len(outside.accepted) == 0, len(outside.accepted))

        # An error the mainframe reports is counted as its own kind.
        with socket.create_connection(("127.0.0.1", ports[0]), timeout=5) as raw:
            raw.sendall(b"SIM:ERR 1\n*OPC?\n")
            raw.recv(16)
        body = get("%s/probe?target=%s" % (base, emu))[2]
        own = samples(get(base + "/metrics")[2])
        check("mainframe error", samples(body)["cv4870_up"] == 0 and
              own.get('cv4870_exporter_errors_total{kind="mainframe"}') == 1, body)

        # The silent mainframe's session goes once it is no longer scraped.
        check("two sessions", own.get("cv4870_exporter_sessions") == 2, own.get("cv4870_exporter_sessions"))
        time.sleep(3.5)
        get("%s/probe?target=%s" % (base, emu))
        own = samples(get(base + "/metrics")[2])
        check("idle session closed", own.get("cv4870_exporter_sessions") == 1, own.get("cv4870_exporter_sessions"))

        # The exporter's own overload is 503; the probe it does take still
        # answers 200 with the mainframe down.
        _, small = start_exporter(procs, exporter, "--max-probes", "1", "--allow", "127.0.0.1")
        busy = {}

        def scrape_busy(name):
            busy[name] = get("%s/probe?target=127.0.0.1:%d" % (small, silent.port),
                             {"X-Prometheus-Scrape-Timeout-Seconds": "1"})[0]

        threads = [threading.Thread(target=scrape_busy, args=(n,)) for n in ("a", "b")]
        for thread in threads:
            thread.start()
            time.sleep(0.2)
        for thread in threads:
            thread.join(10)
        check("one probe over the limit", sorted(busy.values()) == [200, 503], busy)

        proc.terminate()
        try:
            check("clean stop on SIGTERM", proc.wait(timeout=10) == 0)
        except subprocess.TimeoutExpired:
            check("stop on SIGTERM within 10 s", False)
    outside.close()
    silent.close()
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


class Relay:
    """Accepts on [::1] and forwards each connection to a port on 127.0.0.1."""

    def __init__(self, port):
        self.sock = socket.socket(socket.AF_INET6)
        self.sock.bind(("::1", 0))
        self.sock.listen(16)
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

    exporter, emulator = sys.argv[1:3]

    def probe(self, base, target):
        status, _, body = get("%s/probe?target=%s" % (base, target))
        return status, samples(body).get("cv4870_up") if status == 200 else None

    def test_spellings_of_one_mainframe_share_one_session(self):
        with Processes() as procs, tempfile.TemporaryFile("w+") as log:
            emu = procs.start([self.emulator, "--address", "127.0.0.10", "--port", "0", "--max-clients", "4", "-v",
                               "--ready"], stderr=log)
            port = int(read_lines_until(emu, "READY")[0].split()[3])
            _, base = start_exporter(procs, self.exporter, "--allow", "127.0.0.0/8")
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
        outside = socket.socket()
        outside.bind(("127.0.0.200", 0))
        outside.listen(8)
        outside.setblocking(False)
        p = outside.getsockname()[1]
        with Processes() as procs:
            _, base = start_exporter(procs, self.exporter, "--allow", "127.0.0.0/26", "--allow", "::/0")
            for target in ("127.0.0.200:%d" % p, "[::ffff:127.0.0.200]:%d" % p, "[::ffff:7f00:c8]:%d" % p,
                           "[64:ff9b::7f00:c8]:%d" % p, "TCPIP0::[::ffff:127.0.0.200]::%d::SOCKET" % p,
                           "TCPIP0::[0:0:0:0:0:ffff:7f00:c8]::%d::SOCKET" % p):
                with self.subTest(target=target):
                    self.assertEqual(self.probe(base, target), (403, None))
        with self.assertRaises(BlockingIOError):
            outside.accept()
        outside.close()

    def test_bracketed_ipv6_targets(self):
        with Processes() as procs:
            _, (port,) = start_emulator(procs, self.emulator, 1)
            relay = Relay(port)
            _, base = start_exporter(procs, self.exporter, "--allow", "::1")
            r = relay.port
            for target in ("[::1]:%d" % r, "[0:0:0:0:0:0:0:1]:%d" % r, "TCPIP0::[::1]::%d::SOCKET" % r,
                           "TCPIP0::[0:0:0:0:0:0:0:1]::%d::SOCKET" % r, "tcpip3::[0::1]::%d::socket" % r):
                with self.subTest(target=target):
                    self.assertEqual(self.probe(base, target), (200, 1))
            self.assertEqual(samples(get(base + "/metrics")[2])["cv4870_exporter_sessions"], 1)
            relay.sock.close()

    def test_allow_file_must_be_a_small_regular_file(self):
        with tempfile.TemporaryDirectory() as tmp:
            fifo, big = os.path.join(tmp, "fifo"), os.path.join(tmp, "big")
            os.mkfifo(fifo)
            with open(big, "w") as f:
                f.write("127.0.0.1\n" * 200000)
            for path in (fifo, "/dev/zero", big):
                with self.subTest(path=os.path.basename(path)):  # a hang or a read without end times out
                    run = subprocess.run([self.exporter, "--allow-file", path], capture_output=True, text=True,
                                         timeout=10)
                    self.assertEqual(run.returncode, 2, run.stderr)


if __name__ == "__main__":
    status = main()
    result = unittest.main(argv=sys.argv[:1], exit=False).result
    sys.exit(1 if status or not result.wasSuccessful() else 0)
