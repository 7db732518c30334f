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
import sys
import tempfile
import time
import urllib.parse

from harness import Processes, get, make_web_config, start_emulator, start_exporter, wait_for

COUNT = 16
STALLED = 4  # index of the mainframe whose fan stalls
DROPPED = 9  # index of the mainframe that stops answering


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def send_line(port, line):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(line.encode() + b"\n")
        s.sendall(b"*OPC?\n")  # the answer shows the line before it was executed
        s.settimeout(5)
        s.recv(64)


def main():
    exporter, emulator, prometheus, alerts = sys.argv[1:5]
    with tempfile.TemporaryDirectory() as tmp, Processes() as procs:
        _, ports = start_emulator(procs, emulator, COUNT)
        web_config, cert = make_web_config(tmp)
        _, base = start_exporter(procs, exporter, "--allow", "127.0.0.1", "--web.config.file", web_config)
        exporter_address = base.split("//")[1]
        instances = ["127.0.0.1:%d" % p for p in ports]

        with open(alerts) as f:
            rules = re.sub(r"(?m)^(\s+)for: .*$", r"\1for: 1s", f.read())
        with open(os.path.join(tmp, "alerts.yml"), "w") as f:
            f.write(rules)
        with open(os.path.join(tmp, "prometheus.yml"), "w") as f:
            f.write("""global:
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
""" % (cert, ", ".join('"%s"' % i for i in instances), exporter_address))
        web = "127.0.0.1:%d" % free_port()
        procs.start([prometheus, "--config.file", os.path.join(tmp, "prometheus.yml"),
                     "--storage.tsdb.path", os.path.join(tmp, "data"), "--web.listen-address", web,
                     "--log.level", "warn"], stderr=open(os.path.join(tmp, "prometheus.log"), "w"))
        api = "http://%s/api/v1/" % web

        def ready():
            try:
                return get("http://%s/-/ready" % web, timeout=2)[0] == 200
            except OSError:
                return False

        def query(expr):
            status, _, body = get(api + "query?query=" + urllib.parse.quote(expr), timeout=5)
            result = json.loads(body)["data"]["result"] if status == 200 else []
            return {r["metric"].get("instance"): float(r["value"][1]) for r in result}

        def firing(name):
            body = json.loads(get(api + "alerts", timeout=5)[2])
            return sorted(a["labels"]["instance"] for a in body["data"]["alerts"]
                          if a["labels"]["alertname"] == name and a["state"] == "firing")

        failures = []

        def expect(what, ok, detail=""):
            if not ok:
                failures.append("%s %s" % (what, detail))
            return ok

        expect("Prometheus ready", wait_for(ready, 30))
        expect("+24 V of every mainframe",
               wait_for(lambda: len(query('cv4870_output_voltage_volts{output="+24V"} > 23')) == COUNT, 20),
               query('cv4870_output_voltage_volts{output="+24V"}'))
        expect("three fans of every mainframe", len(query("count by (instance) (cv4870_fan_speed_rpm > 1000) == 3"))
               == COUNT)
        expect("no alert while healthy", json.loads(get(api + "alerts")[2])["data"]["alerts"] == [],
               get(api + "alerts")[2])

        # The model clock jumps past the mainframe's 5 s fan-fail delay.
        send_line(ports[STALLED], "SIM:CLOC:MAN ON;:SIM:FAN:STAL 1,ON;:SIM:CLOC:ADV 10000")
        expect("fan fail alert of the stalled mainframe only",
               wait_for(lambda: firing("Cv4870FanFail") == [instances[STALLED]], 15), firing("Cv4870FanFail"))

        send_line(ports[DROPPED], "SIM:DROP -1")
        expect("the dropped mainframe down",
               wait_for(lambda: query("cv4870_up == 0") == {instances[DROPPED]: 0.0}, 15), query("cv4870_up"))
        expect("its down alert", wait_for(lambda: firing("Cv4870Down") == [instances[DROPPED]], 15),
               firing("Cv4870Down"))
        down = [a for a in json.loads(get(api + "alerts", timeout=5)[2])["data"]["alerts"]
                if a["labels"]["alertname"] == "Cv4870Down"]
        expect("the down alert names the reason",
               re.search(r"reason: (timeout|closed)\)", down[0]["annotations"]["description"]) if down else False,
               down)
        time.sleep(2)
        fresh = query("time() - timestamp(cv4870_output_voltage_volts{output=\"+24V\"}) < 2.5")
        expect("fresh samples of the other 15", sorted(fresh) == sorted(set(instances) - {instances[DROPPED]}),
               sorted(fresh))
        expect("exporter scrapes all up", len(query('up{job="cv4870"} == 1')) == COUNT)

        for failure in failures:
            print("FAIL:", failure)
        if failures:
            with open(os.path.join(tmp, "prometheus.log")) as log:
                print(log.read()[-2000:])
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
