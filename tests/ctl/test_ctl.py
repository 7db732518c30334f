#!/usr/bin/env python3
"""cv4870ctl end to end: every subcommand against the emulator program on
loopback, the JSON against its published schema, watch logs across faults,
link loss and signals, and bad input that must not reach the network.

Usage: test_ctl.py <cv4870ctl> <cv4870-emulator>"""

import json
import jsonschema
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import cvtest  # noqa: E402

CTL = EMULATOR = None
OUTPUTS = ["+24V", "+12V", "+5V", "-2V", "-5.2V", "-12V", "-24V"]


# The documented schema of snapshots and events.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "cv4870ctl.schema.json")) as f:
    SCHEMA = json.load(f)
jsonschema.Draft202012Validator.check_schema(SCHEMA)


def check_schema(value, kind):
    jsonschema.validate(value, {"$ref": "#/$defs/" + kind, "$defs": SCHEMA["$defs"]})


def emulator(*extra):
    """The emulator program with one mainframe, SIMulation commands and a
    Latin-1 description."""
    return cvtest.Emulator(EMULATOR, "--simulation", "--description", os.fsdecode(b"Ch\xe2ssis 4870"), *extra)


def ctl(*args, env=None, timeout=30):
    return subprocess.run([CTL] + [str(a) for a in args], capture_output=True, encoding="utf-8", timeout=timeout,
                          env=env)


def read(path):
    if not os.path.exists(path):
        return ""
    with open(path) as f:
        return f.read()


class Ctl(unittest.TestCase):
    def setUp(self):
        self.emu = emulator()
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.emu.stop()
        self.tmp.cleanup()

    def loopback(self, listen):
        """A loopback socket, closed at the end of the test: listening (its
        connections wait in the backlog, never answered) or bound only
        (connections are refused); with its target."""
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        if listen:
            sock.listen(8)
        self.addCleanup(sock.close)
        return sock, "127.0.0.1:%d" % sock.getsockname()[1]

    def send(self, line):
        r = ctl("send", self.emu.target, line)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.strip()

    def test_status_table_json_and_exit_codes(self):
        r = ctl("status", self.emu.target)
        self.assertEqual(r.returncode, 0, r.stderr)
        for row in [r"Health\s+OK", r"main power\s+on\s+ok", r"\+24V\s+\+2[34]\.\d{3} V\s+\d+\.\d{3} A\s+good\s+ok",
                    r"fan 3\s+\d+ rpm\s+ok", r"power supply\s+\d+ C\s+ok"]:
            self.assertRegex(r.stdout, "\n" + row + "\n")
        self.send("SIM:OUTP:FAIL 3,ON")
        r = ctl("--json", "status", self.emu.target)
        self.assertEqual(r.returncode, 1, r.stderr)
        snap = json.loads(r.stdout)
        check_schema(snap, "snapshot")
        self.assertEqual([o["name"] for o in snap["outputs"]], OUTPUTS)
        self.assertEqual(snap["resource"], "TCPIP0::%s::SOCKET" % self.emu.target.replace(":", "::"))
        self.assertEqual(snap["health"]["state"], "critical")
        self.assertEqual(snap["identity"]["description"], "Ch\u00e2ssis 4870")  # Latin-1 on the wire
        self.assertIn("output:+5V", [p["code"] for p in snap["health"]["problems"]])
        self.send("SIM:CLE")
        self.send("POW OFF")
        r = ctl("status", self.emu.target, "--json")
        self.assertEqual((r.returncode, json.loads(r.stdout)["health"]["state"]), (1, "warning"))

    def check(self, *args, target=None):
        """Runs check; returns (exit status, state, text, perfdata) after
        checking that stdout is one plugin line and stderr is empty."""
        r = ctl("check", target or self.emu.target, *args)
        self.assertEqual((r.stdout.count("\n"), r.stderr), (1, ""), r.stdout + r.stderr)
        m = re.match(r"^CV4870 (OK|WARNING|CRITICAL|UNKNOWN) - ([^|]*?)(?: \| (.*))?\n$", r.stdout)
        self.assertTrue(m, r.stdout)
        self.assertEqual(r.returncode, ["OK", "WARNING", "CRITICAL", "UNKNOWN"].index(m.group(1)), r.stdout)
        return r.returncode, m.group(1), m.group(2), m.group(3)

    def test_check_ranges_power_and_perfdata(self):
        temps = json.loads(ctl("--json", "status", self.emu.target).stdout)["temperatures"].values()
        lo, hi = min(temps) - 3, max(temps) + 3  # margins for the drift between runs
        perf = re.compile(r"^'[^'=]+'=-?[\d.]+(e[+-]\d+)?(C|V|A)?(;[\d.:~@-]*){0,4}$")
        rows = [  # (args, fault, state); the range syntax itself is tested in tests/monitor
            ([], None, "OK"),
            (["-w", str(hi)], None, "OK"),  # 10 means outside 0..10
            (["-w", str(lo)], None, "WARNING"),
            (["-c", "@%d:%d" % (lo, hi)], None, "CRITICAL"),
            (["-w", "1", "-c", "2"], None, "CRITICAL"),
            (["--power-expected", "off"], None, "WARNING"),
            (["-t", "5", "--unreachable", "unknown"], "SIM:SYSF ON", "CRITICAL"),
            ([], "SIM:CLE;:POW OFF", "WARNING"),
            (["--power-expected", "off"], None, "OK"),
        ]
        for args, fault, state in rows:
            if fault:
                self.send(fault)
            _, got, text, data = self.check(*args)
            self.assertEqual(got, state, (args, text))
            for item in data.split(" '"):
                self.assertRegex(("'" + item).replace("''", "'"), perf)
        self.assertIn("main power off as expected", text)
        data = self.check("-w", "~:50", "-c", "@0:1")[3]
        self.assertRegex(data, r"^'fan_tray_temperature'=\d+C;~:50;@0:1 'power_supply_temperature'=\d+C;~:50;@0:1 "
                               r"'main_power'=0;;;0;1 'fan_nominal'=\d+;;;0;3600 'fan1'=\d+;;;0 ")

    def test_check_of_a_mainframe_it_cannot_read(self):
        silent = self.loopback(listen=True)[1]
        port = self.emu.port
        self.emu.stop()
        rows = [  # (target, args, state, words)
            ("127.0.0.1:%d" % port, [], "CRITICAL", "connection refused by 127.0.0.1:%d" % port),
            ("127.0.0.1:%d" % port, ["--unreachable", "unknown"], "UNKNOWN", "refused"),
            (silent, ["-t", "0.5"], "CRITICAL", "no answer from " + silent),
        ]
        for target, args, state, words in rows:
            _, got, text, data = self.check(*args, target=target)
            self.assertEqual((got, data), (state, None), text)
            self.assertIn(words, text)
        self.emu = emulator()

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
            self.assertEqual(self.send(query)[:len(reply)], reply, command)
        self.assertTrue(self.send("*IDN?").startswith("Corvane Ltd.,4870,"))
        self.assertEqual(ctl("send", self.emu.target, "*CLS").stdout, "")

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
            self.assertTrue(cvtest.wait_for(lambda: "snapshot" in read(log), 10))
            self.send("SIM:SYSF ON")
            time.sleep(1)
            self.send("SIM:SYSF OFF")
            self.assertTrue(cvtest.wait_for(lambda: out.seek(0) == 0 and "SysFail cleared" in out.read(), 5))
            self.assertEqual(self.stop_watch(proc, sig), 0)
            out.seek(0)
            printed = out.read()
            self.assertRegex(printed, r"\d\dZ  critical  SysFail set\n.*\d\dZ  ok        SysFail cleared\n")
            lines = read(log).splitlines()
            if fmt == "csv":
                self.assertTrue(lines[0].startswith("time,record,resource,event,"))
                self.assertEqual({len(line.split(",")) for line in lines}, {41})
                events = [line.split(",")[3:5] for line in lines[1:] if ",event," in line]
                self.assertGreater(sum(",snapshot," in line for line in lines), 5)
            else:
                records = [json.loads(line) for line in lines]
                for rec in records:
                    check_schema(rec, rec["type"])
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
            return read(log).splitlines()

        def events():
            return [json.loads(x)["event"] for x in lines() if '"event"' in x]
        self.assertTrue(cvtest.wait_for(lambda: read(log), 10))
        port = self.emu.port
        self.emu.stop()
        self.assertTrue(cvtest.wait_for(lambda: events() == ["link_lost"], 3), events())
        self.emu = emulator("--port", port)
        self.assertTrue(cvtest.wait_for(lambda: events() == ["link_lost", "link_restored"], 8), events())
        snaps = len(lines())
        self.assertTrue(cvtest.wait_for(lambda: len(lines()) >= snaps + 3, 5))
        # a mainframe that stops answering: link lost within the 500 ms timeout
        self.send("SIM:DEL 20000")
        lost = time.monotonic()
        self.assertTrue(cvtest.wait_for(lambda: events().count("link_lost") == 2, 3), events())
        self.assertLess(time.monotonic() - lost, 1.5)
        proc.kill()  # nothing already logged is lost
        proc.wait(timeout=10)
        text = read(log)
        self.assertTrue(text.endswith("\n"))
        for line in text.splitlines():
            json.loads(line)
        out.seek(0)
        self.assertEqual([json.loads(x)["event"] for x in out.read().splitlines()], events())

    def test_each_failure_reason_in_text_and_json(self):
        # The link's reasons under injected faults are tested in tests/monitor;
        # here how the program reports them, and the ones only a namespace shows.
        closed, silent = self.loopback(listen=False)[1], self.loopback(listen=True)[1]
        netns = ["unshare", "--net"]  # a namespace of its own: nothing can leave it
        rows = [  # (prefix, arguments, reason, words)
            ([], ["status", closed], "refused", "connection refused by " + closed),
            ([], ["--timeout", "300", "status", silent], "timeout", "no answer from " + silent),
            ([], ["power", self.emu.target, "off"], "mainframe", "301"),
            (netns, ["status", "nonexistent.invalid"], "name", "name lookup of nonexistent.invalid failed"),
            (netns, ["status", "127.0.0.1:23"], "unreachable", "no route to 127.0.0.1:23"),
        ]
        if subprocess.run(netns + ["true"], capture_output=True).returncode != 0:
            rows = rows[:-2]  # no network namespaces here: skip rather than ask a real resolver
        for prefix, args, reason, words in rows:
            if reason == "mainframe":
                self.send("SIM:ERR 1")
            r = subprocess.run(prefix + [CTL, "--json"] + args, capture_output=True, encoding="utf-8", timeout=30)
            self.assertEqual(r.returncode, 3, r.stderr)
            error = json.loads(r.stdout)
            self.assertEqual(error["failure"]["reason"], reason, error)
            self.assertIn(words, error["failure"]["message"])
            self.assertIn(error["failure"]["message"], r.stderr)
            self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
            self.assertNotIn("Insufficient location", r.stderr)

    def test_watch_reports_problems_present_at_start(self):
        self.send("SIM:SYSF ON")
        self.send("SIM:OUTP:FAIL 3,ON")
        r = ctl("--json", "watch", self.emu.target, "--count", "3", "--interval", "50")
        events = [json.loads(line) for line in r.stdout.splitlines()]
        for e in events:
            check_schema(e, "event")
        self.assertEqual([(e["event"], e["subject"], e.get("present_at_start")) for e in events],
                         [("line_set", "output_fail", True), ("line_set", "sys_fail", True),
                          ("output_failed", "+5V", True)])
        self.send("SIM:CLE;:POW OFF")
        r = ctl("watch", self.emu.target, "--count", "2", "--interval", "50")
        self.assertRegex(r.stdout, r"^\S+Z  warning   main power switched off \(present at start\)\n$")

    def test_find_names_the_resource_file_and_writes_service_discovery(self):
        conf = os.path.join(self.tmp.name, "resources.conf")
        with open(conf, "w") as f:
            for port in (self.emu.port, cvtest.free_port()):  # one that answers, one with nothing listening
                f.write("TCPIP::127.0.0.1::%d::SOCKET\n" % port)
        env = dict(os.environ, CV_VISA_RESOURCES=conf)
        self.assertEqual(len(ctl("find", env=env).stdout.splitlines()), 2)  # header and the one that answers
        r = ctl("find", "--format", "prometheus", env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(json.loads(r.stdout), [{
            "targets": [self.emu.target],
            "labels": {"resource": "TCPIP0::%s::SOCKET" % self.emu.target.replace(":", "::"),
                       "description": "Ch\u00e2ssis 4870", "power_supply_serial": "48700001",
                       "fan_tray_serial": "48710001"}}])
        rows = [  # (environment, exit status, stderr words, resource_file_read)
            ({"CV_VISA_RESOURCES": conf}, 0, "VISA resource file: " + conf, True),
            ({"CV_VISA_RESOURCES": conf + ".missing"}, 1, "no VISA resource file at %s.missing" % conf, False),
            ({"XDG_CONFIG_HOME": self.tmp.name}, 1,
             "no VISA resource file at " + os.path.join(self.tmp.name, "cv-visa", "resources.conf"), False),
            ({}, 1, "no VISA resource file (no location is set)", False),  # HOME unset too
        ]
        base = {k: v for k, v in os.environ.items() if k not in ("HOME", "XDG_CONFIG_HOME", "CV_VISA_RESOURCES")}
        for extra, code, words, was_read in rows:
            env = dict(base, **extra)
            r = ctl("find", env=env)
            self.assertEqual(r.returncode, code, r.stderr)
            self.assertIn(words, r.stderr)
            self.assertEqual(json.loads(ctl("--json", "find", env=env).stdout)["resource_file_read"], was_read)

    def test_watch_log_keeps_whole_rows_on_a_full_disk(self):
        for fmt in ["csv", "jsonl"]:
            log = os.path.join(self.tmp.name, "full." + fmt)
            with open(log, "w") as f:  # a row cut by an older writer
                f.write("" if fmt == "jsonl" else "time,record\n")
                f.write('{"schema_version": 1, "type": "snap' if fmt == "jsonl" else "2026-01-01T00:00:00.000Z,sna")

            def limit_file_size():
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (6000, 6000))
            r = subprocess.run([CTL, "watch", self.emu.target, "--interval", "10", "--duration", "20", "--log", log,
                                "--log-format", fmt], capture_output=True, encoding="utf-8", timeout=30,
                               preexec_fn=limit_file_size)
            self.assertEqual(r.returncode, 3, r.stderr)
            self.assertIn("last whole row", r.stderr)
            self.assertTrue(read(log).endswith("\n"))  # the row that did not fit is cut back off
            self.assertEqual(ctl("watch", self.emu.target, "--count", "2", "--log", log, "--log-format", fmt)
                             .returncode, 0)  # appends again once there is room
            text = read(log)
            self.assertTrue(text.endswith("\n"))
            rows = text.splitlines()[1 if fmt == "csv" else 0:]
            self.assertGreater(len(rows), 3)
            for row in rows:
                if fmt == "csv":
                    self.assertEqual(len(row.split(",")), 41, row)
                else:
                    check_schema(json.loads(row), "snapshot")

    def test_bad_input_is_refused_before_any_connection(self):
        listener, target = self.loopback(listen=True)
        listener.setblocking(False)
        rows = [  # (arguments, exit status, words the message must contain)
            (["frobnicate", target], 2, "unknown subcommand"),
            (["status", "127.0.0.1:99999"], 2, "TARGET"),
            (["status", "host name"], 2, "TARGET"),
            (["check", "1.2.3"], 3, "TARGET"),
            (["check", target, "-w", "nan"], 3, "--warning-temp"),
            (["check", target, "-c", "20:10"], 3, "--critical-temp"),
            (["check", target, "-w", "10:45:50"], 3, "--warning-temp"),
            (["check", target, "-t", "inf"], 3, "--timeout-seconds"),
            (["check", target, "-t", "0"], 3, "--timeout-seconds"),
            (["check", target, "--unreachable", "ok"], 3, "--unreachable"),
            (["check", target, "--power-expected", "maybe"], 3, "--power-expected"),
            (["check"], 3, "TARGET"),
            (["--timeout", "0", "check", target], 3, "--timeout"),
            (["watch", target, "--duration", "nan"], 2, "--duration"),
            (["watch", target, "--duration", "-inf"], 2, "--duration"),
            (["status", target, "-w", "inf"], 2, "--warning-temp"),
            (["find", "--format", "yaml"], 2, "--format"),
            (["fan", target, "5000"], 2, "RPM"),
            (["fan", target, "1199"], 2, "RPM"),
            (["power", target, "maybe"], 2, "STATE"),
            (["--timeout", "0", "status", target], 2, "--timeout"),
            (["watch", target, "--log", "/nonexistent/dir/log.csv"], 2, "--log"),
            (["watch", target, "--log-format", "xml"], 2, "--log-format"),
            (["send", target, ""], 2, "LINE"),
            (["send", target, "A\nB"], 2, "LINE"),
        ]
        for args, code, words in rows:
            r = ctl(*args)
            self.assertEqual(r.returncode, code, args)
            if "check" in args:  # the monitoring system reads stdout only
                self.assertEqual(r.stderr, "", args)
                self.assertRegex(r.stdout, r"^CV4870 UNKNOWN - usage: [^\n|]*\n$")
                self.assertIn(words, r.stdout, args)
            else:
                self.assertEqual(r.stdout, "", args)
                self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                self.assertIn(words, r.stderr, args)
            with self.assertRaises(BlockingIOError, msg=args):
                listener.accept()
        for flag in ["--help", "--version"]:
            r = ctl(flag)
            self.assertEqual(r.returncode, 0)
            self.assertIn("cv4870ctl", r.stdout)


if __name__ == "__main__":
    CTL, EMULATOR = cvtest.take_args(2)
    cvtest.main()
