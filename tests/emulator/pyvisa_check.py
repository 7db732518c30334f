#!/usr/bin/env python3
"""Talks to the emulator program through pyvisa and its pure Python backend,
as a third-party VISA client would: a TCPIP SOCKET resource with "\\n"
termination on an ephemeral loopback port.

Usage: pyvisa_check.py <path of cv4870-emulator>
Exit status 77 (skipped) when pyvisa or pyvisa-py cannot be imported."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import cvtest  # noqa: E402

try:
    import pyvisa
    import pyvisa_py  # noqa: F401  (the backend must be present)
    MISSING = None
except ImportError as error:
    MISSING = "pyvisa with pyvisa-py is not importable by %s (%s); install python3-pyvisa and python3-pyvisa-py" % (
        sys.executable, error)


@unittest.skipIf(MISSING, MISSING)
class PyvisaPy(unittest.TestCase):
    def test_queries_and_commands(self):
        emu = cvtest.Emulator(EMULATOR, "--ps-serial", "123456", "--simulation")
        try:
            rm = pyvisa.ResourceManager("@py")
            inst = rm.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % emu.port, read_termination="\n",
                                    write_termination="\n", timeout=5000)
            self.assertEqual(inst.query("*IDN?"), "Corvane Ltd.,4870,123456,A.03.11")
            self.assertEqual(inst.query("*CLS;:FAN:SPE 2400;:FAN:SPE?;:SYST:ERR?").split(";")[1], '0,"No error"')
            volts = inst.query_ascii_values("MEAS:VOLT?")
            self.assertEqual(len(volts), 7)
            self.assertLess(abs(volts[0] - 24.0), 1.2)
            self.assertEqual(inst.query("BOGUS;:SYST:ERR?"), '-113,"Undefined header"')
            inst.write("POW OFF")
            self.assertEqual(inst.query("POW?"), "0")
            self.assertEqual(inst.query("OUTP:STAT?"), "0,0,0,0,0,0,0")
            inst.write("*RST")
            self.assertEqual(inst.query("POW?;:FAN:SPE?").split(",")[0], "1;1800")
            inst.close()
            rm.close()
        finally:
            self.assertEqual(emu.stop(), 0, "the emulator stops cleanly on SIGTERM")


if __name__ == "__main__":
    EMULATOR, = cvtest.take_args(1)
    cvtest.main()
