/* Resource-name parsing: what a SOCKET name may look like, and the
 * canonical forms of every resource string the library knows. */
#include "rsrcname.h"

#include <QtTest>

class tst_VisaRsrcName : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void canonical_data();
    void canonical();
};

void tst_VisaRsrcName::parse_data()
{
    /* An empty canonical form means the name is refused. */
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("canonical");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("kind");
    auto ok = [](const QByteArray &name, const QByteArray &canonical, const QByteArray &host, cvvisa::HostKind kind) {
        QTest::newRow(name.left(60).constData()) << name << canonical << host << int(kind);
    };
    using K = cvvisa::HostKind;
    ok("TCPIP::192.0.2.7::23::SOCKET", "TCPIP0::192.0.2.7::23::SOCKET", "192.0.2.7", K::Ipv4);
    ok("TCPIP12::10.0.0.1::5025::SOCKET", "TCPIP12::10.0.0.1::5025::SOCKET", "10.0.0.1", K::Ipv4);
    ok("tcpip0::10.0.0.1::65535::socket", "TCPIP0::10.0.0.1::65535::SOCKET", "10.0.0.1", K::Ipv4);
    ok("TCPIP::010.000.00.012::23::SOCKET", "TCPIP0::10.0.0.12::23::SOCKET", "10.0.0.12", K::Ipv4); // not octal
    ok("TcpIp::Scope-3.Lab::1::SoCkEt", "TCPIP0::Scope-3.Lab::1::SOCKET", "Scope-3.Lab", K::Name);
    ok("TCPIP::4870a::23::SOCKET", "TCPIP0::4870a::23::SOCKET", "4870a", K::Name);
    ok("TCPIP::[fe80::1]::23::SOCKET", "TCPIP0::[fe80::1]::23::SOCKET", "fe80::1", K::Ipv6);
    ok("TCPIP::[::ffff:127.0.0.1]::23::SOCKET", "TCPIP0::[::ffff:127.0.0.1]::23::SOCKET", "::ffff:127.0.0.1", K::Ipv6);
    /* The longest name fits a 256-byte buffer with its NUL; one more
     * character is refused however well-formed. */
    QByteArray host;
    while (host.size() < int(cvvisa::kMaxRsrcNameLen) - 19)
        host += host.size() % 50 == 49 ? '.' : 'q';
    ok("TCPIP::" + host + "::23::SOCKET", "TCPIP0::" + host + "::23::SOCKET", host, K::Name);
    QTest::newRow("256 bytes") << ("TCPIP::" + host + "q::23::SOCKET") << QByteArray() << QByteArray() << 0;
    for (const char *bad : {"",
                            "TCPIP",
                            "TCPIP0::10.0.0.1::inst0::INSTR",
                            "TCPIP::10.0.0.1::5025",
                            "TCPIP::10.0.0.1::SOCKET",
                            "GPIB0::8::INSTR",
                            "TCPIP:: 10.0.0.1::23::SOCKET",
                            "TCPIP:10.0.0.1:23:SOCKET",
                            "TCPIP+1::10.0.0.1::23::SOCKET",
                            "TCPIP99999999999999999999::10.0.0.1::23::SOCKET",
                            "TCPIP::10.0.0.1::99999999999999999999::SOCKET",
                            "TCPIP::10.0.0.1::0::SOCKET",
                            "TCPIP::10.0.0.1::-23::SOCKET",
                            "TCPIP::10.0.1::23::SOCKET",
                            "TCPIP::10.0.0.1.2::23::SOCKET",
                            "TCPIP::10.0.0.256::23::SOCKET",
                            "TCPIP::10.0.0.0001::23::SOCKET",
                            "TCPIP::::23::SOCKET",
                            "TCPIP::my_host::23::SOCKET",
                            "TCPIP::-host::23::SOCKET",
                            "TCPIP::a..b::23::SOCKET",
                            "TCPIP::[fe80:::1]::23::SOCKET",
                            "TCPIP::fe80::1::23::SOCKET",
                            "TCPIP::[fe80::1::23::SOCKET",
                            "TCPIP::[10.0.0.1]::23::SOCKET",
                            "TCPIP::10.0.0.1::23::SOCKET::",
                            "TCPIP::0x7f000001::23::SOCKET",
                            "TCPIP::h\xc3\xa9::23::SOCKET"})
        QTest::newRow(bad) << QByteArray(bad) << QByteArray() << QByteArray() << 0;
    QTest::newRow("64-char label") << ("TCPIP::" + QByteArray(64, 'a') + "::23::SOCKET") << QByteArray() << QByteArray()
                                   << 0;
}

void tst_VisaRsrcName::parse()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, canonical);
    cvvisa::SocketRsrc r;
    const ViStatus st = cvvisa::parseSocketRsrc(name.constData(), &r);
    if (canonical.isEmpty()) {
        QCOMPARE(st, VI_ERROR_INV_RSRC_NAME);
        return;
    }
    QCOMPARE(st, VI_SUCCESS);
    QCOMPARE(QByteArray::fromStdString(r.canonical()), canonical);
    QTEST(QByteArray::fromStdString(r.host), "host");
    QTEST(int(r.hostKind), "kind");
    QCOMPARE(cvvisa::parseSocketRsrc(nullptr, &r), VI_ERROR_INV_RSRC_NAME);
}

void tst_VisaRsrcName::canonical_data()
{
    /* An empty canonical form means the name is refused. */
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("canonical");
    QTest::addColumn<int>("intf");
    QTest::addColumn<int>("board");
    QTest::addColumn<QByteArray>("cls");
    const struct
    {
        const char *name, *canonical;
        int intf, board;
        const char *cls;
    } rows[] = {
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
    };
    for (const auto &r : rows)
        QTest::newRow(r.name) << QByteArray(r.name) << QByteArray(r.canonical) << r.intf << r.board
                              << QByteArray(r.cls);
    for (const char *bad : {"GPIB0::31::INSTR",
                            "GPIB0::8::32",
                            "GPIB0",
                            "GPIB0::8::1::2",
                            "GPIB0::8::INSTR::",
                            "VXI0::256::INSTR",
                            "VXI0",
                            "GPIB-VXI0::SERVANT",
                            "ASRL1::8::INSTR",
                            "USB0::0x10000::1::S",
                            "USB0::1::2",
                            "USB0::1::2::S:N",
                            "TCPIP0::host::SOCKET",
                            "TCPIP0::my_host::INSTR",
                            "TCPIP0::host::a::b",
                            "TCPIP0::host::servant",
                            "TCPIP0::::INSTR",
                            "TCPIP0::[::1",
                            "PXI0::1",
                            "TCPIPX::host"})
        QTest::newRow(bad) << QByteArray(bad) << QByteArray() << 0 << 0 << QByteArray();
    /* 255 characters as written, but 256 with the board number filled in */
    QTest::newRow("outgrows") << ("TCPIP::" + QByteArray(236, 'h') + "::23::SOCKET") << QByteArray() << 0 << 0
                              << QByteArray();
}

void tst_VisaRsrcName::canonical()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, canonical);
    cvvisa::RsrcInfo r;
    QCOMPARE(cvvisa::parseRsrc(name.constData(), &r), canonical.isEmpty() ? VI_ERROR_INV_RSRC_NAME : VI_SUCCESS);
    if (canonical.isEmpty())
        return;
    QCOMPARE(QByteArray::fromStdString(r.canonical), canonical);
    QTEST(int(r.intfType), "intf");
    QTEST(int(r.board), "board");
    QTEST(QByteArray::fromStdString(r.rsrcClass), "cls");
    cvvisa::RsrcInfo again; /* a canonical name is its own canonical form */
    QCOMPARE(cvvisa::parseRsrc(r.canonical.c_str(), &again), VI_SUCCESS);
    QCOMPARE(again.canonical, r.canonical);
}

QTEST_APPLESS_MAIN(tst_VisaRsrcName)
#include "tst_visa_rsrcname.moc"
