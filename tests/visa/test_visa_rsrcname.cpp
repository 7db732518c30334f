/* Resource-name parsing: what a SOCKET name may look like, and the
 * canonical forms of every resource string the library knows. An empty
 * canonical form means the name is refused. */
#include "rsrcname.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string &list)
{
    std::vector<std::string> out(1);
    for (char c : list)
        if (c == '|')
            out.emplace_back();
        else
            out.back().push_back(c);
    return out;
}

} // namespace

TEST(RsrcName, SocketNames)
{
    using K = cvvisa::HostKind;
    struct Row
    {
        std::string name, canonical, host;
        K kind;
    };
    std::vector<Row> rows = {
        {"TCPIP::192.0.2.7::23::SOCKET", "TCPIP0::192.0.2.7::23::SOCKET", "192.0.2.7", K::Ipv4},
        {"TCPIP12::10.0.0.1::5025::SOCKET", "TCPIP12::10.0.0.1::5025::SOCKET", "10.0.0.1", K::Ipv4},
        {"tcpip0::10.0.0.1::65535::socket", "TCPIP0::10.0.0.1::65535::SOCKET", "10.0.0.1", K::Ipv4},
        {"TCPIP::010.000.00.012::23::SOCKET", "TCPIP0::10.0.0.12::23::SOCKET", "10.0.0.12", K::Ipv4}, // not octal
        {"TcpIp::Scope-3.Lab::1::SoCkEt", "TCPIP0::Scope-3.Lab::1::SOCKET", "Scope-3.Lab", K::Name},
        {"TCPIP::4870a::23::SOCKET", "TCPIP0::4870a::23::SOCKET", "4870a", K::Name},
        {"TCPIP::[fe80::1]::23::SOCKET", "TCPIP0::[fe80::1]::23::SOCKET", "fe80::1", K::Ipv6},
        {"TCPIP::[::ffff:127.0.0.1]::23::SOCKET", "TCPIP0::[::ffff:127.0.0.1]::23::SOCKET", "::ffff:127.0.0.1",
         K::Ipv6},
        {"TCPIP::" + std::string(64, 'a') + "::23::SOCKET", "", "", K::Name}, // 64-character label
    };
    /* The longest name fits a 256-byte buffer with its NUL; one more
     * character is refused however well-formed. */
    std::string host;
    while (host.size() < cvvisa::kMaxRsrcNameLen - 19)
        host += host.size() % 50 == 49 ? '.' : 'q';
    rows.push_back({"TCPIP::" + host + "::23::SOCKET", "TCPIP0::" + host + "::23::SOCKET", host, K::Name});
    rows.push_back({"TCPIP::" + host + "q::23::SOCKET", "", "", K::Name});
    /* refused, separated by '|' */
    for (const std::string &bad :
         split("|TCPIP|TCPIP0::10.0.0.1::inst0::INSTR|TCPIP::10.0.0.1::5025|TCPIP::10.0.0.1::SOCKET|"
               "GPIB0::8::INSTR|TCPIP:: 10.0.0.1::23::SOCKET|TCPIP:10.0.0.1:23:SOCKET|"
               "TCPIP+1::10.0.0.1::23::SOCKET|TCPIP99999999999999999999::10.0.0.1::23::SOCKET|"
               "TCPIP::10.0.0.1::99999999999999999999::SOCKET|TCPIP::10.0.0.1::0::SOCKET|"
               "TCPIP::10.0.0.1::-23::SOCKET|TCPIP::10.0.1::23::SOCKET|TCPIP::10.0.0.1.2::23::SOCKET|"
               "TCPIP::10.0.0.256::23::SOCKET|TCPIP::10.0.0.0001::23::SOCKET|TCPIP::::23::SOCKET|"
               "TCPIP::my_host::23::SOCKET|TCPIP::-host::23::SOCKET|TCPIP::a..b::23::SOCKET|"
               "TCPIP::[fe80:::1]::23::SOCKET|TCPIP::fe80::1::23::SOCKET|TCPIP::[fe80::1::23::SOCKET|"
               "TCPIP::[10.0.0.1]::23::SOCKET|TCPIP::10.0.0.1::23::SOCKET::|TCPIP::0x7f000001::23::SOCKET|TCPIP::"
               "h\xc3\xa9::23::SOCKET"))
        rows.push_back({bad, "", "", K::Name});
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name.substr(0, 60));
        cvvisa::SocketRsrc parsed;
        const ViStatus st = cvvisa::parseSocketRsrc(r.name.c_str(), &parsed);
        EXPECT_EQ(st, r.canonical.empty() ? VI_ERROR_INV_RSRC_NAME : VI_SUCCESS);
        if (st == VI_SUCCESS) {
            EXPECT_EQ(parsed.canonical(), r.canonical);
            EXPECT_EQ(parsed.host, r.host);
            EXPECT_EQ(parsed.hostKind, r.kind);
        }
    }
    cvvisa::SocketRsrc parsed;
    EXPECT_EQ(cvvisa::parseSocketRsrc(nullptr, &parsed), VI_ERROR_INV_RSRC_NAME);
}

TEST(RsrcName, CanonicalForms)
{
    struct Row
    {
        std::string name, canonical;
        int intf, board;
        const char *cls;
    };
    std::vector<Row> rows = {
        {"tcpip3::[fe80::1]::5025::socket", "TCPIP3::[fe80::1]::5025::SOCKET", VI_INTF_TCPIP, 3, "SOCKET"},
        {"TCPIP::Scope-3.lab", "TCPIP0::Scope-3.lab::inst0::INSTR", VI_INTF_TCPIP, 0, "INSTR"},
        {"tcpip1::10.0.0.1::gpib0,5::instr", "TCPIP1::10.0.0.1::gpib0,5::INSTR", VI_INTF_TCPIP, 1, "INSTR"},
        {"TCPIP::[::1]::5025", "TCPIP0::[::1]::5025::INSTR", VI_INTF_TCPIP, 0, "INSTR"},
        {"GPIB::8", "GPIB0::8::INSTR", VI_INTF_GPIB, 0, "INSTR"},
        {"gpib2::30::31::instr", "GPIB2::30::31::INSTR", VI_INTF_GPIB, 2, "INSTR"},
        {"GPIB1::intfc", "GPIB1::INTFC", VI_INTF_GPIB, 1, "INTFC"},
        {"asrl11", "ASRL11::INSTR", VI_INTF_ASRL, 11, "INSTR"},
        {"VXI::1", "VXI0::1::INSTR", VI_INTF_VXI, 0, "INSTR"},
        {"vxi1::backplane", "VXI1::0::BACKPLANE", VI_INTF_VXI, 1, "BACKPLANE"},
        {"VXI::memacc", "VXI0::MEMACC", VI_INTF_VXI, 0, "MEMACC"},
        {"gpib-vxi2::255", "GPIB-VXI2::255::INSTR", VI_INTF_GPIB_VXI, 2, "INSTR"},
        {"USB::0x0957::6023::MY123::INSTR", "USB0::0x0957::0x1787::MY123::INSTR", VI_INTF_USB, 0, "INSTR"},
        {"usb1::0xabc::0x1::SN-1::2::raw", "USB1::0x0ABC::0x0001::SN-1::2::RAW", VI_INTF_USB, 1, "RAW"},
        /* 255 characters as written, but 256 with the board number filled in */
        {"TCPIP::" + std::string(236, 'h') + "::23::SOCKET", "", 0, 0, ""},
    };
    for (const std::string &bad :
         split("GPIB0::31::INSTR|GPIB0::8::32|GPIB0|GPIB0::8::1::2|GPIB0::8::INSTR::|VXI0::256::INSTR|VXI0|"
               "GPIB-VXI0::SERVANT|ASRL1::8::INSTR|USB0::0x10000::1::S|USB0::1::2|USB0::1::2::S:N|"
               "TCPIP0::host::SOCKET|TCPIP0::my_host::INSTR|TCPIP0::host::a::b|TCPIP0::host::servant|"
               "TCPIP0::::INSTR|TCPIP0::[::1|PXI0::1|TCPIPX::host"))
        rows.push_back({bad, "", 0, 0, ""});
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name.substr(0, 60));
        cvvisa::RsrcInfo info;
        const ViStatus st = cvvisa::parseRsrc(r.name.c_str(), &info);
        EXPECT_EQ(st, r.canonical.empty() ? VI_ERROR_INV_RSRC_NAME : VI_SUCCESS);
        if (st != VI_SUCCESS)
            continue;
        EXPECT_EQ(info.canonical, r.canonical);
        EXPECT_EQ(int(info.intfType), r.intf);
        EXPECT_EQ(int(info.board), r.board);
        EXPECT_EQ(info.rsrcClass, r.cls);
        cvvisa::RsrcInfo again; /* a canonical name is its own canonical form */
        EXPECT_EQ(cvvisa::parseRsrc(r.canonical.c_str(), &again), VI_SUCCESS);
        EXPECT_EQ(again.canonical, r.canonical);
    }
}
