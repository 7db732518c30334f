/* Resource-name parsing: what a SOCKET name may look like. */
#include "rsrcname.h"

#include <QtTest>

class tst_VisaRsrcName : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
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

QTEST_APPLESS_MAIN(tst_VisaRsrcName)
#include "tst_visa_rsrcname.moc"
