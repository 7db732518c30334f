/* Resource-name parsing: what a SOCKET name may look like. */
#include "rsrcname.h"

#include <QtTest>

using cvvisa::HostKind;

Q_DECLARE_METATYPE(cvvisa::HostKind)

class tst_VisaRsrcName : public QObject {
    Q_OBJECT

private slots:
    void accepted_data();
    void accepted();
    void rejected_data();
    void rejected();
    void lengthLimit();
};

void tst_VisaRsrcName::accepted_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<uint>("board");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<HostKind>("kind");
    QTest::addColumn<uint>("port");
    QTest::addColumn<QByteArray>("canonical");

    QTest::newRow("plain") << QByteArray("TCPIP::192.0.2.7::23::SOCKET") << 0u << QByteArray("192.0.2.7")
                           << HostKind::Ipv4 << 23u << QByteArray("TCPIP0::192.0.2.7::23::SOCKET");
    QTest::newRow("board") << QByteArray("TCPIP12::10.0.0.1::5025::SOCKET") << 12u << QByteArray("10.0.0.1")
                           << HostKind::Ipv4 << 5025u << QByteArray("TCPIP12::10.0.0.1::5025::SOCKET");
    QTest::newRow("lower case") << QByteArray("tcpip0::10.0.0.1::65535::socket") << 0u << QByteArray("10.0.0.1")
                                << HostKind::Ipv4 << 65535u << QByteArray("TCPIP0::10.0.0.1::65535::SOCKET");
    QTest::newRow("mixed case") << QByteArray("TcpIp::Scope-3.Lab::1::SoCkEt") << 0u << QByteArray("Scope-3.Lab")
                                << HostKind::Name << 1u << QByteArray("TCPIP0::Scope-3.Lab::1::SOCKET");
    QTest::newRow("ipv6") << QByteArray("TCPIP::[fe80::1]::23::SOCKET") << 0u << QByteArray("fe80::1")
                          << HostKind::Ipv6 << 23u << QByteArray("TCPIP0::[fe80::1]::23::SOCKET");
    QTest::newRow("ipv6 mapped") << QByteArray("TCPIP::[::ffff:127.0.0.1]::23::SOCKET") << 0u
                                 << QByteArray("::ffff:127.0.0.1") << HostKind::Ipv6 << 23u
                                 << QByteArray("TCPIP0::[::ffff:127.0.0.1]::23::SOCKET");
    QTest::newRow("name with digits") << QByteArray("TCPIP::4870a::23::SOCKET") << 0u << QByteArray("4870a")
                                      << HostKind::Name << 23u << QByteArray("TCPIP0::4870a::23::SOCKET");
}

void tst_VisaRsrcName::accepted()
{
    QFETCH(QByteArray, name);
    cvvisa::SocketRsrc r;
    QCOMPARE(cvvisa::parseSocketRsrc(name.constData(), &r), VI_SUCCESS);
    QTEST(r.board, "board");
    QTEST(QByteArray::fromStdString(r.host), "host");
    QTEST(r.hostKind, "kind");
    QTEST(r.port, "port");
    QTEST(QByteArray::fromStdString(r.canonical()), "canonical");
}

void tst_VisaRsrcName::rejected_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("prefix only") << QByteArray("TCPIP");
    QTest::newRow("instr") << QByteArray("TCPIP0::10.0.0.1::inst0::INSTR");
    QTest::newRow("lan device") << QByteArray("TCPIP::10.0.0.1::5025");
    QTest::newRow("no port") << QByteArray("TCPIP::10.0.0.1::SOCKET");
    QTest::newRow("gpib") << QByteArray("GPIB0::8::INSTR");
    QTest::newRow("space") << QByteArray("TCPIP:: 10.0.0.1::23::SOCKET");
    QTest::newRow("single colon") << QByteArray("TCPIP:10.0.0.1:23:SOCKET");
    QTest::newRow("board sign") << QByteArray("TCPIP+1::10.0.0.1::23::SOCKET");
    QTest::newRow("board huge") << QByteArray("TCPIP99999999999999999999::10.0.0.1::23::SOCKET");
    QTest::newRow("port huge") << QByteArray("TCPIP::10.0.0.1::99999999999999999999::SOCKET");
    QTest::newRow("port zero") << QByteArray("TCPIP::10.0.0.1::0::SOCKET");
    QTest::newRow("port sign") << QByteArray("TCPIP::10.0.0.1::-23::SOCKET");
    QTest::newRow("three octets") << QByteArray("TCPIP::10.0.1::23::SOCKET");
    QTest::newRow("five octets") << QByteArray("TCPIP::10.0.0.1.2::23::SOCKET");
    QTest::newRow("octet 256") << QByteArray("TCPIP::10.0.0.256::23::SOCKET");
    QTest::newRow("octet digits") << QByteArray("TCPIP::10.0.0.0001::23::SOCKET");
    QTest::newRow("empty host") << QByteArray("TCPIP::::23::SOCKET");
    QTest::newRow("underscore") << QByteArray("TCPIP::my_host::23::SOCKET");
    QTest::newRow("hyphen edge") << QByteArray("TCPIP::-host::23::SOCKET");
    QTest::newRow("empty label") << QByteArray("TCPIP::a..b::23::SOCKET");
    QTest::newRow("long label") << ("TCPIP::" + QByteArray(64, 'a') + "::23::SOCKET");
    QTest::newRow("bad ipv6") << QByteArray("TCPIP::[fe80:::1]::23::SOCKET");
    QTest::newRow("ipv6 unbracketed") << QByteArray("TCPIP::fe80::1::23::SOCKET");
    QTest::newRow("ipv6 open") << QByteArray("TCPIP::[fe80::1::23::SOCKET");
    QTest::newRow("ipv4 in brackets") << QByteArray("TCPIP::[10.0.0.1]::23::SOCKET");
    QTest::newRow("suffix") << QByteArray("TCPIP::10.0.0.1::23::SOCKET::");
    QTest::newRow("non-ascii") << QByteArray("TCPIP::h\xc3\xa9::23::SOCKET");
}

void tst_VisaRsrcName::rejected()
{
    QFETCH(QByteArray, name);
    cvvisa::SocketRsrc r;
    QCOMPARE(cvvisa::parseSocketRsrc(name.constData(), &r), VI_ERROR_INV_RSRC_NAME);
    QCOMPARE(cvvisa::parseSocketRsrc(nullptr, &r), VI_ERROR_INV_RSRC_NAME);
}

void tst_VisaRsrcName::lengthLimit()
{
    /* The longest valid name fits a 256-byte buffer with its NUL; one
     * character more is refused however well-formed. */
    const std::string prefix = "TCPIP::", suffix = "::23::SOCKET";
    std::string host;
    while (host.size() < cvvisa::kMaxRsrcNameLen - prefix.size() - suffix.size())
        host += host.size() % 50 == 49 ? '.' : 'q';
    std::string name = prefix + host + suffix;
    QCOMPARE(name.size(), std::size_t(VI_FIND_BUFLEN - 1));
    cvvisa::SocketRsrc r;
    QCOMPARE(cvvisa::parseSocketRsrc(name.c_str(), &r), VI_SUCCESS);
    QCOMPARE(r.host, host);
    name = prefix + host + "q" + suffix;
    QCOMPARE(cvvisa::parseSocketRsrc(name.c_str(), &r), VI_ERROR_INV_RSRC_NAME);
}

QTEST_APPLESS_MAIN(tst_VisaRsrcName)
#include "tst_visa_rsrcname.moc"
