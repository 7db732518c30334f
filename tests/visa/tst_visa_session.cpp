/* SOCKET sessions against a loopback peer: handles, attributes, reads and
 * writes with their timeouts, termination characters and lost peers. */
#include "loopbackpeer.h"
#include "tcpconn.h"
#include "visa.h"

#include <QtTest>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

namespace {

/* Addresses of this test program; other programs use other 127.x blocks. */
const char kPeerAddr[] = "127.41.1.1";
const char kOtherPeerAddr[] = "127.41.1.2";
const char kRefusingAddr[] = "127.41.1.3";

std::string socketName(const std::string &host, unsigned short port)
{
    return "TCPIP::" + host + "::" + std::to_string(port) + "::SOCKET";
}

struct ReadResult
{
    ViStatus status;
    std::string data;
};

ReadResult readSome(ViSession vi, ViUInt32 cnt)
{
    std::vector<ViByte> buf(cnt + 1, 0);
    ViUInt32 got = 0xDEADBEEF;
    ViStatus st = viRead(vi, buf.data(), cnt, &got);
    return {st, std::string(reinterpret_cast<char *>(buf.data()), got <= cnt ? got : 0)};
}

/* One step of a read script: the peer sends (nullptr: closes its side),
 * then the session reads cnt bytes with timeout tmo. */
struct Step
{
    const char *send;
    ViUInt32 tmo, cnt;
    ViStatus status;
    const char *data;
};
using Script = std::vector<Step>;

} // namespace

Q_DECLARE_METATYPE(Script)

class tst_VisaSession : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void statusDescriptions();
    void handles();
    void connectFailures();
    void longTimeoutsStayFinite();
    void attributes();
    void writeReachesPeer();
    void reads_data();
    void reads();
    void writeToClosedPeer();
    void sessionsRunIndependently();
    void operationsWithoutIo();

private:
    /* Opens a session to peer_ and accepts it: vi_ and fd_ are set. */
    void connectPeer();

    ViSession rm_ = VI_NULL;
    ViSession vi_ = VI_NULL;
    int fd_ = -1;
    std::unique_ptr<LoopbackPeer> peer_;
};

void tst_VisaSession::init()
{
    QCOMPARE(viOpenDefaultRM(&rm_), VI_SUCCESS);
    peer_.reset(new LoopbackPeer);
    QVERIFY(peer_->listen(kPeerAddr));
}

void tst_VisaSession::cleanup()
{
    viClose(rm_);
    rm_ = vi_ = VI_NULL;
    fd_ = -1;
    peer_.reset();
}

void tst_VisaSession::connectPeer()
{
    QCOMPARE(viOpen(rm_, socketName(kPeerAddr, peer_->port()).c_str(), VI_NO_LOCK, 0, &vi_), VI_SUCCESS);
    fd_ = peer_->accept();
    QVERIFY(fd_ >= 0);
}

void tst_VisaSession::statusDescriptions()
{
    ViChar desc[VI_FIND_BUFLEN];
    QCOMPARE(viStatusDesc(rm_, ViStatus(0xBFFC0999), desc), VI_WARN_UNKNOWN_STATUS);
    QVERIFY(QByteArray(desc).startsWith("Unknown status"));
    QVERIFY(QByteArray(desc).contains("BFFC0999"));
}

void tst_VisaSession::handles()
{
    ViSession second = VI_NULL, third = VI_NULL;
    QCOMPARE(viOpenDefaultRM(&second), VI_SUCCESS);
    QCOMPARE(viClose(second), VI_SUCCESS);
    QCOMPARE(viClose(second), VI_ERROR_INV_OBJECT);
    QCOMPARE(viOpenDefaultRM(&third), VI_SUCCESS);
    QVERIFY(third != second); /* a stale handle never names a new object */
    QCOMPARE(viClose(VI_NULL), VI_WARN_NULL_OBJECT);
    QCOMPARE(viOpenDefaultRM(nullptr), VI_ERROR_INV_PARAMETER);

    ViByte buf[4];
    ViUInt32 cnt = 7;
    QCOMPARE(viRead(second, buf, sizeof buf, &cnt), VI_ERROR_INV_OBJECT);
    QCOMPARE(cnt, ViUInt32(0));
    QCOMPARE(viRead(rm_, buf, sizeof buf, &cnt), VI_ERROR_NSUP_OPER);
    QCOMPARE(viWrite(rm_, buf, sizeof buf, &cnt), VI_ERROR_NSUP_OPER);

    /* sessions belong to their manager: closing it closes them (the peer
     * sees the connection end), another manager's stay open */
    const std::string name = socketName(kPeerAddr, peer_->port());
    ViSession theirs = VI_NULL, nested = 123;
    connectPeer();
    QCOMPARE(viOpen(third, name.c_str(), VI_NO_LOCK, 0, &theirs), VI_SUCCESS);
    QCOMPARE(viOpen(vi_, name.c_str(), VI_NO_LOCK, 0, &nested), VI_ERROR_NSUP_OPER);
    QCOMPARE(nested, ViSession(VI_NULL));
    QCOMPARE(viOpen(second, name.c_str(), VI_NO_LOCK, 0, &nested), VI_ERROR_INV_OBJECT);
    QCOMPARE(viOpen(rm_, name.c_str(), VI_EXCLUSIVE_LOCK, 0, &nested), VI_ERROR_INV_ACC_MODE);
    nested = 42;
    QCOMPARE(viOpen(rm_, ("TCPIP::" + std::string(100000, 'a') + "::5025::SOCKET").c_str(), VI_NO_LOCK, 0, &nested),
             VI_ERROR_INV_RSRC_NAME);
    QCOMPARE(nested, ViSession(VI_NULL));
    QCOMPARE(viClose(rm_), VI_SUCCESS);
    QCOMPARE(viWrite(vi_, buf, sizeof buf, &cnt), VI_ERROR_INV_OBJECT);
    QCOMPARE(viGetAttribute(theirs, VI_ATTR_TMO_VALUE, &cnt), VI_SUCCESS);
    QCOMPARE(recvUpTo(fd_, 1), std::string());
    QCOMPARE(viClose(third), VI_SUCCESS);
    QCOMPARE(viClose(theirs), VI_ERROR_INV_OBJECT);
}

void tst_VisaSession::connectFailures()
{
    /* nothing listening: refused at once */
    const unsigned short port = unusedPort(kRefusingAddr);
    QVERIFY(port != 0);
    ViSession vi = 42;
    QCOMPARE(viOpen(rm_, socketName(kRefusingAddr, port).c_str(), VI_NO_LOCK, 500, &vi), VI_ERROR_RSRC_NFOUND);
    QCOMPARE(vi, ViSession(VI_NULL));

    /* a listener that never accepts: once its queue is full, connects get
     * no answer and only the deadline ends them */
    LoopbackPeer silent;
    QVERIFY(silent.listen(kOtherPeerAddr, 0, 0));
    ViStatus st = VI_SUCCESS;
    for (int i = 0; i < 64 && st == VI_SUCCESS; ++i) {
        vi = 42;
        st = viOpen(rm_, socketName(kOtherPeerAddr, silent.port()).c_str(), VI_NO_LOCK, 200, &vi);
    }
    QCOMPARE(st, VI_ERROR_RSRC_NFOUND);
    QCOMPARE(vi, ViSession(VI_NULL));
}

/* Every timeout short of VI_TMO_INFINITE is a finite poll() wait, even
 * those past the range of poll()'s int milliseconds. */
void tst_VisaSession::longTimeoutsStayFinite()
{
    for (ViUInt32 ms : {2000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu})
        QVERIFY2(cvvisa::Deadline(ms).pollMs() > 0, QByteArray::number(ms));
    QCOMPARE(cvvisa::Deadline(VI_TMO_INFINITE).pollMs(), -1);
}

void tst_VisaSession::attributes()
{
    /* a host name is kept as written, the name made canonical and no
     * string attribute passes 256 bytes */
    LoopbackPeer local;
    QVERIFY(local.listen("127.0.0.1"));
    const std::string port = std::to_string(local.port());
    QCOMPARE(viOpen(rm_, ("tcpip::LocalHost::" + port + "::socket").c_str(), VI_NO_LOCK, 0, &vi_), VI_SUCCESS);
    const struct
    {
        ViAttr attr;
        std::string value;
    } texts[] = {{VI_ATTR_RSRC_NAME, "TCPIP0::LocalHost::" + port + "::SOCKET"},
                 {VI_ATTR_TCPIP_ADDR, "127.0.0.1"},
                 {VI_ATTR_TCPIP_HOSTNAME, "LocalHost"}};
    for (const auto &t : texts) {
        char buf[2 * VI_FIND_BUFLEN];
        memset(buf, 'Z', sizeof buf);
        QCOMPARE(viGetAttribute(vi_, t.attr, buf), VI_SUCCESS);
        QCOMPARE(std::string(buf, strnlen(buf, VI_FIND_BUFLEN)), t.value);
        QCOMPARE(std::string(buf + VI_FIND_BUFLEN, VI_FIND_BUFLEN), std::string(VI_FIND_BUFLEN, 'Z'));
        QCOMPARE(viSetAttribute(vi_, t.attr, 1), VI_ERROR_ATTR_READONLY);
    }
    ViUInt16 port16 = 0;
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TCPIP_PORT, &port16), VI_SUCCESS);
    QCOMPARE(port16, ViUInt16(local.port()));
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TCPIP_PORT, 1), VI_ERROR_ATTR_READONLY);

    /* defaults, then settable values read back in the attribute's width */
    const struct
    {
        ViAttr attr;
        ViAttrState initial, value, mask;
    } values[] = {
        {VI_ATTR_TMO_VALUE, 2000, 0xFFFFFFFFu, 0xFFFFFFFFu}, {VI_ATTR_TERMCHAR, '\n', ';', 0xFF},
        {VI_ATTR_TERMCHAR_EN, VI_FALSE, VI_TRUE, 0xFFFF},    {VI_ATTR_SUPPRESS_END_EN, VI_FALSE, VI_TRUE, 0xFFFF},
        {VI_ATTR_TCPIP_NODELAY, VI_TRUE, VI_FALSE, 0xFFFF},  {VI_ATTR_TCPIP_KEEPALIVE, VI_FALSE, VI_TRUE, 0xFFFF},
    };
    for (const auto &a : values) {
        ViAttrState back = 0;
        QCOMPARE(viGetAttribute(vi_, a.attr, &back), VI_SUCCESS);
        QCOMPARE(back & a.mask, a.initial);
        QCOMPARE(viSetAttribute(vi_, a.attr, a.value), VI_SUCCESS);
        QCOMPARE(viGetAttribute(vi_, a.attr, &back), VI_SUCCESS);
        QCOMPARE(back & a.mask, a.value);
    }
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 0x100000000ull), VI_ERROR_NSUP_ATTR_STATE);
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR, 0x100), VI_ERROR_NSUP_ATTR_STATE);
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, 2), VI_ERROR_NSUP_ATTR_STATE);
    ViUInt32 v;
    QCOMPARE(viGetAttribute(vi_, 0x3FFF0000u, &v), VI_ERROR_NSUP_ATTR);
    QCOMPARE(viSetAttribute(vi_, 0x3FFF0000u, 1), VI_ERROR_NSUP_ATTR);
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TMO_VALUE, nullptr), VI_ERROR_USER_BUF);
    QCOMPARE(viGetAttribute(rm_, VI_ATTR_TMO_VALUE, &v), VI_ERROR_NSUP_ATTR);
}

void tst_VisaSession::writeReachesPeer()
{
    connectPeer();
    ViUInt32 sent = 0;
    QCOMPARE(viWrite(vi_, reinterpret_cast<ViConstBuf>("*IDN?\n"), 6, &sent), VI_SUCCESS);
    QCOMPARE(sent, ViUInt32(6));
    QCOMPARE(recvUpTo(fd_, 6), std::string("*IDN?\n"));
    QCOMPARE(viWrite(vi_, nullptr, 0, &sent), VI_SUCCESS);
    QCOMPARE(sent, ViUInt32(0));
    QCOMPARE(viWrite(vi_, nullptr, 4, &sent), VI_ERROR_USER_BUF);

    /* a large write goes out whole, however the kernel splits it */
    std::string big(1 << 20, 'x');
    std::size_t drained = 0;
    std::thread drain([&] { drained = recvUpTo(fd_, big.size()).size(); });
    QCOMPARE(viWrite(vi_, reinterpret_cast<ViConstBuf>(big.data()), ViUInt32(big.size()), &sent), VI_SUCCESS);
    drain.join();
    QCOMPARE(sent, ViUInt32(big.size()));
    QCOMPARE(drained, big.size());
}

void tst_VisaSession::reads_data()
{
    QTest::addColumn<bool>("termCharEn");
    QTest::addColumn<char>("termChar");
    QTest::addColumn<bool>("suppressEnd");
    QTest::addColumn<Script>("script");
    const ViStatus TERM = VI_SUCCESS_TERM_CHAR, MAX = VI_SUCCESS_MAX_CNT, TMO = VI_ERROR_TMO;
    QTest::newRow("term char splits") << true << '\n'
                                      << false
                                      << Script{{"first\nsecond\nthi", 2000, 100, TERM, "first\n"},
                                                {"", 2000, 100, TERM, "second\n"},
                                                {"rd\n", 2000, 100, TERM, "third\n"}};
    QTest::newRow("other term char") << true << ';' << false
                                     << Script{{"a\nb;c;", 2000, 100, TERM, "a\nb;"}, {"", 2000, 100, TERM, "c;"}};
    /* a buffer exactly filled by the termination character reports it */
    QTest::newRow("buffer full first") << true << '\n'
                                       << false
                                       << Script{{"HELLO\n", 2000, 3, MAX, "HEL"},
                                                 {"", 2000, 3, TERM, "LO\n"},
                                                 {"", 2000, 0, MAX, ""}};
    QTest::newRow("timeout keeps bytes") << true << '\n'
                                         << false
                                         << Script{{"abc", 100, 100, TMO, "abc"}, {"d\n", 100, 100, TERM, "d\n"}};
    /* data already there is read even with an immediate timeout */
    QTest::newRow("timeout with nothing") << true << '\n'
                                          << false
                                          << Script{{"", VI_TMO_IMMEDIATE, 10, TMO, ""},
                                                    {"", 60, 10, TMO, ""},
                                                    {"now\n", 2000, 1, MAX, "n"},
                                                    {"", VI_TMO_IMMEDIATE, 10, TERM, "ow\n"}};
    /* without a termination character any bytes that came end the read */
    QTest::newRow("no term char") << false << '\n'
                                  << false << Script{{"xyz\nmore", 2000, 100, VI_SUCCESS, "xyz\nmore"}};
    QTest::newRow("suppress end") << false << '\n'
                                  << true << Script{{"12\n45", 100, 10, TMO, "12\n45"}, {"678", 100, 3, MAX, "678"}};
    /* what came before the close is delivered, then the loss, again */
    QTest::newRow("peer closing") << true << '\n'
                                  << false
                                  << Script{{"bye\npartial", 2000, 100, TERM, "bye\n"},
                                            {nullptr, 2000, 100, VI_SUCCESS, "partial"},
                                            {"", 2000, 100, VI_ERROR_CONN_LOST, ""},
                                            {"", 2000, 100, VI_ERROR_CONN_LOST, ""}};
}

void tst_VisaSession::reads()
{
    QFETCH(bool, termCharEn);
    QFETCH(char, termChar);
    QFETCH(bool, suppressEnd);
    QFETCH(Script, script);
    connectPeer();
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, termCharEn), VI_SUCCESS);
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR, ViUInt8(termChar)), VI_SUCCESS);
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_SUPPRESS_END_EN, suppressEnd), VI_SUCCESS);
    for (const Step &s : script) {
        QVERIFY(s.send ? sendAll(fd_, s.send) : shutdown(fd_, SHUT_WR) == 0);
        QCOMPARE(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, s.tmo), VI_SUCCESS);
        const ReadResult r = readSome(vi_, s.cnt);
        QCOMPARE(r.status, s.status);
        /* a plain success may end early, after any part of what was sent */
        if (s.status == VI_SUCCESS)
            QVERIFY(!r.data.empty() && std::string(s.data).compare(0, r.data.size(), r.data) == 0);
        else
            QCOMPARE(r.data, std::string(s.data));
    }
}

void tst_VisaSession::writeToClosedPeer()
{
    /* a reset connection: the next writes fail with the loss */
    connectPeer();
    linger lg = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(fd_);
    ViStatus st = VI_SUCCESS;
    for (int i = 0; i < 100 && st == VI_SUCCESS; ++i) {
        ViUInt32 sent;
        st = viWrite(vi_, reinterpret_cast<ViConstBuf>("ping\n"), 5, &sent);
    }
    QCOMPARE(st, VI_ERROR_CONN_LOST);
    QCOMPARE(readSome(vi_, 10).status, VI_ERROR_CONN_LOST);
}

void tst_VisaSession::sessionsRunIndependently()
{
    connectPeer();
    LoopbackPeer other;
    QVERIFY(other.listen(kOtherPeerAddr));
    ViSession vi2 = VI_NULL;
    QCOMPARE(viOpen(rm_, socketName(kOtherPeerAddr, other.port()).c_str(), VI_NO_LOCK, 0, &vi2), VI_SUCCESS);
    int fd2 = other.accept();
    QVERIFY(fd2 >= 0);

    /* One thread waits on the first session for data that never comes. */
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, VI_TMO_INFINITE), VI_SUCCESS);
    std::atomic<bool> started{false}, blockedReadDone{false};
    std::atomic<ViStatus> blockedStatus{VI_SUCCESS};
    QVERIFY(sendAll(fd_, "go"));
    std::thread reader([&] {
        ViByte b[8];
        ViUInt32 n;
        viRead(vi_, b, 2, &n);
        started = true;
        blockedStatus = viRead(vi_, b, sizeof b, &n);
        blockedReadDone = true;
    });
    QTRY_VERIFY(started);
    /* Meanwhile the second session and both sessions' attributes work. */
    QCOMPARE(viSetAttribute(vi2, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    for (int i = 0; i < 20; ++i) {
        QVERIFY(sendAll(fd2, "ok\n"));
        QCOMPARE(readSome(vi2, 10).data, std::string("ok\n"));
    }
    ViUInt32 tmo = 0;
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
    QCOMPARE(tmo, ViUInt32(VI_TMO_INFINITE));
    QVERIFY(!blockedReadDone);
    /* Closing the session ends the wait: the loss, or a closed handle had
     * the reader not reached its wait yet. */
    QCOMPARE(viClose(vi_), VI_SUCCESS);
    reader.join();
    QVERIFY(blockedStatus == VI_ERROR_CONN_LOST || blockedStatus == VI_ERROR_INV_OBJECT);
}

/* Flushes and the event calls the library answers without events: on a
 * session, on a manager and on a stale handle (pyvisa's test covers the
 * rest of them). */
void tst_VisaSession::operationsWithoutIo()
{
    connectPeer();
    ViSession stale = VI_NULL;
    QCOMPARE(viOpenDefaultRM(&stale), VI_SUCCESS);
    QCOMPARE(viClose(stale), VI_SUCCESS);
    const struct
    {
        const char *what;
        ViStatus (*call)(ViSession);
        ViStatus onSession, onManager;
    } rows[] = {
        {"flush input", [](ViSession v) { return viFlush(v, VI_IO_IN_BUF_DISCARD | VI_WRITE_BUF); }, VI_SUCCESS,
         VI_ERROR_NSUP_OPER},
        {"flush both ways", [](ViSession v) { return viFlush(v, VI_READ_BUF | VI_READ_BUF_DISCARD); },
         VI_ERROR_INV_MASK, VI_ERROR_NSUP_OPER},
        {"flush no mask", [](ViSession v) { return viFlush(v, 0x100); }, VI_ERROR_INV_MASK, VI_ERROR_NSUP_OPER},
        {"disable", [](ViSession v) { return viDisableEvent(v, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH); },
         VI_SUCCESS_EVENT_DIS, VI_SUCCESS_EVENT_DIS},
        {"disable no mechanism", [](ViSession v) { return viDisableEvent(v, VI_ALL_ENABLED_EVENTS, 8); },
         VI_ERROR_INV_MECH, VI_ERROR_INV_MECH},
        {"discard", [](ViSession v) { return viDiscardEvents(v, VI_ALL_ENABLED_EVENTS, VI_QUEUE); },
         VI_SUCCESS_QUEUE_EMPTY, VI_SUCCESS_QUEUE_EMPTY},
        {"wait", [](ViSession v) { return viWaitOnEvent(v, VI_ALL_ENABLED_EVENTS, 0, nullptr, nullptr); },
         VI_ERROR_NENABLED, VI_ERROR_NENABLED},
    };
    for (const auto &r : rows) {
        QVERIFY2(r.call(vi_) == r.onSession, r.what);
        QVERIFY2(r.call(rm_) == r.onManager, r.what);
        QVERIFY2(r.call(stale) == VI_ERROR_INV_OBJECT, r.what);
    }
}

QTEST_GUILESS_MAIN(tst_VisaSession)
#include "tst_visa_session.moc"
