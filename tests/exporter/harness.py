"""Exporter-specific helpers for its Python tests, on top of the shared
cvtest helpers; every wait is bounded and only loopback is used."""

import base64
import os
import ssl
import sys
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import cvtest  # noqa: E402


class Exporter(cvtest.Program):
    """The exporter on a free loopback port; its base URL in self.base."""

    def __init__(self, program, *args, **popen_args):
        super().__init__([program, "--listen", "127.0.0.1:0", "--ready"] + list(args), until="LISTENING",
                         **popen_args)
        self.port = int(self.lines[-1].split()[2])
        self.base = "http://127.0.0.1:%d" % self.port


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
        cvtest.self_signed(cert, key)
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
