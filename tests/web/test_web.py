#!/usr/bin/env python3
"""cv4870-web end to end against the emulator program on loopback: logins
and roles, every command and its effect, CSRF and origin refusals, bad input,
throttling, expiry, the live stream, storage across kill -9, a dead
mainframe, a read-only database, anonymous reading and option errors.

Usage: test_web.py <cv4870-web> <cv4870-emulator> <cv4870ctl>"""

import http.client
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import cvtest  # noqa: E402

WEB = EMULATOR = CTL = None
INTERVAL = 1.0
SECURITY = {"Content-Security-Policy": "default-src 'self'; frame-ancestors 'none'",
            "X-Content-Type-Options": "nosniff", "Referrer-Policy": "same-origin"}
USERS = {"alice": ("admin", "alice-pw"), "olga": ("operator", "olga-pw"), "victor": ("viewer", "victor-pw")}


def ctl(*args):
    r = subprocess.run([CTL] + [str(a) for a in args], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    return r.stdout


def snapshot(target):
    # Exit status 1 or 2 is a warning or critical mainframe, still a reading.
    r = subprocess.run([CTL, "--json", "status", target], capture_output=True, text=True, timeout=30)
    assert r.returncode in (0, 1, 2), r.stderr
    return json.loads(r.stdout)


class Service:
    """One cv4870-web process on a free loopback port."""

    def __init__(self, folder, *extra, wrap=()):
        self.folder, self.tls = folder, "--tls-cert" in extra
        self.db = os.path.join(folder, "web.db")
        self.args = list(wrap) + [WEB, "--listen", "127.0.0.1:0", "--targets", os.path.join(folder, "targets"),
                                  "--users", os.path.join(folder, "users"), "--db", self.db,
                                  "--interval", str(INTERVAL), "--ready"] + list(extra)
        self.start()

    def start(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("LISTENING"), "cv4870-web did not start: %r %r" % (line, self.proc.stderr.read())
        self.port = int(line.split()[2])
        self.origin = "%s://127.0.0.1:%d" % ("https" if self.tls else "http", self.port)

    def stop(self, sig=signal.SIGTERM):
        if self.proc.stdout.closed:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            self.proc.wait(timeout=20)
        self.stderr = self.proc.stderr.read()
        # A clean stop, also under the sanitizers (a leak report exits non-zero).
        assert self.proc.returncode in (0, -signal.SIGKILL), (self.proc.returncode, self.stderr)
        self.proc.stdout.close()
        self.proc.stderr.close()


class Client:
    """Requests with the session cookie and CSRF token of one login; every
    answer is checked for the security headers."""

    def __init__(self, service):
        self.service, self.cookie, self.csrf = service, None, None

    def request(self, method, path, body=None, origin=True, csrf=True, headers=None):
        h = {"Host": "127.0.0.1:%d" % self.service.port}
        if self.cookie:
            h["Cookie"] = "cv4870_session=" + self.cookie
        if origin and method in ("POST", "DELETE"):
            h["Origin"] = self.service.origin
        if csrf and self.csrf and method in ("POST", "DELETE"):
            h["X-CSRF-Token"] = self.csrf
        h.update(headers or {})
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
        if self.service.tls:
            context = ssl.create_default_context(cafile=os.path.join(self.service.folder, "cert.pem"))
            conn = http.client.HTTPSConnection("127.0.0.1", self.service.port, timeout=30, context=context)
        else:
            conn = http.client.HTTPConnection("127.0.0.1", self.service.port, timeout=30)
        try:
            conn.request(method, path, body=body, headers=h)
            resp = conn.getresponse()
            data = resp.read().decode()
        finally:
            conn.close()
        for name, value in SECURITY.items():
            assert resp.getheader(name) == value, "%s %s: %s" % (method, path, name)
        if resp.getheader("Content-Type", "").startswith("application/json"):
            data = json.loads(data)
            if resp.status >= 400:
                assert isinstance(data.get("error"), str), data
        return resp.status, resp, data

    def login(self, user, password=None):
        password = USERS[user][1] if password is None else password
        status, resp, data = self.request("POST", "/api/v1/session", {"user": user, "password": password})
        if status == 200:
            cookie = resp.getheader("Set-Cookie")
            self.cookie = cookie.split(";")[0].split("=", 1)[1]
            self.csrf = data["csrf_token"]
        return status, resp, data


class Stream:
    """A Server-Sent Events reader on its own thread."""

    def __init__(self, service, path, cookie=None, headers=None):
        self.sock = socket.create_connection(("127.0.0.1", service.port), timeout=30)
        # HTTP/1.0: the stream comes unchunked and ends with the connection.
        h = "GET %s HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n" % (path, service.port)
        if cookie:
            h += "Cookie: cv4870_session=%s\r\n" % cookie
        for k, v in (headers or {}).items():
            h += "%s: %s\r\n" % (k, v)
        self.sock.sendall((h + "\r\n").encode())
        self.text, self.closed = "", False
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    break
                self.text += chunk.decode(errors="replace")
        except OSError:
            pass
        self.closed = True

    def messages(self, kind):
        out = []
        for block in self.text.split("\n\n")[:-1]:  # the last one may be cut short
            lines = block.split("\n")
            if "event: " + kind in lines:
                data = [ln[6:] for ln in lines if ln.startswith("data: ")]
                out.append(json.loads(data[0]))
        return out

    def close(self):
        self.sock.close()
        self.thread.join(5)


class Web(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="cv4870web-")
        cls.emu = cvtest.Emulator(EMULATOR, "--simulation", count=3)
        cls.targets = ["127.0.0.1:%d" % p for p in cls.emu.ports]
        # A listener that accepts and never answers, and a port with nothing.
        cls.silent = cvtest.listener()
        lines = ["# the lab"] + ["%s Rack %d" % (t, i + 1) for i, t in enumerate(cls.targets)]
        lines += ["127.0.0.1:%d Silent" % cls.silent.getsockname()[1], "127.0.0.1:%d" % cvtest.free_port()]
        cls.targets_text = "\n".join(lines) + "\n"
        cls.folder = cls.make_folder("main")
        cls.web = Service(cls.folder)

    @classmethod
    def make_folder(cls, name):
        folder = os.path.join(cls.tmp, name)
        os.makedirs(folder)
        with open(os.path.join(folder, "targets"), "w") as f:
            f.write(cls.targets_text)
        for user, (role, password) in USERS.items():
            subprocess.run([WEB, "user", "add", user, "--role", role, "--users", os.path.join(folder, "users")],
                           input=password + "\n", text=True, check=True, timeout=30)
        return folder

    @classmethod
    def tearDownClass(cls):
        cls.web.stop()
        cls.emu.stop()
        cls.silent.close()
        shutil.rmtree(cls.tmp)

    def service(self, folder, *extra, **kw):
        """A Service of its own for this test, stopped at its end."""
        web = Service(folder, *extra, **kw)
        self.addCleanup(web.stop)
        return web

    def client(self, user=None, service=None):
        c = Client(service or self.web)
        if user:
            self.assertEqual(c.login(user)[0], 200)
        return c

    def audit(self, **query):
        path = "/api/v1/audit?" + "&".join("%s=%s" % kv for kv in query.items())
        status, _, data = self.client("alice").request("GET", path)
        self.assertEqual(status, 200, data)
        return data["records"]

    def test_login_roles_and_cookie(self):
        for user, password, status in [("alice", "alice-pw", 200), ("olga", "olga-pw", 200), ("victor", "x", 401),
                                       ("nobody", "x", 401), ("alice", "", 401)]:
            c = Client(self.web)
            got, resp, data = c.login(user, password)
            self.assertEqual(got, status, (user, data))
            if status == 200:
                self.assertEqual(data["role"], USERS[user][0])
                attrs = [a.strip() for a in resp.getheader("Set-Cookie").split(";")]
                self.assertEqual(sorted(attrs[1:]), ["HttpOnly", "Path=/", "SameSite=Strict"])
                self.assertEqual(len(c.cookie), 64)
                self.assertEqual(c.request("GET", "/api/v1/session")[2]["user"], user)
                self.assertEqual(c.request("DELETE", "/api/v1/session")[0], 204)
                self.assertEqual(c.request("GET", "/api/v1/session")[0], 401)  # ended on the server
            else:
                self.assertEqual(data["error"], "wrong user name or password")
        actions = [(r["action"], r["user"]) for r in self.audit(limit=20)]
        for entry in [("login_failed", "nobody"), ("login_failed", "victor"), ("logout", "olga"), ("login", "alice")]:
            self.assertIn(entry, actions)

    def test_commands_reach_the_mainframe(self):
        olga = self.client("olga")
        target = self.targets[0]
        for command, body, check in [
                ("reset", {}, lambda s: True),
                ("power", {"state": "off"}, lambda s: not s["status"]["main_power_on"]),
                ("power", {"state": "on"}, lambda s: s["status"]["main_power_on"]),
                ("fan", {"rpm": 2400}, lambda s: s["fans"]["nominal_speed_rpm"] == 2400),
                ("fan", {"rpm": None}, lambda s: s["fans"]["nominal_speed_rpm"] == 0),
                ("fan", {"rpm": 1800}, lambda s: s["fans"]["nominal_speed_rpm"] == 1800),
                ("sysreset", None, lambda s: True)]:
            status, _, data = olga.request("POST", "/api/v1/mainframes/rack-1/" + command, body)
            self.assertEqual(status, 200, data)
            self.assertTrue(data["ok"])
            self.assertTrue(check(snapshot(target)), command)
            record = [r for r in self.audit(action="command") if r["id"] == data["audit_id"]][0]
            self.assertEqual((record["user"], record["command"], record["ok"], record["result"]),
                             ("olga", command, True, data["result"]))
        # A mainframe that does not answer: the driver's text, 502, audited as failed.
        status, _, data = olga.request("POST", "/api/v1/mainframes/silent/reset", {})
        self.assertEqual((status, data["ok"]), (502, False))
        self.assertTrue(data["error"])
        status, _, data = olga.request("GET", "/api/v1/events?kind=command&mainframe=rack-1&limit=3")
        self.assertEqual([e["subject"] for e in data["events"]], ["sysreset", "fan", "fan"])
        self.assertEqual(data["events"][0]["user"], "olga")

    def test_refusals_and_bad_input_send_nothing(self):
        alice, victor, anonymous = self.client("alice"), self.client("victor"), Client(self.web)
        fan = "/api/v1/mainframes/rack-2/fan"
        before = len(self.audit(action="refused", limit=1000))
        cases = [
            (victor, "POST", fan, {"rpm": 3000}, {}, 403, True),
            (alice, "POST", fan, {"rpm": 3000}, {"csrf": False}, 403, True),
            (alice, "POST", fan, {"rpm": 3000}, {"headers": {"X-CSRF-Token": "0" * 64}}, 403, True),
            (alice, "POST", fan, {"rpm": 3000}, {"headers": {"Origin": "http://evil.example"}}, 403, True),
            (alice, "POST", fan, {"rpm": 3000}, {"origin": False}, 403, True),
            (alice, "POST", fan, {"rpm": 3000}, {"origin": False, "headers": {"Referer": "http://evil.example/"}},
             403, True),
            (anonymous, "POST", fan, {"rpm": 3000}, {}, 401, True),
            (victor, "GET", "/api/v1/audit", None, {}, 403, True),
            (anonymous, "GET", "/api/v1/mainframes", None, {}, 401, False),
            (alice, "POST", fan, "{rpm: 3000", {}, 400, False),
            (alice, "POST", fan, {"rpm": 5000}, {}, 400, False),
            (alice, "POST", fan, {"rpm": "3000"}, {}, 400, False),
            (alice, "POST", fan, {"rpm": 2400.5}, {}, 400, False),
            (alice, "POST", fan, [3000], {}, 400, False),
            (alice, "POST", "/api/v1/mainframes/rack-2/power", {"state": "of"}, {}, 400, False),
            (alice, "POST", "/api/v1/mainframes/nope/power", {"state": "off"}, {}, 404, False),
            (alice, "GET", fan, None, {}, 405, False),
            (alice, "PUT", "/api/v1/mainframes", None, {}, 405, False),
            (alice, "POST", fan, {"rpm": 3000, "pad": "x" * 70000}, {}, 413, False),
            (alice, "GET", "/api/v1/events?since=yesterday", None, {}, 400, False),
            (alice, "GET", "/api/v1/events?since=2026-02-30T00:00:00Z", None, {}, 400, False),
            (alice, "GET", "/api/v1/events?kind=bogus", None, {}, 400, False),
            (alice, "GET", "/api/v1/events?limit=0", None, {}, 400, False),
            (alice, "GET", "/api/v1/events?mainframe=nope", None, {}, 404, False),
            (alice, "GET", "/api/v1/mainframes/nope", None, {}, 404, False),
            (alice, "GET", "/api/v1/stream?mainframes=nope", None, {}, 404, False),
            (alice, "GET", "/api/v1/nothing", None, {}, 404, False),
        ]
        for client, method, path, body, opts, status, audited in cases:
            got, _, data = client.request(method, path, body, **opts)
            self.assertEqual(got, status, (method, path, body, opts, data))
        self.assertEqual(snapshot(self.targets[1])["fans"]["nominal_speed_rpm"], 1800)
        refused = len(self.audit(action="refused", limit=1000)) - before
        self.assertEqual(refused, sum(1 for c in cases if c[6]))

    def test_stream_delivers_fault_and_follows_fast(self):
        victor = self.client("victor")
        stream = Stream(self.web, "/api/v1/stream?mainframes=rack-3", victor.cookie)
        try:
            self.assertTrue(cvtest.wait_for(lambda: stream.messages("mainframe"), 5))
            head = stream.text.split("\r\n\r\n", 1)
            self.assertIn("Cache-Control: no-cache", head[0])
            self.assertTrue(head[1].startswith(":"))
            ctl("send", self.targets[2], "SIM:SYSF ON")
            self.assertTrue(cvtest.wait_for(lambda: any(e["subject"] == "sys_fail" and e["kind"] == "line_set"
                                                 for e in stream.messages("event")), 2 * INTERVAL + 1))
            self.assertIn("\nid: ", stream.text)
            self.assertTrue(stream.messages("mainframe")[-1]["fast"])
            self.assertEqual({m["id"] for m in stream.messages("mainframe")}, {"rack-3"})
            # A viewer never sees command events.
            self.client("olga").request("POST", "/api/v1/mainframes/rack-3/reset", {})
            ctl("send", self.targets[2], "SIM:CLE")
            self.assertTrue(cvtest.wait_for(lambda: any(e["kind"] == "line_cleared" for e in stream.messages("event")), 5))
            self.assertFalse([e for e in stream.messages("event") if e["kind"] == "command"])
            last = max(e["id"] for e in stream.messages("event"))
        finally:
            stream.close()
        # A reconnecting client gets what it missed after its Last-Event-ID.
        replay = Stream(self.web, "/api/v1/stream?mainframes=rack-3", victor.cookie, {"Last-Event-ID": last - 1})
        try:
            self.assertTrue(cvtest.wait_for(lambda: any(e["id"] == last for e in replay.messages("event")), 5))
        finally:
            replay.close()
        # Logging out ends the streams of the session.
        stream = Stream(self.web, "/api/v1/stream", victor.cookie)
        self.assertTrue(cvtest.wait_for(lambda: stream.messages("mainframe"), 5))
        victor.request("DELETE", "/api/v1/session")
        self.assertTrue(cvtest.wait_for(lambda: stream.closed, 5))
        stream.close()

    def test_dead_mainframes_do_not_delay_the_others(self):
        viewer = self.client("victor")
        seen = {}
        end = time.monotonic() + 4 * INTERVAL
        while time.monotonic() < end:
            for m in viewer.request("GET", "/api/v1/mainframes")[2]["mainframes"]:
                seen.setdefault(m["id"], set()).add(m["last_poll"])
            time.sleep(0.2)
        for mid in ("rack-1", "rack-2", "rack-3"):
            self.assertGreaterEqual(len(seen[mid]), 3, mid)
        states = {m["id"]: m for m in viewer.request("GET", "/api/v1/mainframes")[2]["mainframes"]}
        self.assertEqual(states["silent"]["state"], "down")
        self.assertFalse(states["silent"]["link"]["up"])
        self.assertEqual(states["rack-2"]["snapshot"]["type"], "snapshot")
        health = viewer.request("GET", "/api/v1/health")[2]
        self.assertEqual((health["status"], health["mainframes"]["up"], health["mainframes"]["down"]), ("ok", 3, 2))

    def test_pages_assets_and_csv(self):
        anonymous, alice = Client(self.web), self.client("alice")
        status, resp, _ = anonymous.request("GET", "/")
        self.assertEqual((status, resp.getheader("Location")), (303, "/login"))
        self.assertEqual(anonymous.request("GET", "/login")[0], 200)
        for path in ["/", "/events", "/audit", "/mainframes/rack-1"]:
            status, resp, _ = alice.request("GET", path)
            self.assertEqual((status, resp.getheader("Content-Type")), (200, "text/html; charset=utf-8"), path)
        status, resp, _ = alice.request("GET", "/assets/app.css")
        etag = resp.getheader("ETag")
        self.assertEqual((status, resp.getheader("Content-Type")), (200, "text/css; charset=utf-8"))
        self.assertEqual(alice.request("GET", "/assets/app.css", headers={"If-None-Match": etag})[0], 304)
        status, resp, text = alice.request("GET", "/api/v1/events?limit=5", headers={"Accept": "text/csv"})
        self.assertEqual(resp.getheader("Content-Type"), "text/csv; charset=utf-8")
        self.assertEqual(text.split("\r\n")[0], "id,time,mainframe,kind,subject,severity,text,from_rpm,to_rpm,user")
        self.assertIn("\r\n", alice.request("GET", "/api/v1/audit?format=csv&limit=2")[2])
        metrics = alice.request("GET", "/metrics")[2]
        self.assertIn('cv4870web_mainframes{state="up"} 3', metrics)

    def test_storage_survives_kill_and_restart(self):
        folder = self.make_folder("kill")
        web = self.service(folder)
        olga = self.client("olga", web)
        status, _, data = olga.request("POST", "/api/v1/mainframes/rack-2/fan", {"rpm": 1800})
        self.assertEqual(status, 200, data)
        audit_id = data["audit_id"]
        events = olga.request("GET", "/api/v1/events")[2]["events"]
        web.stop(signal.SIGKILL)
        web.start()
        olga = self.client("alice", web)
        self.assertIn(audit_id, [r["id"] for r in olga.request("GET", "/api/v1/audit")[2]["records"]])
        after = {e["id"]: e for e in olga.request("GET", "/api/v1/events?limit=1000")[2]["events"]}
        for e in events:
            self.assertEqual(after[e["id"]], e)
        # Anonymous reading on the same data: reads, never commands, command events or the audit trail.
        web.stop()
        web.args += ["--anonymous-read"]
        web.start()
        anonymous = Client(web)
        self.assertEqual(anonymous.request("GET", "/api/v1/session")[2]["role"], "anonymous")
        self.assertEqual(anonymous.request("GET", "/")[0], 200)
        self.assertEqual(len(anonymous.request("GET", "/api/v1/mainframes")[2]["mainframes"]), 5)
        self.assertEqual(anonymous.request("POST", "/api/v1/mainframes/rack-2/reset", {})[0], 401)
        self.assertEqual(anonymous.request("GET", "/api/v1/audit")[0], 401)
        kinds = {e["kind"] for e in anonymous.request("GET", "/api/v1/events?limit=1000")[2]["events"]}
        self.assertNotIn("command", kinds)
        self.assertEqual(anonymous.request("GET", "/api/v1/events?kind=command")[2]["events"], [])
        # SIGHUP: a new mainframe appears, the others keep their sessions.
        since = {m["id"]: m["link"]["since"] for m in anonymous.request("GET", "/api/v1/mainframes")[2]["mainframes"]}
        with open(os.path.join(folder, "targets"), "a") as f:
            f.write("127.0.0.2:1 Late\n")
        web.proc.send_signal(signal.SIGHUP)
        self.assertTrue(cvtest.wait_for(lambda: anonymous.request("GET", "/api/v1/mainframes/late")[0] == 200, 5))
        self.assertEqual(anonymous.request("GET", "/api/v1/mainframes/rack-1")[2]["link"]["since"], since["rack-1"])

    def test_throttle_and_expiry(self):
        folder = self.make_folder("short")
        web = self.service(folder, "--session-idle", "2", "--session-max", "4", "--login-window", "60")
        c = self.client("alice", web)
        self.assertTrue(cvtest.wait_for(lambda: c.request("GET", "/api/v1/session")[0] == 401, 4, 0.5))
        c = self.client("alice", web)
        for _ in range(3):  # used every second it outlives its idle time, not its end
            time.sleep(1)
            self.assertEqual(c.request("GET", "/api/v1/session")[0], 200)
        self.assertTrue(cvtest.wait_for(lambda: c.request("GET", "/api/v1/session")[0] == 401, 3, 0.5))
        for _ in range(5):
            self.assertEqual(Client(web).login("olga", "wrong")[0], 401)
        status, resp, _ = Client(web).login("olga")
        self.assertEqual(status, 429)
        self.assertGreater(int(resp.getheader("Retry-After")), 0)
        for i in range(20):  # guessing names from one address
            Client(web).login("guess%d" % i, "wrong")
        self.assertEqual(Client(web).login("victor")[0], 429)
        web.stop()
        # Read from the file: the address is still throttled in this window.
        out = subprocess.run(["sqlite3", web.db, "SELECT action, user, result FROM audit"], capture_output=True,
                             text=True, check=True).stdout
        self.assertIn("refused|olga|login throttled", out.splitlines())

    def test_read_only_database(self):
        folder = self.make_folder("readonly")
        web = Service(folder)
        web.stop()
        wrap = ()
        if os.geteuid() == 0:
            # Root writes through file modes: a read-only bind mount of the folder in a namespace of its own.
            if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
                self.skipTest("no mount namespace for root")
            wrap = ("unshare", "-m", "sh", "-c",
                    'mount --bind "$0" "$0" && mount -o remount,ro,bind "$0" && exec "$@"', folder)
        else:
            os.chmod(web.db, 0o444)
            os.chmod(folder, 0o555)
        self.addCleanup(os.chmod, folder, 0o755)
        web = self.service(folder, "--anonymous-read", wrap=wrap)
        c = Client(web)
        self.assertTrue(cvtest.wait_for(lambda: c.request("GET", "/api/v1/mainframes/rack-1")[2]["link"]["up"], 5))
        status, _, health = c.request("GET", "/api/v1/health")
        self.assertEqual((status, health["status"], health["database"]["writable"]), (503, "degraded", False))
        self.assertTrue(health["database"]["error"])
        self.assertEqual(c.login("alice")[0], 503)
        self.assertEqual(c.request("GET", "/api/v1/events")[0], 200)
        web.stop()
        self.assertIn("can not write", web.stderr)

    def test_stream_start_of_a_large_fleet_is_paced(self):
        # 4,000 mainframes that refuse (nothing bound on 127.1.x.y): their
        # first messages alone pass the stream's 256 KiB bound.
        folder = self.make_folder("large")
        with open(os.path.join(folder, "targets"), "w") as f:
            f.write("".join("127.1.%d.%d:9 m%d\n" % (i // 250, i % 250 + 1, i) for i in range(4000)))
        web = self.service(folder)
        stream = Stream(web, "/api/v1/stream", self.client("victor", web).cookie)
        self.assertTrue(cvtest.wait_for(lambda: len({m["id"] for m in stream.messages("mainframe")}) == 4000, 30))
        self.assertGreater(len(stream.text), 1024 * 1024)
        self.assertFalse(stream.closed)
        stream.close()

    def test_tls_secure_cookie(self):
        folder = self.make_folder("tls")
        cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        cvtest.self_signed(cert, key)
        web = self.service(folder, "--tls-cert", cert, "--tls-key", key)
        c = Client(web)
        status, resp, _ = c.login("olga")
        self.assertEqual(status, 200)
        self.assertIn("Secure", [a.strip() for a in resp.getheader("Set-Cookie").split(";")])
        self.assertEqual(c.request("POST", "/api/v1/mainframes/rack-2/sysreset", {})[0], 200)

    def test_bad_options_exit_2_with_one_line(self):
        folder = self.make_folder("options")
        bad_users = os.path.join(folder, "bad-users")
        with open(bad_users, "w") as f:
            f.write("alice:root:$y$j9T$abc$def\n")
        targets = os.path.join(folder, "targets")
        for args in [["--interval", "nan"], ["--interval", "inf"], ["--interval", "0"], ["--listen", "0.0.0.0:8470"],
                     ["--listen", "localhost:8470"], ["--users", bad_users], ["--tls-cert", targets],
                     ["--retention-days", "0"], ["--bogus"]]:
            r = subprocess.run([WEB, "--targets", targets, "--db", os.path.join(folder, "o.db")] + args,
                               capture_output=True, text=True, timeout=30)
            self.assertEqual(r.returncode, 2, (args, r.stderr))
            self.assertEqual(len(r.stderr.strip().splitlines()), 1, (args, r.stderr))
        r = subprocess.run([WEB, "user", "add", "zed", "--role", "root", "--users", os.path.join(folder, "users")],
                           input="pw\n", capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 2)
        with open(os.path.join(folder, "users")) as f:
            self.assertNotIn("zed", f.read())
        # The user subcommands end with their own status and never go on to serve.
        users = os.path.join(folder, "users")
        for args, code, out in [(["list"], 0, "alice admin olga operator victor viewer"), (["del", "victor"], 0, ""),
                                (["del", "victor"], 1, ""), (["list"], 0, "alice admin olga operator")]:
            r = subprocess.run([WEB, "user"] + args + ["--users", users], capture_output=True, text=True, timeout=30)
            self.assertEqual((r.returncode, " ".join(r.stdout.split())), (code, out), (args, r.stderr))


if __name__ == "__main__":
    WEB, EMULATOR, CTL = cvtest.take_args(3)
    cvtest.main()
