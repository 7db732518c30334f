/* SOCKET sessions against a loopback peer: handles, attributes, reads and
 * writes with their timeouts, termination characters and lost peers. */
#include "loopbackpeer.h"
#include "statuscodes.h"
#include "visa.h"

#include <QtTest>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <cstring>
#include <set>
#include <thread>

namespace {

/* Addresses of this test program; other programs use other 127.x blocks. */
const char kPeerAddr[] = "127.41.1.1";
const char kOtherPeerAddr[] = "127.41.1.2";
const char kRefusingAddr[] = "127.41.1.3";

std::string socketName(const std::string &host, unsigned short port, const char *board = "")
{
    return std::string("TCPIP") + board + "::" + host + "::" + std::to_string(port) + "::SOCKET";
}

struct ReadResult {
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

} // namespace

class tst_VisaSession : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void statusDescriptions();
    void handles();
    void closingManagerClosesSessions();
    void openRejectsBadNames_data();
    void openRejectsBadNames();
    void refusedConnect();
    void silentPeerConnect();
    void attributesOfOpenSession();
    void attributeValuesAndStates();
    void stringAttributesStayInBuffer();
    void hostNameAsWritten();
    void ipv6Host();
    void writeReachesPeer();
    void termCharSplitsReplies();
    void bufferFullBeforeTermChar();
    void timeoutKeepsReceivedBytes();
    void timeoutWithNothing();
    void readWithoutTermChar();
    void suppressEndWaitsForCount();
    void peerClosing();
    void writeToClosedPeer();
    void sessionsRunIndependently();

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
    std::string name = socketName(kPeerAddr, peer_->port());
    QCOMPARE(viOpen(rm_, name.c_str(), VI_NO_LOCK, 0, &vi_), VI_SUCCESS);
    QVERIFY(vi_ != VI_NULL);
    fd_ = peer_->accept();
    QVERIFY(fd_ >= 0);
}

void tst_VisaSession::statusDescriptions()
{
    std::set<std::string> texts;
#define CHECK_CODE(code, text)                                     \
    {                                                              \
        ViChar desc[VI_FIND_BUFLEN];                               \
        QCOMPARE(viStatusDesc(VI_NULL, code, desc), VI_SUCCESS);   \
        QVERIFY(strlen(desc) > 0);                                 \
        texts.insert(desc);                                        \
    }
    CV_VISA_STATUS_LIST(CHECK_CODE)
#undef CHECK_CODE
#define COUNT_CODE(code, text) +1
    const std::size_t codes = 0 CV_VISA_STATUS_LIST(COUNT_CODE);
#undef COUNT_CODE
    QCOMPARE(texts.size(), codes); /* every code its own text */

    ViChar desc[VI_FIND_BUFLEN];
    QCOMPARE(viStatusDesc(rm_, ViStatus(0xBFFC0999), desc), VI_WARN_UNKNOWN_STATUS);
    QVERIFY(QByteArray(desc).startsWith("Unknown status"));
    QVERIFY(QByteArray(desc).contains("BFFC0999"));
    QCOMPARE(viStatusDesc(VI_NULL, VI_ERROR_TMO, desc), VI_SUCCESS);
    QCOMPARE(QByteArray(desc), QByteArray("Timeout expired before operation completed."));
}

void tst_VisaSession::handles()
{
    ViSession second = VI_NULL;
    QCOMPARE(viOpenDefaultRM(&second), VI_SUCCESS);
    QVERIFY(second != VI_NULL && second != rm_);
    QCOMPARE(viClose(second), VI_SUCCESS);
    QCOMPARE(viClose(second), VI_ERROR_INV_OBJECT);
    ViSession third = VI_NULL;
    QCOMPARE(viOpenDefaultRM(&third), VI_SUCCESS);
    QVERIFY(third != second); /* a stale handle never names a new object */
    QCOMPARE(viClose(third), VI_SUCCESS);

    QCOMPARE(viClose(VI_NULL), VI_WARN_NULL_OBJECT);
    QCOMPARE(viOpenDefaultRM(nullptr), VI_ERROR_INV_PARAMETER);

    ViByte buf[4];
    ViUInt32 cnt = 7;
    QCOMPARE(viRead(second, buf, sizeof buf, &cnt), VI_ERROR_INV_OBJECT);
    QCOMPARE(cnt, ViUInt32(0));
    QCOMPARE(viRead(rm_, buf, sizeof buf, &cnt), VI_ERROR_NSUP_OPER);
    QCOMPARE(viWrite(rm_, buf, sizeof buf, &cnt), VI_ERROR_NSUP_OPER);

    connectPeer();
    ViSession nested = 123;
    std::string name = socketName(kPeerAddr, peer_->port());
    QCOMPARE(viOpen(vi_, name.c_str(), VI_NO_LOCK, 0, &nested), VI_ERROR_NSUP_OPER);
    QCOMPARE(nested, ViSession(VI_NULL));
    QCOMPARE(viOpen(second, name.c_str(), VI_NO_LOCK, 0, &nested), VI_ERROR_INV_OBJECT);
    QCOMPARE(viOpen(rm_, name.c_str(), VI_EXCLUSIVE_LOCK, 0, &nested), VI_ERROR_INV_ACC_MODE);
    QCOMPARE(viClose(vi_), VI_SUCCESS);
    QCOMPARE(viWrite(vi_, buf, sizeof buf, &cnt), VI_ERROR_INV_OBJECT);
}

void tst_VisaSession::closingManagerClosesSessions()
{
    ViSession otherRm = VI_NULL, mine = VI_NULL, theirs = VI_NULL;
    QCOMPARE(viOpenDefaultRM(&otherRm), VI_SUCCESS);
    std::string name = socketName(kPeerAddr, peer_->port());
    QCOMPARE(viOpen(rm_, name.c_str(), VI_NO_LOCK, 0, &mine), VI_SUCCESS);
    QCOMPARE(viOpen(otherRm, name.c_str(), VI_NO_LOCK, 0, &theirs), VI_SUCCESS);
    QCOMPARE(viClose(rm_), VI_SUCCESS);
    ViUInt32 tmo;
    QCOMPARE(viGetAttribute(mine, VI_ATTR_TMO_VALUE, &tmo), VI_ERROR_INV_OBJECT);
    QCOMPARE(viGetAttribute(theirs, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
    QCOMPARE(viClose(otherRm), VI_SUCCESS);
    QCOMPARE(viClose(theirs), VI_ERROR_INV_OBJECT);
    /* the peer saw the first connection closed */
    int fd = peer_->accept();
    QVERIFY(fd >= 0);
    QCOMPARE(recvUpTo(fd, 1), std::string());
}

void tst_VisaSession::openRejectsBadNames_data()
{
    QTest::addColumn<QByteArray>("name");
    /* the parser's own cases live with it; here only the path through viOpen */
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("instr") << QByteArray("TCPIP::127.41.1.1::inst0::INSTR");
    QTest::newRow("octet too big") << QByteArray("TCPIP::127.41.1.256::5025::SOCKET");
    QTest::newRow("huge") << ("TCPIP::" + QByteArray(100000, 'a') + "::5025::SOCKET");
}

void tst_VisaSession::openRejectsBadNames()
{
    QFETCH(QByteArray, name);
    ViSession vi = 42;
    QCOMPARE(viOpen(rm_, name.constData(), VI_NO_LOCK, 0, &vi), VI_ERROR_INV_RSRC_NAME);
    QCOMPARE(vi, ViSession(VI_NULL));
    QCOMPARE(viOpen(rm_, nullptr, VI_NO_LOCK, 0, &vi), VI_ERROR_INV_RSRC_NAME);
}

void tst_VisaSession::refusedConnect()
{
    unsigned short port = unusedPort(kRefusingAddr);
    QVERIFY(port != 0);
    ViSession vi = 42;
    QCOMPARE(viOpen(rm_, socketName(kRefusingAddr, port).c_str(), VI_NO_LOCK, 500, &vi), VI_ERROR_RSRC_NFOUND);
    QCOMPARE(vi, ViSession(VI_NULL));
}

void tst_VisaSession::silentPeerConnect()
{
    /* A listener that never accepts: once its queue is full, further
     * connects get no answer and only the deadline ends them. */
    LoopbackPeer silent;
    QVERIFY(silent.listen(kOtherPeerAddr, 0, 0));
    const std::string name = socketName(kOtherPeerAddr, silent.port());
    std::vector<ViSession> queued;
    ViStatus st = VI_SUCCESS;
    for (int i = 0; i < 64 && st == VI_SUCCESS; ++i) {
        ViSession vi = VI_NULL;
        st = viOpen(rm_, name.c_str(), VI_NO_LOCK, 200, &vi);
        if (st == VI_SUCCESS)
            queued.push_back(vi);
        else
            QCOMPARE(vi, ViSession(VI_NULL));
    }
    QCOMPARE(st, VI_ERROR_RSRC_NFOUND);
}

void tst_VisaSession::attributesOfOpenSession()
{
    std::string name = socketName(kPeerAddr, peer_->port(), "0");
    std::string written = "tcpip::127.41.1.1::" + std::to_string(peer_->port()) + "::socket";
    QCOMPARE(viOpen(rm_, written.c_str(), VI_NO_LOCK, 0, &vi_), VI_SUCCESS);
    ViChar text[VI_FIND_BUFLEN];
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_RSRC_NAME, text), VI_SUCCESS);
    QCOMPARE(std::string(text), name);
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TCPIP_ADDR, text), VI_SUCCESS);
    QCOMPARE(QByteArray(text), QByteArray(kPeerAddr));
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TCPIP_HOSTNAME, text), VI_SUCCESS);
    QCOMPARE(QByteArray(text), QByteArray(kPeerAddr));
    ViUInt16 port = 0;
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TCPIP_PORT, &port), VI_SUCCESS);
    QCOMPARE(port, ViUInt16(peer_->port()));

    ViUInt32 tmo = 0;
    ViUInt8 term = 0;
    ViBoolean flag = 7;
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
    QCOMPARE(tmo, ViUInt32(2000));
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TERMCHAR, &term), VI_SUCCESS);
    QCOMPARE(term, ViUInt8('\n'));
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TERMCHAR_EN, &flag), VI_SUCCESS);
    QCOMPARE(flag, VI_FALSE);
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_SUPPRESS_END_EN, &flag), VI_SUCCESS);
    QCOMPARE(flag, VI_FALSE);
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TCPIP_NODELAY, &flag), VI_SUCCESS);
    QCOMPARE(flag, VI_TRUE);
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TCPIP_KEEPALIVE, &flag), VI_SUCCESS);
    QCOMPARE(flag, VI_FALSE);
}

void tst_VisaSession::attributeValuesAndStates()
{
    connectPeer();
    struct {
        ViAttr attr;
        ViAttrState value;
    } const accepted[] = {
        {VI_ATTR_TMO_VALUE, 0},           {VI_ATTR_TMO_VALUE, 0xFFFFFFFFu}, {VI_ATTR_TMO_VALUE, 150},
        {VI_ATTR_TERMCHAR, ';'},          {VI_ATTR_TERMCHAR_EN, VI_TRUE},   {VI_ATTR_SUPPRESS_END_EN, VI_TRUE},
        {VI_ATTR_TCPIP_NODELAY, VI_FALSE}, {VI_ATTR_TCPIP_KEEPALIVE, VI_TRUE},
    };
    for (const auto &a : accepted) {
        QCOMPARE(viSetAttribute(vi_, a.attr, a.value), VI_SUCCESS);
        ViAttrState back = 0;
        QCOMPARE(viGetAttribute(vi_, a.attr, &back), VI_SUCCESS);
        /* each value comes back in the attribute's own width */
        ViAttrState mask = a.attr == VI_ATTR_TMO_VALUE ? 0xFFFFFFFFu : a.attr == VI_ATTR_TERMCHAR ? 0xFF : 0xFFFF;
        QCOMPARE(back & mask, a.value);
    }
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 0x100000000ull), VI_ERROR_NSUP_ATTR_STATE);
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR, 0x100), VI_ERROR_NSUP_ATTR_STATE);
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, 2), VI_ERROR_NSUP_ATTR_STATE);
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TCPIP_NODELAY, 0xFFFF), VI_ERROR_NSUP_ATTR_STATE);
    for (ViAttr ro : {VI_ATTR_RSRC_NAME, VI_ATTR_TCPIP_ADDR, VI_ATTR_TCPIP_HOSTNAME, VI_ATTR_TCPIP_PORT})
        QCOMPARE(viSetAttribute(vi_, ro, 1), VI_ERROR_ATTR_READONLY);
    ViUInt32 v;
    QCOMPARE(viGetAttribute(vi_, 0x3FFF0000u, &v), VI_ERROR_NSUP_ATTR);
    QCOMPARE(viSetAttribute(vi_, 0x3FFF0000u, 1), VI_ERROR_NSUP_ATTR);
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TMO_VALUE, nullptr), VI_ERROR_USER_BUF);
    QCOMPARE(viGetAttribute(rm_, VI_ATTR_TMO_VALUE, &v), VI_ERROR_NSUP_ATTR);
}

void tst_VisaSession::stringAttributesStayInBuffer()
{
    connectPeer();
    for (ViAttr attr : {VI_ATTR_RSRC_NAME, VI_ATTR_TCPIP_ADDR, VI_ATTR_TCPIP_HOSTNAME}) {
        char buf[2 * VI_FIND_BUFLEN];
        memset(buf, 'Z', sizeof buf);
        QCOMPARE(viGetAttribute(vi_, attr, buf), VI_SUCCESS);
        QVERIFY(memchr(buf, '\0', VI_FIND_BUFLEN) != nullptr);
        for (std::size_t i = VI_FIND_BUFLEN; i < sizeof buf; ++i)
            QCOMPARE(buf[i], 'Z');
    }
    /* a dotted address fits the 16 bytes some callers hand in */
    char addr[2 * 16];
    memset(addr, 'Z', sizeof addr);
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TCPIP_ADDR, addr), VI_SUCCESS);
    QVERIFY(strlen(addr) < 16);
}

void tst_VisaSession::hostNameAsWritten()
{
    LoopbackPeer local;
    QVERIFY(local.listen("127.0.0.1"));
    std::string name = "TCPIP::LocalHost::" + std::to_string(local.port()) + "::SOCKET";
    ViSession vi = VI_NULL;
    QCOMPARE(viOpen(rm_, name.c_str(), VI_NO_LOCK, 0, &vi), VI_SUCCESS);
    ViChar text[VI_FIND_BUFLEN];
    QCOMPARE(viGetAttribute(vi, VI_ATTR_TCPIP_HOSTNAME, text), VI_SUCCESS);
    QCOMPARE(QByteArray(text), QByteArray("LocalHost"));
    QCOMPARE(viGetAttribute(vi, VI_ATTR_TCPIP_ADDR, text), VI_SUCCESS);
    QCOMPARE(QByteArray(text), QByteArray("127.0.0.1"));
    QCOMPARE(viClose(vi), VI_SUCCESS);
}

void tst_VisaSession::ipv6Host()
{
    LoopbackPeer local;
    if (!local.listen("::1"))
        QSKIP("no IPv6 loopback here");
    std::string name = "TCPIP1::[::1]::" + std::to_string(local.port()) + "::SOCKET";
    ViSession vi = VI_NULL;
    QCOMPARE(viOpen(rm_, name.c_str(), VI_NO_LOCK, 0, &vi), VI_SUCCESS);
    ViChar text[VI_FIND_BUFLEN];
    QCOMPARE(viGetAttribute(vi, VI_ATTR_TCPIP_ADDR, text), VI_SUCCESS);
    QCOMPARE(QByteArray(text), QByteArray("::1"));
    QCOMPARE(viGetAttribute(vi, VI_ATTR_RSRC_NAME, text), VI_SUCCESS);
    QCOMPARE(std::string(text), name);
}

void tst_VisaSession::writeReachesPeer()
{
    connectPeer();
    const std::string cmd = "*IDN?\n";
    ViUInt32 sent = 0;
    QCOMPARE(viWrite(vi_, reinterpret_cast<ViConstBuf>(cmd.data()), ViUInt32(cmd.size()), &sent), VI_SUCCESS);
    QCOMPARE(sent, ViUInt32(cmd.size()));
    QCOMPARE(recvUpTo(fd_, cmd.size()), cmd);
    QCOMPARE(viWrite(vi_, nullptr, 0, &sent), VI_SUCCESS);
    QCOMPARE(sent, ViUInt32(0));
    QCOMPARE(viWrite(vi_, nullptr, 4, &sent), VI_ERROR_USER_BUF);

    /* a large write goes out whole, however the kernel splits it */
    std::string big(1 << 20, 'x');
    std::thread drain([&] { QCOMPARE(recvUpTo(fd_, big.size()).size(), big.size()); });
    QCOMPARE(viWrite(vi_, reinterpret_cast<ViConstBuf>(big.data()), ViUInt32(big.size()), &sent), VI_SUCCESS);
    drain.join();
    QCOMPARE(sent, ViUInt32(big.size()));
}

void tst_VisaSession::termCharSplitsReplies()
{
    connectPeer();
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    QVERIFY(sendAll(fd_, "first\nsecond\nthi"));
    ReadResult r = readSome(vi_, 100);
    QCOMPARE(r.status, VI_SUCCESS_TERM_CHAR);
    QCOMPARE(r.data, std::string("first\n"));
    r = readSome(vi_, 100);
    QCOMPARE(r.status, VI_SUCCESS_TERM_CHAR);
    QCOMPARE(r.data, std::string("second\n"));
    QVERIFY(sendAll(fd_, "rd\n"));
    r = readSome(vi_, 100);
    QCOMPARE(r.status, VI_SUCCESS_TERM_CHAR);
    QCOMPARE(r.data, std::string("third\n"));

    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR, ';'), VI_SUCCESS);
    QVERIFY(sendAll(fd_, "a\nb;c;"));
    r = readSome(vi_, 100);
    QCOMPARE(r.status, VI_SUCCESS_TERM_CHAR);
    QCOMPARE(r.data, std::string("a\nb;"));
    r = readSome(vi_, 100);
    QCOMPARE(r.data, std::string("c;"));
}

void tst_VisaSession::bufferFullBeforeTermChar()
{
    connectPeer();
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    QVERIFY(sendAll(fd_, "HELLO\n"));
    ReadResult r = readSome(vi_, 3);
    QCOMPARE(r.status, VI_SUCCESS_MAX_CNT);
    QCOMPARE(r.data, std::string("HEL"));
    /* exactly filled by the termination character: that wins */
    r = readSome(vi_, 3);
    QCOMPARE(r.status, VI_SUCCESS_TERM_CHAR);
    QCOMPARE(r.data, std::string("LO\n"));
    r = readSome(vi_, 0);
    QCOMPARE(r.status, VI_SUCCESS_MAX_CNT);
}

void tst_VisaSession::timeoutKeepsReceivedBytes()
{
    connectPeer();
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 100), VI_SUCCESS);
    QVERIFY(sendAll(fd_, "abc"));
    ReadResult r = readSome(vi_, 100);
    QCOMPARE(r.status, VI_ERROR_TMO);
    QCOMPARE(r.data, std::string("abc"));
    QVERIFY(sendAll(fd_, "d\n"));
    r = readSome(vi_, 100);
    QCOMPARE(r.status, VI_SUCCESS_TERM_CHAR);
    QCOMPARE(r.data, std::string("d\n"));
}

void tst_VisaSession::timeoutWithNothing()
{
    connectPeer();
    for (ViUInt32 tmo : {ViUInt32(VI_TMO_IMMEDIATE), ViUInt32(60)}) {
        QCOMPARE(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, tmo), VI_SUCCESS);
        ReadResult r = readSome(vi_, 10);
        QCOMPARE(r.status, VI_ERROR_TMO);
        QCOMPARE(r.data, std::string());
    }
    /* data already there is read even with an immediate timeout */
    QVERIFY(sendAll(fd_, "now\n"));
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 2000), VI_SUCCESS);
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    QCOMPARE(readSome(vi_, 1).data, std::string("n"));
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, VI_TMO_IMMEDIATE), VI_SUCCESS);
    QCOMPARE(readSome(vi_, 10).status, VI_SUCCESS_TERM_CHAR);
}

void tst_VisaSession::readWithoutTermChar()
{
    connectPeer();
    QVERIFY(sendAll(fd_, "xyz\nmore"));
    ReadResult r = readSome(vi_, 100);
    QCOMPARE(r.status, VI_SUCCESS);
    QVERIFY(r.data.size() >= 1);
    QVERIFY(std::string("xyz\nmore").compare(0, r.data.size(), r.data) == 0);
}

void tst_VisaSession::suppressEndWaitsForCount()
{
    connectPeer();
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_SUPPRESS_END_EN, VI_TRUE), VI_SUCCESS);
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 100), VI_SUCCESS);
    QVERIFY(sendAll(fd_, "12\n45"));
    ReadResult r = readSome(vi_, 10);
    QCOMPARE(r.status, VI_ERROR_TMO);
    QCOMPARE(r.data, std::string("12\n45"));
    QVERIFY(sendAll(fd_, "678"));
    r = readSome(vi_, 3);
    QCOMPARE(r.status, VI_SUCCESS_MAX_CNT);
    QCOMPARE(r.data, std::string("678"));
}

void tst_VisaSession::peerClosing()
{
    connectPeer();
    QCOMPARE(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    QVERIFY(sendAll(fd_, "bye\npartial"));
    shutdown(fd_, SHUT_WR);
    ReadResult r = readSome(vi_, 100);
    QCOMPARE(r.status, VI_SUCCESS_TERM_CHAR);
    QCOMPARE(r.data, std::string("bye\n"));
    /* what came before the close is delivered, then the loss */
    r = readSome(vi_, 100);
    QCOMPARE(r.status, VI_SUCCESS);
    QCOMPARE(r.data, std::string("partial"));
    r = readSome(vi_, 100);
    QCOMPARE(r.status, VI_ERROR_CONN_LOST);
    QCOMPARE(r.data, std::string());
    QCOMPARE(readSome(vi_, 100).status, VI_ERROR_CONN_LOST);
}

void tst_VisaSession::writeToClosedPeer()
{
    connectPeer();
    /* a reset connection: the next writes fail with the loss */
    linger lg = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(fd_);
    ViStatus st = VI_SUCCESS;
    const char data[] = "ping\n";
    for (int i = 0; i < 100 && st == VI_SUCCESS; ++i) {
        ViUInt32 sent;
        st = viWrite(vi_, reinterpret_cast<ViConstBuf>(data), sizeof data - 1, &sent);
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
    /* Meanwhile the second session works, and its attributes and the
     * first session's attributes stay reachable. */
    QCOMPARE(viSetAttribute(vi2, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    for (int i = 0; i < 20; ++i) {
        QVERIFY(sendAll(fd2, "ok\n"));
        QCOMPARE(readSome(vi2, 10).data, std::string("ok\n"));
    }
    ViUInt32 tmo = 0;
    QCOMPARE(viGetAttribute(vi_, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
    QCOMPARE(tmo, ViUInt32(VI_TMO_INFINITE));
    QVERIFY(!blockedReadDone);
    /* Closing the session ends the wait. */
    QCOMPARE(viClose(vi_), VI_SUCCESS);
    reader.join();
    /* the loss, or a closed handle had the reader not reached its wait */
    QVERIFY(blockedStatus == VI_ERROR_CONN_LOST || blockedStatus == VI_ERROR_INV_OBJECT);
}

QTEST_GUILESS_MAIN(tst_VisaSession)
#include "tst_visa_session.moc"
