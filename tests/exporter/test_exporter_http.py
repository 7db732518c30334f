#!/usr/bin/env python3
"""The exporter's HTTP side against bad and hostile input, on loopback.

Usage: test_exporter_http.py <cv4870-exporter> <cv4870-emulator> <promtool>

A listener that never answers stands in for a mainframe outside the
allow-list (it must see no connection) and for a silent one inside it."""

import http.client
import socket
import subprocess
import sys
import threading
import time

from harness import Listener, Processes, get, samples, start_emulator, start_exporter

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


if __name__ == "__main__":
    sys.exit(main())
