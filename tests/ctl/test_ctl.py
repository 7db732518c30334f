#!/usr/bin/env python3
"""cv4870ctl end to end: every subcommand against the emulator program on
loopback, the JSON against its documented schema, watch logs across faults,
link loss and signals, and bad input that must not reach the network.

Usage: test_ctl.py <cv4870ctl> <cv4870-emulator>"""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

CTL = EMULATOR = None
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
SEVERITY = {"ok", "warning", "critical"}
OUTPUTS = ["+24V", "+12V", "+5V", "-2V", "-5.2V", "-12V", "-24V"]
EVENTS = {"line_set", "line_cleared", "output_failed", "output_recovered", "power_on", "power_off",
          "fan_nominal_changed", "link_lost", "link_restored"}


def check_schema(value, schema, where="$"):
    """Checks value against a schema: a type, a set of allowed values, a
    compiled pattern, a dict of required keys, or a one-element list."""
    if isinstance(schema, dict):
        assert isinstance(value, dict), where
        for key, sub in schema.items():
            optional = key.endswith("?")
            key = key.rstrip("?")
            if key in value:
                check_schema(value[key], sub, where + "." + key)
            else:
                assert optional, "%s.%s missing" % (where, key)
    elif isinstance(schema, list):
        assert isinstance(value, list), where
        for i, item in enumerate(value):
            check_schema(item, schema[0], "%s[%d]" % (where, i))
    elif isinstance(schema, set):
        assert value in schema, "%s: %r not in %r" % (where, value, schema)
    elif isinstance(schema, re.Pattern):
        assert isinstance(value, str) and schema.match(value), "%s: %r" % (where, value)
    elif schema is float:
        assert isinstance(value, (int, float)) and not isinstance(value, bool), where
    else:
        assert isinstance(value, schema) and not (schema is int and isinstance(value, bool)), \
            "%s: %r is not %s" % (where, value, schema.__name__)


SNAPSHOT = {
    "schema_version": {1}, "type": {"snapshot"}, "time": TIME, "resource": str,
    "identity": {"description": str, "firmware_revision": str, "power_supply_serial": int,
                 "fan_tray_serial": int},
    "status": {k: bool for k in ("main_power_on", "input_fail", "output_fail", "fan_fail", "sensor_fail",
                                 "sys_fail")},
    "outputs": [{"name": set(OUTPUTS), "nominal_voltage_volts": float, "voltage_volts": float,
                 "current_amperes": float, "ok": bool}],
    "fans": {"nominal_speed_rpm": int, "speed_rpm": [int]},
    "temperatures": {"fan_tray_temperature_celsius": int, "power_supply_temperature_celsius": int},
    "health": {"state": SEVERITY, "problems": [{"severity": SEVERITY, "code": str, "text": str}]},
}
EVENT = {"schema_version": {1}, "type": {"event"}, "time": TIME, "resource": str, "event": EVENTS,
         "subject": str, "severity": SEVERITY, "text": str, "from_rpm?": int, "to_rpm?": int}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Emulator:
    def __init__(self, port=0):
        self.proc = subprocess.Popen([EMULATOR, "--address", "127.0.0.1", "--port", str(port), "--ready",
                                      "--simulation", "--description", b"Ch\xe2ssis 4870"],
                                     stdout=subprocess.PIPE, text=True)
        self.port = None
        deadline = time.monotonic() + 10
        for line in self.proc.stdout:
            words = line.split()
            if words and words[0] == "LISTENING":
                self.port = int(words[3])
            if words == ["READY"] or time.monotonic() > deadline:
                break
        assert self.port, "the emulator did not start"
        self.target = "127.0.0.1:%d" % self.port

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()


def ctl(*args, env=None, timeout=30):
    return subprocess.run([CTL] + [str(a) for a in args], capture_output=True, encoding="utf-8", timeout=timeout,
                          env=env)


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class Ctl(unittest.TestCase):
    def setUp(self):
        self.emu = Emulator()
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.emu.stop()
        self.tmp.cleanup()

    def sim(self, line):
        r = ctl("send", self.emu.target, line)
        self.assertEqual(r.returncode, 0, r.stderr)

    def query(self, line):
        r = ctl("send", self.emu.target, line)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.strip()

    def test_status_table_json_and_exit_codes(self):
        r = ctl("status", self.emu.target)
        self.assertEqual(r.returncode, 0, r.stderr)
        for row in [r"Health\s+OK", r"main power\s+on\s+ok", r"\+24V\s+\+2[34]\.\d{3} V\s+\d+\.\d{3} A\s+good\s+ok",
                    r"fan 3\s+\d+ rpm\s+ok", r"power supply\s+\d+ C\s+ok"]:
            self.assertRegex(r.stdout, "\n" + row + "\n")
        self.sim("SIM:OUTP:FAIL 3,ON")
        r = ctl("--json", "status", self.emu.target)
        self.assertEqual(r.returncode, 1, r.stderr)
        snap = json.loads(r.stdout)
        check_schema(snap, SNAPSHOT)
        self.assertEqual([o["name"] for o in snap["outputs"]], OUTPUTS)
        self.assertEqual(snap["resource"], "TCPIP0::%s::SOCKET" % self.emu.target.replace(":", "::"))
        self.assertEqual(snap["health"]["state"], "critical")
        self.assertEqual(snap["identity"]["description"], "Ch\u00e2ssis 4870")  # Latin-1 on the wire
        self.assertIn("output:+5V", [p["code"] for p in snap["health"]["problems"]])
        self.sim("SIM:CLE")
        self.sim("POW OFF")
        r = ctl("status", self.emu.target, "--json")
        self.assertEqual((r.returncode, json.loads(r.stdout)["health"]["state"]), (1, "warning"))

    def test_check_follows_the_plugin_conventions(self):
        perf = re.compile(r"^'[^'=]+'=-?\d+(\.\d+)?(C|V|A)?(;[\d.]*){0,4}$")
        rows = [  # (args, fault, exit status, state)
            ([], None, 0, "OK"),
            (["--warning-temp", "1"], None, 1, "WARNING"),
            (["-w", "1", "-c", "2"], None, 2, "CRITICAL"),
            ([], "SIM:SYSF ON", 2, "CRITICAL"),
        ]
        for args, fault, code, state in rows:
            if fault:
                self.sim(fault)
            r = ctl("check", self.emu.target, *args)
            self.assertEqual(r.returncode, code, r.stdout + r.stderr)
            line, _, data = r.stdout.rstrip("\n").partition(" | ")
            self.assertEqual(r.stdout.count("\n"), 1)
            self.assertTrue(line.startswith("CV4870 %s - " % state), line)
            for item in data.split(" '"):
                self.assertRegex(("'" + item).replace("''", "'"), perf)
        self.assertIn("SysFail", r.stdout)
        self.sim("SIM:FAN:STAL 2,ON")  # fan fail follows within about 6 s
        self.assertTrue(wait_for(lambda: "fan fail" in ctl("check", self.emu.target).stdout, 10))
        self.emu.stop()
        r = ctl("check", self.emu.target, "--timeout", "500")
        self.assertEqual(r.returncode, 3)
        self.assertTrue(r.stdout.startswith("CV4870 UNKNOWN - "), r.stdout)
        r = ctl("status", self.emu.target, "--json")
        self.assertEqual(r.returncode, 3)
        self.assertIn(self.emu.target.split(":")[1], r.stderr)
        self.assertEqual(json.loads(r.stdout)["type"], "error")
        self.emu = Emulator()

    def test_find_lists_what_the_resource_file_names(self):
        conf = os.path.join(self.tmp.name, "resources.conf")
        with open(conf, "w") as f:
            f.write("TCPIP::127.0.0.1::%d::SOCKET\nTCPIP::127.0.0.1::%d::SOCKET\n" % (self.emu.port, free_port()))
        env = dict(os.environ, CV_VISA_RESOURCES=conf)
        r = ctl("find", env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(conf, r.stderr)
        self.assertEqual(len(r.stdout.splitlines()), 2)  # header and the one that answers
        self.assertIn("::%d::SOCKET" % self.emu.port, r.stdout)
        found = json.loads(ctl("find", "--json", env=env).stdout)
        self.assertEqual(found["resource_file"], conf)
        self.assertEqual([m["resource"] for m in found["mainframes"]], ["TCPIP0::127.0.0.1::%d::SOCKET" % self.emu.port])
        xdg = dict(os.environ, XDG_CONFIG_HOME=self.tmp.name)
        xdg.pop("CV_VISA_RESOURCES", None)
        r = ctl("find", env=xdg)
        self.assertEqual(r.returncode, 1)
        self.assertIn(os.path.join(self.tmp.name, "cv-visa", "resources.conf"), r.stderr)

    def test_commands_and_send(self):
        rows = [  # (command, query, expected reply)
            (["power", "off"], "POW?", "0"),
            (["power", "on"], "POW?", "1"),
            (["fan", "2400"], "FAN:SPE?", "2400"),
            (["fan", "off"], "FAN:SPE?", "0"),
            (["reset"], "FAN:SPE?", "1800"),
            (["sysreset"], "STAT:LIN?", "1,0,0,0,0,1"),
        ]
        for command, query, reply in rows:
            r = ctl(command[0], self.emu.target, *command[1:])
            self.assertEqual((r.returncode, r.stderr), (0, ""), command)
            self.assertEqual(self.query(query)[:len(reply)], reply, command)
        self.assertTrue(self.query("*IDN?").startswith("Corvane Ltd.,4870,"))
        self.assertEqual(ctl("send", self.emu.target, "*CLS").stdout, "")
        self.sim("SIM:ERR 1")
        r = ctl("power", self.emu.target, "off")
        self.assertEqual(r.returncode, 3)
        self.assertIn("301", r.stderr)
        self.assertEqual(len(r.stderr.splitlines()), 1)

    def watch(self, *args):
        out = open(os.path.join(self.tmp.name, "watch.out"), "w+")
        proc = subprocess.Popen([CTL, "watch", self.emu.target, "--interval", "100", "--timeout", "500"] +
                                list(args), stdout=out, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(out.close)
        self.addCleanup(lambda: proc.poll() is not None or (proc.kill(), proc.wait()))
        return proc, out

    def stop_watch(self, proc, sig):
        proc.send_signal(sig)
        return proc.wait(timeout=10)

    def test_watch_logs_a_short_fault_and_stops_on_signals(self):
        for fmt, sig in [("csv", signal.SIGINT), ("jsonl", signal.SIGTERM)]:
            log = os.path.join(self.tmp.name, "log." + fmt)
            proc, out = self.watch("--log", log, "--log-format", fmt)
            self.assertTrue(wait_for(lambda: os.path.exists(log) and os.path.getsize(log) > 200, 10))
            self.sim("SIM:SYSF ON")
            time.sleep(1)
            self.sim("SIM:SYSF OFF")
            self.assertTrue(wait_for(lambda: out.seek(0) == 0 and "SysFail cleared" in out.read(), 5))
            self.assertEqual(self.stop_watch(proc, sig), 0)
            out.seek(0)
            printed = out.read()
            self.assertRegex(printed, r"\d\dZ  critical  SysFail set\n.*\d\dZ  ok        SysFail cleared\n")
            with open(log) as f:
                lines = f.read().splitlines()
            if fmt == "csv":
                self.assertTrue(lines[0].startswith("time,record,resource,event,"))
                self.assertEqual({len(line.split(",")) for line in lines}, {41})
                events = [line.split(",")[3:5] for line in lines[1:] if ",event," in line]
                self.assertGreater(sum(",snapshot," in line for line in lines), 5)
            else:
                records = [json.loads(line) for line in lines]
                for rec in records:
                    check_schema(rec, SNAPSHOT if rec["type"] == "snapshot" else EVENT)
                events = [[rec["event"], rec["subject"]] for rec in records if rec["type"] == "event"]
            self.assertEqual(events, [["line_set", "sys_fail"], ["line_cleared", "sys_fail"]])

    def test_watch_ends_by_count_or_duration(self):
        for args, least, most in [(["--count", "3"], 0.1, 5), (["--duration", "0.6"], 0.5, 5)]:
            start = time.monotonic()
            r = ctl("watch", self.emu.target, "--interval", "50", *args)
            self.assertEqual((r.returncode, r.stdout), (0, ""), args)  # no events on a steady mainframe
            self.assertTrue(least <= time.monotonic() - start <= most, args)

    def test_watch_survives_a_restart_and_a_silent_mainframe(self):
        log = os.path.join(self.tmp.name, "log.jsonl")
        proc, out = self.watch("--log", log, "--log-format", "jsonl", "--json")

        def lines():
            with open(log) as f:
                return f.read().splitlines()

        def events():
            return [json.loads(x)["event"] for x in lines() if '"event"' in x]
        self.assertTrue(wait_for(lambda: os.path.exists(log) and os.path.getsize(log) > 0, 10))
        port = self.emu.port
        self.emu.stop()
        self.assertTrue(wait_for(lambda: events() == ["link_lost"], 3), events())
        self.emu = Emulator(port)
        self.assertTrue(wait_for(lambda: events() == ["link_lost", "link_restored"], 8), events())
        snaps = len(lines())
        self.assertTrue(wait_for(lambda: len(lines()) >= snaps + 3, 5))
        # a mainframe that stops answering: link lost within the 500 ms timeout
        self.sim("SIM:DEL 20000")
        lost = time.monotonic()
        self.assertTrue(wait_for(lambda: events().count("link_lost") == 2, 3), events())
        self.assertLess(time.monotonic() - lost, 1.5)
        proc.kill()  # nothing already logged is lost
        proc.wait(timeout=10)
        with open(log) as f:
            text = f.read()
        self.assertTrue(text.endswith("\n"))
        for line in text.splitlines():
            json.loads(line)
        out.seek(0)
        self.assertEqual([json.loads(x)["event"] for x in out.read().splitlines()], events())

    def test_bad_input_is_refused_before_any_connection(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        listener.setblocking(False)
        target = "127.0.0.1:%d" % listener.getsockname()[1]
        rows = [  # (arguments, exit status, words the message must contain)
            (["frobnicate", target], 2, "unknown subcommand"),
            (["status", "127.0.0.1:99999"], 2, "TARGET"),
            (["status", "host name"], 2, "TARGET"),
            (["check", "1.2.3"], 3, "TARGET"),
            (["fan", target, "5000"], 2, "RPM"),
            (["fan", target, "1199"], 2, "RPM"),
            (["power", target, "maybe"], 2, "STATE"),
            (["--timeout", "0", "status", target], 2, "--timeout"),
            (["status", target, "-w", "60", "-c", "50"], 2, "--critical-temp"),
            (["watch", target, "--log", "/nonexistent/dir/log.csv"], 2, "--log"),
            (["watch", target, "--log-format", "xml"], 2, "--log-format"),
            (["send", target, ""], 2, "LINE"),
            (["send", target, "A\nB"], 2, "LINE"),
        ]
        for args, code, words in rows:
            r = ctl(*args)
            self.assertEqual(r.returncode, code, args)
            self.assertEqual(r.stdout, "", args)
            self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
            self.assertIn(words, r.stderr, args)
            with self.assertRaises(BlockingIOError, msg=args):
                listener.accept()
        listener.close()
        for flag in ["--help", "--version"]:
            r = ctl(flag)
            self.assertEqual(r.returncode, 0)
            self.assertIn("cv4870ctl", r.stdout)


if __name__ == "__main__":
    CTL, EMULATOR = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=2)
