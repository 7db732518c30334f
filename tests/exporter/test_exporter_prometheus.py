#!/usr/bin/env python3
"""A real Prometheus scraping 16 emulated mainframes through the exporter,
all on loopback and over TLS with basic authentication: every reading arrives, a stalled fan raises exactly its
mainframe's alert, and a mainframe that stops answering goes down alone.

Usage: test_exporter_prometheus.py <cv4870-exporter> <cv4870-emulator> <prometheus> <alerts.yml>

The shipped alert rules run with their expressions as they are; only the
'for:' durations are cut to a second so that the test stays short."""

import json
import os
import re
import socket
import tempfile
import time
import unittest
import urllib.parse

from harness import Exporter, cvtest, get, make_web_config

COUNT = 16
STALLED = 4  # index of the mainframe whose fan stalls
DROPPED = 9  # index of the mainframe that stops answering
CONFIG = """global:
  scrape_interval: 1s
  scrape_timeout: 900ms
  evaluation_interval: 1s
rule_files: [alerts.yml]
scrape_configs:
  - job_name: cv4870
    metrics_path: /probe
    scheme: https
    tls_config: {ca_file: %s}
    basic_auth: {username: prom, password: secret}
    static_configs:
      - targets: [%s]
        labels: {power_expected: "on"}
    relabel_configs:
      - {source_labels: [__address__], target_label: __param_target}
      - {source_labels: [__param_target], target_label: instance}
      - {target_label: __address__, replacement: "%s"}
"""


def send_line(port, line):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(line.encode() + b"\n")
        s.sendall(b"*OPC?\n")  # the answer shows the line before it was executed
        s.settimeout(5)
        s.recv(64)


class PrometheusScrape(unittest.TestCase):
    def assertEventually(self, value, expected, timeout):
        """Polls value() until it equals expected, then asserts it does."""
        end = time.monotonic() + timeout
        while time.monotonic() < end and value() != expected:
            time.sleep(0.2)
        self.assertEqual(value(), expected)

    def query(self, expr):
        """{instance: value} of an instant query; empty while Prometheus is not up."""
        try:
            status, _, body = get(self.api + "query?query=" + urllib.parse.quote(expr), timeout=5)
        except OSError:
            return {}
        result = json.loads(body)["data"]["result"] if status == 200 else []
        return {r["metric"].get("instance"): float(r["value"][1]) for r in result}

    def alerts(self, name):
        return [a for a in json.loads(get(self.api + "alerts", timeout=5)[2])["data"]["alerts"]
                if a["labels"]["alertname"] == name and a["state"] == "firing"]

    def firing(self, name):
        return sorted(a["labels"]["instance"] for a in self.alerts(name))

    def test_readings_and_alerts(self):
        with tempfile.TemporaryDirectory() as tmp, cvtest.Emulator(EMULATOR, "--simulation", count=COUNT) as emu:
            web_config, cert = make_web_config(tmp)
            instances = ["127.0.0.1:%d" % p for p in emu.ports]
            with open(ALERTS) as f:
                rules = re.sub(r"(?m)^(\s+)for: .*$", r"\1for: 1s", f.read())
            with open(os.path.join(tmp, "alerts.yml"), "w") as f:
                f.write(rules)
            with Exporter(EXPORTER, "--allow", "127.0.0.1", "--web.config.file", web_config) as exporter, \
                    open(os.path.join(tmp, "prometheus.log"), "w") as log:
                with open(os.path.join(tmp, "prometheus.yml"), "w") as f:
                    f.write(CONFIG % (cert, ", ".join('"%s"' % i for i in instances), "127.0.0.1:%d" % exporter.port))
                web = "127.0.0.1:%d" % cvtest.free_port()
                self.api = "http://%s/api/v1/" % web
                with cvtest.Program([PROMETHEUS, "--config.file", os.path.join(tmp, "prometheus.yml"),
                                     "--storage.tsdb.path", os.path.join(tmp, "data"), "--web.listen-address", web,
                                     "--log.level", "warn"], until=None, stderr=log):
                    try:
                        self.check_readings_and_alerts(emu.ports, instances)
                    except AssertionError:
                        with open(log.name) as text:
                            print(text.read()[-2000:])
                        raise

    def check_readings_and_alerts(self, ports, instances):
        self.assertEventually(lambda: self.query("vector(1)"), {None: 1.0}, 30)
        self.assertEventually(lambda: len(self.query('cv4870_output_voltage_volts{output="+24V"} > 23')), COUNT, 20)
        self.assertEqual(len(self.query("count by (instance) (cv4870_fan_speed_rpm > 1000) == 3")), COUNT)
        self.assertEqual(json.loads(get(self.api + "alerts")[2])["data"]["alerts"], [], "no alert while healthy")

        # The model clock jumps past the mainframe's 5 s fan-fail delay.
        send_line(ports[STALLED], "SIM:CLOC:MAN ON;:SIM:FAN:STAL 1,ON;:SIM:CLOC:ADV 10000")
        self.assertEventually(lambda: self.firing("Cv4870FanFail"), [instances[STALLED]], 15)

        send_line(ports[DROPPED], "SIM:DROP -1")
        self.assertEventually(lambda: self.query("cv4870_up == 0"), {instances[DROPPED]: 0.0}, 15)
        self.assertEventually(lambda: self.firing("Cv4870Down"), [instances[DROPPED]], 15)
        self.assertRegex(self.alerts("Cv4870Down")[0]["annotations"]["description"], r"reason: (timeout|closed)\)")
        time.sleep(2)
        fresh = self.query("time() - timestamp(cv4870_output_voltage_volts{output=\"+24V\"}) < 2.5")
        self.assertEqual(sorted(fresh), sorted(set(instances) - {instances[DROPPED]}), "fresh samples of the rest")
        self.assertEqual(len(self.query('up{job="cv4870"} == 1')), COUNT, "exporter scrapes all up")


if __name__ == "__main__":
    EXPORTER, EMULATOR, PROMETHEUS, ALERTS = cvtest.take_args(4)
    cvtest.main()
