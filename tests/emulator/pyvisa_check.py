#!/usr/bin/env python3
"""Talks to the emulator program through pyvisa and its pure Python backend,
as a third-party VISA client would: a TCPIP SOCKET resource with "\\n"
termination on an ephemeral loopback port.

Usage: pyvisa_check.py <path of cv4870-emulator>
Exit status 77 (skipped) when pyvisa or pyvisa-py cannot be imported."""

import subprocess
import sys

SKIP = 77


def main():
    try:
        import pyvisa
        import pyvisa_py  # noqa: F401  (the backend must be present)
    except ImportError as error:
        print("SKIPPED: pyvisa with pyvisa-py is not importable by %s (%s); "
              "install python3-pyvisa and python3-pyvisa-py" % (sys.executable, error))
        return SKIP

    program = sys.argv[1]
    emulator = subprocess.Popen([program, "--address", "127.0.0.1", "--port", "0", "--ready",
                                 "--ps-serial", "123456", "--simulation"],
                                stdout=subprocess.PIPE, text=True)
    try:
        port = None
        for line in emulator.stdout:
            words = line.split()
            if words and words[0] == "LISTENING":
                port = int(words[3])
            if words == ["READY"]:
                break
        if port is None:
            print("FAIL: the emulator printed no LISTENING line")
            return 1

        rm = pyvisa.ResourceManager("@py")
        inst = rm.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % port)
        inst.read_termination = "\n"
        inst.write_termination = "\n"
        inst.timeout = 5000

        failures = []

        def check(what, got, expected):
            if got != expected:
                failures.append("%s: got %r, expected %r" % (what, got, expected))

        check("*IDN?", inst.query("*IDN?"), "Corvane Ltd.,4870,123456,A.03.11")
        check("chained", inst.query("*CLS;:FAN:SPE 2400;:FAN:SPE?;:SYST:ERR?").split(";")[1],
              '0,"No error"')
        volts = inst.query_ascii_values("MEAS:VOLT?")
        check("seven voltages", len(volts), 7)
        check("+24 V near nominal", abs(volts[0] - 24.0) < 1.2, True)
        check("error", inst.query("BOGUS;:SYST:ERR?"), '-113,"Undefined header"')
        inst.write("POW OFF")
        check("power off", inst.query("POW?"), "0")
        check("outputs off", inst.query("OUTP:STAT?"), "0,0,0,0,0,0,0")
        inst.write("*RST")
        check("after *RST", inst.query("POW?;:FAN:SPE?").split(",")[0], "1;1800")
        inst.close()
        rm.close()

        for failure in failures:
            print("FAIL: " + failure)
        if not failures:
            print("pyvisa %s with pyvisa-py talked to the emulator on port %d" % (pyvisa.__version__, port))
        return 1 if failures else 0
    finally:
        emulator.terminate()
        try:
            status = emulator.wait(timeout=10)
        except subprocess.TimeoutExpired:
            emulator.kill()
            emulator.wait()
            status = "no stop on SIGTERM"
        if status != 0:
            print("FAIL: the emulator ended with status %s" % status)
            sys.exit(1)


if __name__ == "__main__":
    sys.exit(main())
