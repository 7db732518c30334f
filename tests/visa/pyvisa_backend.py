#!/usr/bin/env python3
"""pyvisa with the shared VISA library of this project as its backend,
against the emulator program on loopback: search, open, I/O, timeouts,
termination, attributes, clear and close.

Usage: pyvisa_backend.py <libcvvisa.so> <path of cv4870-emulator>
Exit status 77 (skipped) when pyvisa cannot be imported."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import cvtest  # noqa: E402

try:
    import pyvisa
    from pyvisa import constants, errors, rname
    MISSING = None
except ImportError as error:
    MISSING = "pyvisa is not importable by %s (%s); install python3-pyvisa" % (sys.executable, error)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@unittest.skipIf(MISSING, MISSING)
class PyvisaBackend(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        resource_file = os.path.join(cls.tmp.name, "resources.conf")
        os.environ["CV_VISA_RESOURCES"] = resource_file
        cls.emulator = cvtest.Emulator(EMULATOR, "--ps-serial", "123456")
        port = cls.port = cls.emulator.port
        cls.socket = "TCPIP0::127.0.0.1::%d::SOCKET" % port
        # As written in the resource file, and as the search lists them: in
        # canonical form, the two spellings of one socket once.
        written = ["TCPIP::127.0.0.1::%d::SOCKET" % port, "tcpip::127.0.0.1::%d::socket" % port,
                   "tcpip3::127.0.0.9::5025::socket", "GPIB::8", "gpib1::4::INSTR", "ASRL11",
                   "TCPIP::192.0.2.3::hislip0::INSTR", "VXI::1::BACKPLANE", "USB::0x0957::6023::MY1::RAW",
                   "TCPIP::10.0.0.1::23::SOCKETX"]
        cls.canonical = [cls.socket, "TCPIP3::127.0.0.9::5025::SOCKET", "GPIB0::8::INSTR", "GPIB1::4::INSTR",
                         "ASRL11::INSTR", "TCPIP0::192.0.2.3::hislip0::INSTR", "VXI0::1::BACKPLANE",
                         "USB0::0x0957::0x1787::MY1::RAW", "TCPIP::10.0.0.1::23::SOCKETX"]
        with open(resource_file, "w") as f:
            f.write("\n".join(written) + "\n")
        cls.rm = pyvisa.ResourceManager(LIBRARY)

    @classmethod
    def tearDownClass(cls):
        cls.rm.close()
        cls.emulator.stop()
        cls.tmp.cleanup()

    def check(self, what, got, expected):
        with self.subTest(what):
            self.assertEqual(got, expected)

    def status_of(self, call):
        try:
            call()
        except errors.VisaIOError as error:
            return error.error_code
        return constants.StatusCode.success

    def test_search(self):
        rm, canonical = self.rm, self.canonical
        self.check("resource manager backend", rm.visalib.library_path.path, LIBRARY)
        self.check("everything, canonical", list(rm.list_resources("?*")), canonical)
        # pyvisa's filter anchors at the start only; "$" makes it match whole
        # names, as a search does.
        for expr in ["TCPIP?*SOCKET", "?*INSTR", "(GPIB|ASRL)?*", "tcpip[0-9]::?*", "?*[^T]", "USB?*RAW",
                     "GPIB1+::?*", "PXI?*"]:
            self.check("list_resources(%r)" % expr, list(rm.list_resources(expr)),
                       list(rname.filter(canonical, "(%s)$" % expr)))
        self.check("bad expression", self.status_of(lambda: rm.list_resources("?*(")),
                   constants.StatusCode.error_invalid_expression)

    def test_names(self):
        rm, port, socket = self.rm, self.port, self.socket
        info = rm.resource_info("tcpip::127.0.0.1::%d::socket" % port)
        self.check("parsed", (info.interface_type, info.interface_board_number, info.resource_class,
                              info.resource_name, info.alias),
                   (constants.InterfaceType.tcpip, 0, "SOCKET", socket, None))
        plain, _ = rm.visalib.parse_resource(rm.session, "ASRL4")
        self.check("viParseRsrc", (plain.interface_type, plain.interface_board_number),
                   (constants.InterfaceType.asrl, 4))
        self.check("manager's maker", rm.visalib.get_attribute(rm.session, constants.VI_ATTR_RSRC_MANF_NAME)[0],
                   "cv-visa")
        info = rm.resource_info("gpib-vxi2::9")
        self.check("parsed GPIB-VXI", (info.interface_type, info.interface_board_number, info.resource_name),
                   (constants.InterfaceType.gpib_vxi, 2, "GPIB-VXI2::9::INSTR"))
        self.check("unparsable", self.status_of(lambda: rm.open_resource("TCPIP::no host::1::SOCKET")),
                   constants.StatusCode.error_invalid_resource_name)
        self.check("not here", self.status_of(lambda: rm.open_resource("GPIB0::8::INSTR")),
                   constants.StatusCode.error_resource_not_found)
        unused = "TCPIP::127.0.0.1::%d::SOCKET" % cvtest.free_port()
        self.check("nothing listening", self.status_of(lambda: rm.open_resource(unused)),
                   constants.StatusCode.error_resource_not_found)

    def test_open_and_close_leave_no_descriptor(self):
        rm, port, socket = self.rm, self.port, self.socket
        fds = open_fds()
        for name in (socket, "TCPIP::127.0.0.1::%d::SOCKET" % port):
            inst = rm.open_resource(name, read_termination="\n", write_termination="\n", timeout=3000)
            self.check("class for %s" % name, type(inst).__name__, "TCPIPSocket")
            self.check("*IDN? through %s" % name, inst.query("*IDN?"), "Corvane Ltd.,4870,123456,A.03.11")
            inst.close()
        self.check("descriptors after open and close", open_fds(), fds)

    def test_attributes_and_io(self):
        rm, port = self.rm, self.port
        inst = rm.open_resource("tcpip::localhost::%d::socket" % port)
        # The attributes the C++ session test does not read.
        attrs = {
            constants.VI_ATTR_TCPIP_PORT: port,
            constants.VI_ATTR_RSRC_CLASS: "SOCKET",
            constants.VI_ATTR_INTF_TYPE: constants.InterfaceType.tcpip,
            constants.VI_ATTR_INTF_NUM: 0,
            constants.VI_ATTR_SEND_END_EN: True,
            constants.VI_ATTR_IO_PROT: constants.IOProtocol.normal,
            constants.VI_ATTR_RSRC_MANF_NAME: "cv-visa",
            constants.VI_ATTR_RSRC_LOCK_STATE: constants.AccessModes.no_lock,
        }
        for attr, value in attrs.items():
            self.check("attribute 0x%08X" % attr, inst.get_visa_attribute(attr), value)
        self.check("implementation version", inst.implementation_version > 0, True)
        self.check("read-only attribute",
                   self.status_of(lambda: inst.set_visa_attribute(constants.VI_ATTR_TCPIP_ADDR, 0)),
                   constants.StatusCode.error_attribute_read_only)
        inst.timeout = 250
        inst.keep_alive = True
        self.check("timeout and keep-alive set", (inst.timeout, inst.keep_alive), (250, True))

        # raw writes and reads: no termination character, the read ends when
        # the reply stops coming
        self.check("write_raw", inst.write_raw(b"*IDN?\n"), 6)
        self.check("read_raw", inst.read_raw(), b"Corvane Ltd.,4870,123456,A.03.11\n")
        # a read with nothing to come times out, and the session still works
        self.check("timeout", self.status_of(inst.read_raw), constants.StatusCode.error_timeout)
        inst.read_termination = "\n"
        inst.write_termination = "\n"
        self.check("after a timeout", inst.query("*IDN?"), "Corvane Ltd.,4870,123456,A.03.11")
        # another termination character ends the read there; the rest waits
        # for the next read, and clear() throws it away
        inst.read_termination = ","
        self.check("termchar ','", inst.query("*IDN?"), "Corvane Ltd.")
        self.check("the rest", inst.read(), "4870")
        inst.clear()
        inst.read_termination = "\n"
        self.check("after clear()", inst.query("*IDN?"), "Corvane Ltd.,4870,123456,A.03.11")
        inst.flush(constants.BufferOperation.discard_receive_buffer)
        unsupported = [("read_stb", inst.read_stb), ("assert_trigger", inst.assert_trigger), ("lock", inst.lock_excl)]
        for what, call in unsupported:
            self.check(what, self.status_of(call), constants.StatusCode.error_nonsupported_operation)
        self.check("enable_event", self.status_of(lambda: inst.enable_event(constants.EventType.service_request,
                                                                            constants.EventMechanism.queue)),
                   constants.StatusCode.error_invalid_event)
        session = inst.session
        inst.close()
        self.check("closed session", self.status_of(lambda: rm.visalib.clear(session)[1]),
                   constants.StatusCode.error_invalid_object)


if __name__ == "__main__":
    LIBRARY, EMULATOR = cvtest.take_args(2)
    cvtest.main()
