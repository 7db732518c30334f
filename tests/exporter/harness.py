"""Processes and loopback utilities shared by the exporter's Python tests.

Every process started through Processes is stopped when the with-block ends,
also when a check fails; every wait is bounded."""

import base64
import os
import socket
import ssl
import subprocess
import threading
import time
import urllib.error
import urllib.request


class Processes:
    def __init__(self):
        self.procs = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
        for proc in self.procs:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=5)
            if proc.stdout:
                proc.stdout.close()
        return False

    def start(self, args, **kwargs):
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, **kwargs)
        self.procs.append(proc)
        return proc


def read_lines_until(proc, last, timeout=20):
    """Lines of proc's stdout up to and including one that starts with last."""
    lines = []
    result = {}

    def reader():
        for line in proc.stdout:
            lines.append(line.strip())
            if line.startswith(last):
                result["done"] = True
                return

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    thread.join(timeout)
    if "done" not in result:
        raise RuntimeError("no '%s' line within %d s; got %r" % (last, timeout, lines))
    return lines


def start_emulator(procs, emulator, count, *extra):
    """Starts the emulator program; returns it and its ports in order."""
    proc = procs.start([emulator, "--port", "0", "--count", str(count), "--spread", "port", "--ready",
                        "--simulation"] + list(extra))
    lines = read_lines_until(proc, "READY")
    ports = [int(line.split()[3]) for line in lines if line.startswith("LISTENING")]
    return proc, ports


def start_exporter(procs, exporter, *args, **kwargs):
    """Starts the exporter on a free loopback port; returns it and its base URL."""
    proc = procs.start([exporter, "--listen", "127.0.0.1:0", "--ready"] + list(args), **kwargs)
    line = read_lines_until(proc, "LISTENING")[-1]
    return proc, "http://127.0.0.1:%s" % line.split()[2]


def get(url, headers=None, timeout=15, context=None, method=None):
    """(status, content type, body) of a GET; HTTP errors are results too."""
    request = urllib.request.Request(url, headers=headers or {}, method=method)
    try:
        with urllib.request.urlopen(request, timeout=timeout, context=context) as response:
            return response.status, response.headers.get("Content-Type"), response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.headers.get("Content-Type"), error.read().decode()


def samples(text):
    """{'name{labels}': value} of an exposition text."""
    result = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            key, value = line.rsplit(" ", 1)
            result[key] = float(value)
    return result


class Listener:
    """A loopback TCP listener that counts connections and never answers."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.accepted = []
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
                self.accepted.append(conn)
            except OSError:
                pass

    def close(self):
        self.stopping = True
        self.thread.join(5)
        for conn in self.accepted:
            conn.close()
        self.sock.close()


def wait_for(condition, timeout, step=0.2):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(step)
    return condition()


# bcrypt of "secret" at cost 4, so that the tests stay quick.
SECRET_HASH = "$2b$04$vboK/ICtXzcWXmSmfzE/s.zu6rr9yVXzJRZBjfK/U/.3PIM5ZWFAq"


def basic(user, password):
    """An Authorization header for basic authentication."""
    return {"Authorization": "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()}


def make_web_config(directory, tls=True, users=True, extra_tls=""):
    """A self-signed certificate for 127.0.0.1 and a web config file using
    it (names relative to the file) and the user prom:secret; returns the
    config file and the certificate."""
    cert, key = os.path.join(directory, "exporter.crt"), os.path.join(directory, "exporter.key")
    if tls and not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=30)
    text = ""
    if tls:
        text += "tls_server_config:\n  cert_file: exporter.crt\n  key_file: exporter.key\n" + extra_tls
    if users:
        text += "basic_auth_users:\n  prom: '%s'\n" % SECRET_HASH
    config = os.path.join(directory, "web.yml")
    with open(config, "w") as f:
        f.write(text)
    return config, cert


def tls_context(cert):
    return ssl.create_default_context(cafile=cert)
