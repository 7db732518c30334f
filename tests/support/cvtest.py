"""Helpers shared by the Python tests: programs that print the ports they
listen on, a free loopback port, silent listeners, a throwaway certificate,
and a unittest entry point that ctest
understands. Every wait is bounded; only loopback addresses are used.

A test script puts this folder on its path and starts the emulator:

    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
    import cvtest

    with cvtest.Emulator(emulator_path, "--simulation", count=2) as emu:
        emu.ports          # the mainframes' ports, in order
        emu.target         # "127.0.0.1:<first port>"
    # stopped here, also when a check failed

    if __name__ == "__main__":
        EMULATOR, = cvtest.take_args(1)
        cvtest.main()
"""

import socket
import subprocess
import sys
import threading
import time
import unittest

SKIPPED = 77  # ctest's SKIP_RETURN_CODE for these tests


def free_port(host="127.0.0.1"):
    """A TCP port on host that nothing listened on a moment ago."""
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def listener(host="127.0.0.1"):
    """A non-blocking loopback listener that never answers: the kernel
    completes connections to it, accept_all() takes them."""
    sock = socket.create_server((host, 0), backlog=64)
    sock.setblocking(False)
    return sock


def accept_all(sock):
    """The connections waiting on a listener from listener()."""
    conns = []
    while True:
        try:
            conns.append(sock.accept()[0])
        except BlockingIOError:
            return conns


def self_signed(cert, key):
    """A throwaway certificate for 127.0.0.1 and its key, made by openssl."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key,
                    "-out", cert], check=True, capture_output=True, timeout=60)


def wait_for(predicate, seconds, step=0.05):
    """True once predicate() holds, False if it still does not after seconds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return bool(predicate())


def read_lines_until(proc, first_word, timeout=20):
    """proc's output lines (stripped) up to one that starts with first_word;
    RuntimeError when none came within timeout seconds."""
    lines, found = [], threading.Event()

    def reader():
        for line in proc.stdout:
            lines.append(line.strip())
            if line.startswith(first_word):
                found.set()
                return

    threading.Thread(target=reader, daemon=True).start()
    if not found.wait(timeout):
        raise RuntimeError("no %r line within %d s; got %r" % (first_word, timeout, lines))
    return list(lines)


class Program:
    """A program started with its output on a pipe; its lines up to the
    one starting with `until` (none when until is None) are in self.lines.
    Stopped by stop() or at the end of a with-block."""

    def __init__(self, args, until="READY", timeout=20, **popen_args):
        self.proc = subprocess.Popen([str(a) for a in args], stdout=subprocess.PIPE, text=True, **popen_args)
        try:
            self.lines = read_lines_until(self.proc, until, timeout) if until is not None else []
        except RuntimeError:
            self.stop()
            raise

    def stop(self, timeout=10):
        """Ends it with SIGTERM (SIGKILL after timeout seconds); its exit status."""
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait(timeout=timeout)
        self.proc.stdout.close()
        return status

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


class Emulator(Program):
    """cv4870-emulator with count mainframes on free ports of address."""

    def __init__(self, program, *extra, count=1, address="127.0.0.1", **popen_args):
        args = [program, "--address", address, "--port", "0", "--count", count, "--spread", "port", "--ready"]
        super().__init__(args + list(extra), **popen_args)
        self.ports = [int(line.split()[3]) for line in self.lines if line.startswith("LISTENING")]
        self.port = self.ports[0]
        self.target = "%s:%d" % (address, self.port)


def take_args(count):
    """Removes the first count command-line arguments (the programs under
    test) and returns them, leaving the rest to unittest."""
    if len(sys.argv) <= count:
        sys.exit("usage: %s %s [unittest options]" % (sys.argv[0], " ".join(["<path>"] * count)))
    taken = sys.argv[1:count + 1]
    del sys.argv[1:count + 1]
    return taken


def main():
    """Runs the tests of __main__; exit status 0 when they pass, 1 when one
    fails, SKIPPED when every test was skipped."""
    result = unittest.main(verbosity=2, exit=False).result
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(SKIPPED)
    sys.exit(0 if result.wasSuccessful() else 1)
