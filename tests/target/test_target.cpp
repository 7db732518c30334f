// The one target grammar: what each spelling means, that every spelling of
// one mainframe has one key, and what is refused.
#include "cvtarget/target.h"

#include <gtest/gtest.h>

#include <string>

using cvtarget::parseResource;
using cvtarget::parseTarget;
using cvtarget::Target;

TEST(Target, CanonicalForms)
{
    const struct
    {
        const char *text, *resource;
        cvtarget::HostKind kind;
    } rows[] = {
        {"127.0.0.1", "TCPIP0::127.0.0.1::23::SOCKET", cvtarget::HostKind::Ipv4},
        {"010.001.000.012:5025", "TCPIP0::10.1.0.12::5025::SOCKET", cvtarget::HostKind::Ipv4}, // decimal
        {"MF-3.Lab.Example", "TCPIP0::mf-3.lab.example::23::SOCKET", cvtarget::HostKind::Name},
        {"localhost:00080", "TCPIP0::localhost::80::SOCKET", cvtarget::HostKind::Name},
        {"tcpip7::Host::5025::socket", "TCPIP0::host::5025::SOCKET", cvtarget::HostKind::Name},
        {"TCPIP::[0:0:0:0:0:0:0:1]::5025::SOCKET", "TCPIP0::[::1]::5025::SOCKET", cvtarget::HostKind::Ipv6},
        {"[FD00:4870::0001]", "TCPIP0::[fd00:4870::1]::23::SOCKET", cvtarget::HostKind::Ipv6},
        {"[::1]:5025", "TCPIP0::[::1]::5025::SOCKET", cvtarget::HostKind::Ipv6},
        {"fe80::1", "TCPIP0::[fe80::1]::23::SOCKET", cvtarget::HostKind::Ipv6},
        {"a::b", "TCPIP0::[a::b]::23::SOCKET", cvtarget::HostKind::Ipv6},
        {"[::ffff:127.0.0.200]:1", "TCPIP0::127.0.0.200::1::SOCKET", cvtarget::HostKind::Ipv4}, // mapped
        {"TCPIP0::[::ffff:7f00:c8]::1::SOCKET", "TCPIP0::127.0.0.200::1::SOCKET", cvtarget::HostKind::Ipv4},
        {"[64:ff9b::7f00:c8]:1", "TCPIP0::127.0.0.200::1::SOCKET", cvtarget::HostKind::Ipv4}, // NAT64
        {"[64:ff9b:1::7f00:c8]:1", "TCPIP0::[64:ff9b:1::7f00:c8]::1::SOCKET", cvtarget::HostKind::Ipv6},
        {"[::127.0.0.1]", "TCPIP0::[::127.0.0.1]::23::SOCKET", cvtarget::HostKind::Ipv6}, // not mapped
    };
    for (const auto &row : rows) {
        Target t;
        std::string error;
        ASSERT_TRUE(parseTarget(row.text, &t, &error)) << row.text << ": " << error;
        EXPECT_EQ(t.resource(), row.resource) << row.text;
        EXPECT_EQ(t.host.kind, row.kind) << row.text;
        Target again; // the canonical resource is its own canonical form
        ASSERT_TRUE(parseResource(t.resource(), &again)) << t.resource();
        EXPECT_EQ(again.key(), t.key());
    }
}

TEST(Target, EverySpellingOfOneMainframeHasOneKey)
{
    const std::pair<const char *, const char *> rows[] = {
        {"127.0.0.10:4870", "127.0.0.10:4870"},
        {"127.0.0.010:4870", "127.0.0.10:4870"},
        {"127.000.000.010:4870", "127.0.0.10:4870"},
        {"TCPIP0::127.0.0.10::4870::SOCKET", "127.0.0.10:4870"},
        {"tcpip1099::127.0.0.10::04870::socket", "127.0.0.10:4870"},
        {"TCPIP::[::ffff:127.0.0.10]::4870::SOCKET", "127.0.0.10:4870"},
        {"[::ffff:7f00:a]:4870", "127.0.0.10:4870"},
        {"[0:0:0:0:0:FFFF:7F00:000A]:4870", "127.0.0.10:4870"},
        {"[64:ff9b::127.0.0.10]:4870", "127.0.0.10:4870"},
        {"[::1]:7", "[::1]:7"},
        {"TCPIP3::[0::1]::7::SOCKET", "[::1]:7"},
        {"[0000:0000:0000:0000:0000:0000:0000:0001]:07", "[::1]:7"},
    };
    for (const auto &[text, key] : rows) {
        Target t;
        ASSERT_TRUE(parseTarget(text, &t)) << text;
        EXPECT_EQ(t.key(), key) << text;
    }
}

TEST(Target, Refusals)
{
    // clang-format off
    const char *bad[] = {
        "", "host:", "host:0", "host:65536", "host:123456", "host:23x", "host:-1", ":23", "256.1.1.1", "1.2.3",
        "1.2.3.4.5", "127.1", "1000.1.1.1", "0x7f000001", "0x7f.1", "017700000001", "-host", "host-", "a..b",
        "host.", "ho st", "h_st", "h\x01st", "h\xc3\xa9", "[::1", "[::1]x", "[::1]:", "[::1]:0", "[127.0.0.1]",
        "[]", "[fe80:::1]", "[fe80::1%eth0]", "::1::", "TCPIP0::host::23::", "TCPIP0::host::23",
        "TCPIP0::::23::SOCKET", "TCPIP0::host::0::SOCKET", "TCPIP0::host::65536::SOCKET",
        "TCPIP0::fe80::1::23::SOCKET", "TCPIP0::[fe80::1::23::SOCKET", "TCPIP0::[10.0.0.1]::23::SOCKET",
        "TCPIP0::ho st::23::SOCKET", "TCPIP99999::host::23::SOCKET", "TCPIP0::127.0.0.1::INSTR",
        "TCPIP0::host::23::SOCKET::", "GPIB0::8::INSTR", "ASRL1::INSTR", "USB0::1::2::3::INSTR",
        "0TCPIP::h::1::SOCKET", "::host::23::SOCKET",
    };
    // clang-format on
    for (const char *text : bad) {
        Target t;
        std::string error;
        EXPECT_FALSE(parseTarget(text, &t, &error)) << text << " -> " << t.resource();
        EXPECT_FALSE(error.empty()) << text;
    }
    const std::string label63(63, 'a');
    const std::string names = label63 + "." + label63 + "." + label63 + ".";
    const struct
    {
        std::string text;
        bool ok;
    } lengths[] = {
        {std::string(63, 'a') + ".b", true},
        {std::string(64, 'a') + ".b", false},
        {names + std::string(43, 'a'), true}, // 235: the resource string is 255 long
        {names + std::string(44, 'a'), false},
        {"TCPIP0::" + names + std::string(44, 'a') + "::1::SOCKET", true},
        {"TCPIP0::" + names + std::string(45, 'a') + "::1::SOCKET", false},
        {"TCPIP0::" + std::string(235, 'a') + "::1::SOCKET", false}, // a label above 63
        {std::string("10.0.0.1\0", 9), false},
        {std::string("TCPIP0::[::1\0]::1::SOCKET", 25), false},
    };
    for (const auto &row : lengths) {
        Target t;
        EXPECT_EQ(parseTarget(row.text, &t), row.ok) << row.text.size() << " characters";
    }
}
