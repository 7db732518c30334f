#!/usr/bin/env python3
"""The cv4870-emulator program as scripts and operators use it: serving,
stopping on a signal, its options and the refusals of bad ones.

Usage: test_emulator_program.py <path of cv4870-emulator>"""

import os
import signal
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import cvtest  # noqa: E402


def listening(program):
    """(address, port) of each mainframe the program announced."""
    return [(f[2], int(f[3])) for f in (line.split() for line in program.lines) if f[0] == "LISTENING"]


def query(address, port, line, conn=None):
    conn = conn or socket.create_connection((address, port), timeout=10)
    conn.sendall(line.encode() + b"\n")
    reply = b""
    while not reply.endswith(b"\n") and len(reply) < 4096:
        chunk = conn.recv(4096)
        if not chunk:
            break
        reply += chunk
    return reply.decode("latin-1").rstrip("\n")


def run(*args):
    return subprocess.run([EMULATOR] + list(args), capture_output=True, text=True, timeout=30)


class EmulatorProgram(unittest.TestCase):
    def test_serve_and_stop_cleanly(self):
        for sig, simulation in ((signal.SIGINT, False), (signal.SIGTERM, True)):
            with self.subTest(signal=sig.name):
                extra = ["--ps-serial", "500", "--description", "Lab", "-vv"] + ["--simulation"] * simulation
                emu = cvtest.Emulator(EMULATOR, *extra, count=3, stderr=subprocess.PIPE)
                try:
                    found = listening(emu)
                    self.assertEqual([a for a, _ in found], ["127.0.0.1"] * 3)
                    self.assertEqual(len(set(emu.ports)), 3)
                    for i, port in enumerate(emu.ports):
                        self.assertEqual(query("127.0.0.1", port, "*IDN?;:SYST:DESC?"),
                                         'Corvane Ltd.,4870,%d,A.03.11;"Lab #%d"' % (500 + i, i + 1))
                    # A client still connected does not hold the stop up.
                    idle = socket.create_connection(("127.0.0.1", emu.port), timeout=10)
                    reply = '0,"No error"' if simulation else '-113,"Undefined header"'
                    self.assertEqual(query(None, None, "SIM:SYSF ON;:SYST:ERR?", idle), reply)
                    emu.proc.send_signal(sig)
                    self.assertEqual(emu.proc.wait(timeout=10), 0)
                    log = emu.proc.stderr.read()
                    idle.close()
                finally:
                    emu.stop()
                    emu.proc.stderr.close()
                # -vv logs connections, command lines and replies.
                for part in ("connection from 127.0.0.1", "> SIM:SYSF ON;:SYST:ERR?", "< %s\\x0a" % reply,
                             "stopping on " + sig.name):
                    self.assertIn(part, log)

    def test_consecutive_addresses(self):
        with cvtest.Program([EMULATOR, "--address", "127.0.48.250", "--port", "0", "--count", "8", "--ready"]) as p:
            found = listening(p)
            self.assertEqual([found[0][0], found[7][0]], ["127.0.48.250", "127.0.49.1"])
            self.assertEqual(query(*found[7], "SYST:SER?"), "48700008,48710008")
            self.assertEqual(p.stop(), 0)

    def test_refused_options(self):
        # Exit status 1 and a message naming the address and the option.
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = str(taken.getsockname()[1])
            done = run("--port", port)
        self.assertEqual(done.returncode, 1)
        for part in ("127.0.0.1:" + port, "in use", "--port"):
            self.assertIn(part, done.stderr)
        # Exit status 2 and one line naming the option.
        rows = [(["--bogus"], "--bogus"), (["--port", "70000"], "--port"), (["--port", "23x"], "--port"),
                (["--port", "nan"], "--port"), (["--seed", "inf"], "--seed"), (["--max-clients", "-inf"], "--max-clients"),
                (["--port"], "--port"), (["--count", "0"], "--count"), (["--spread", "diagonal"], "--spread"),
                (["--address", "127.0.0.256"], "--address"), (["--firmware", "A,03"], "--firmware"),
                (["--address", "127.255.255.250", "--count", "10"], "--count")]  # leaves loopback
        for args, named in rows:
            with self.subTest(args=args):
                done = run(*args)
                self.assertEqual((done.returncode, done.stderr.count("\n")), (2, 1), done.stderr)
                self.assertIn(named, done.stderr)

    def test_help_names_every_option(self):
        done = run("--help")
        self.assertEqual(done.returncode, 0)
        for option in ("--address", "--port", "--count", "--spread", "--ps-serial", "--fan-serial", "--firmware",
                       "--description", "--seed", "--simulation", "--max-clients", "--ready", "--verbose"):
            self.assertIn(option, done.stdout)

    def test_descriptor_limit(self):
        # 1,024 mainframes need 1024 * 2 + 16 descriptors: more than the
        # usual soft limit, which the program raises to the hard one.
        args = [EMULATOR, "--port", "0", "--count", "1024", "--spread", "port", "--ready"]
        done = subprocess.run(["prlimit", "--nofile=1024:1024"] + args, capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 1)
        self.assertNotIn("READY", done.stdout)
        self.assertIn("need 2064 file descriptors", done.stderr)
        with cvtest.Program(["prlimit", "--nofile=1024:4096"] + args) as p:
            found = listening(p)
            self.assertEqual(len(found), 1024)
            self.assertEqual(query(*found[-1], "SYST:SER?"), "48701024,48711024")
            self.assertEqual(p.stop(), 0)


if __name__ == "__main__":
    EMULATOR, = cvtest.take_args(1)
    cvtest.main()
