/* SOCKET sessions against a loopback peer: handles, attributes, reads and
 * writes with their timeouts, termination characters and lost peers. */
#include "loopbackpeer.h"
#include "tcpconn.h"
#include "testproc.h"
#include "visa.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

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

class VisaSession : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
        ASSERT_TRUE(peer_.listen(kPeerAddr));
    }
    void TearDown() override { viClose(rm_); }

    /* Opens a session to peer_ and accepts it: vi_ and fd_ are set. */
    void connectPeer()
    {
        ASSERT_EQ(viOpen(rm_, socketName(kPeerAddr, peer_.port()).c_str(), VI_NO_LOCK, 0, &vi_), VI_SUCCESS);
        fd_ = peer_.accept();
        ASSERT_GE(fd_, 0);
    }

    ViSession rm_ = VI_NULL;
    ViSession vi_ = VI_NULL;
    int fd_ = -1;
    LoopbackPeer peer_;
};

} // namespace

TEST_F(VisaSession, UnknownStatusIsNamedByValue)
{
    ViChar desc[VI_FIND_BUFLEN];
    EXPECT_EQ(viStatusDesc(rm_, ViStatus(0xBFFC0999), desc), VI_WARN_UNKNOWN_STATUS);
    EXPECT_EQ(std::string(desc).rfind("Unknown status", 0), 0u);
    EXPECT_NE(std::string(desc).find("BFFC0999"), std::string::npos);
}

TEST_F(VisaSession, Handles)
{
    ViSession second = VI_NULL, third = VI_NULL;
    EXPECT_EQ(viOpenDefaultRM(&second), VI_SUCCESS);
    EXPECT_EQ(viClose(second), VI_SUCCESS);
    EXPECT_EQ(viClose(second), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viOpenDefaultRM(&third), VI_SUCCESS);
    EXPECT_NE(third, second); /* a stale handle never names a new object */
    EXPECT_EQ(viClose(VI_NULL), VI_WARN_NULL_OBJECT);
    EXPECT_EQ(viOpenDefaultRM(nullptr), VI_ERROR_INV_PARAMETER);

    ViByte buf[4];
    ViUInt32 cnt = 7;
    EXPECT_EQ(viRead(second, buf, sizeof buf, &cnt), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(cnt, ViUInt32(0));
    EXPECT_EQ(viRead(rm_, buf, sizeof buf, &cnt), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(viWrite(rm_, buf, sizeof buf, &cnt), VI_ERROR_NSUP_OPER);

    /* sessions belong to their manager: closing it closes them (the peer
     * sees the connection end), another manager's stay open */
    const std::string name = socketName(kPeerAddr, peer_.port());
    ViSession theirs = VI_NULL, nested = 123;
    connectPeer();
    EXPECT_EQ(viOpen(third, name.c_str(), VI_NO_LOCK, 0, &theirs), VI_SUCCESS);
    EXPECT_EQ(viOpen(vi_, name.c_str(), VI_NO_LOCK, 0, &nested), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(nested, ViSession(VI_NULL));
    EXPECT_EQ(viOpen(second, name.c_str(), VI_NO_LOCK, 0, &nested), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viOpen(rm_, name.c_str(), VI_EXCLUSIVE_LOCK, 0, &nested), VI_ERROR_INV_ACC_MODE);
    nested = 42;
    EXPECT_EQ(viOpen(rm_, ("TCPIP::" + std::string(100000, 'a') + "::5025::SOCKET").c_str(), VI_NO_LOCK, 0, &nested),
              VI_ERROR_INV_RSRC_NAME);
    EXPECT_EQ(nested, ViSession(VI_NULL));
    EXPECT_EQ(viClose(rm_), VI_SUCCESS);
    rm_ = VI_NULL;
    EXPECT_EQ(viWrite(vi_, buf, sizeof buf, &cnt), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viGetAttribute(theirs, VI_ATTR_TMO_VALUE, &cnt), VI_SUCCESS);
    EXPECT_EQ(recvUpTo(fd_, 1), std::string());
    EXPECT_EQ(viClose(third), VI_SUCCESS);
    EXPECT_EQ(viClose(theirs), VI_ERROR_INV_OBJECT);
}

TEST_F(VisaSession, ConnectFailures)
{
    /* nothing listening: refused at once */
    const unsigned short port = unusedPort(kRefusingAddr);
    ASSERT_NE(port, 0);
    ViSession vi = 42;
    EXPECT_EQ(viOpen(rm_, socketName(kRefusingAddr, port).c_str(), VI_NO_LOCK, 500, &vi), VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(vi, ViSession(VI_NULL));

    /* a listener that never accepts: once its queue is full, connects get
     * no answer and only the deadline ends them */
    LoopbackPeer silent;
    ASSERT_TRUE(silent.listen(kOtherPeerAddr, 0, 0));
    ViStatus st = VI_SUCCESS;
    for (int i = 0; i < 64 && st == VI_SUCCESS; ++i) {
        vi = 42;
        st = viOpen(rm_, socketName(kOtherPeerAddr, silent.port()).c_str(), VI_NO_LOCK, 200, &vi);
    }
    EXPECT_EQ(st, VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(vi, ViSession(VI_NULL));
}

/* Every timeout short of VI_TMO_INFINITE is a finite poll() wait, even
 * those past the range of poll()'s int milliseconds. */
TEST(VisaDeadline, LongTimeoutsStayFinite)
{
    for (ViUInt32 ms : {2000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu})
        EXPECT_GT(cvvisa::Deadline(ms).pollMs(), 0) << ms;
    EXPECT_EQ(cvvisa::Deadline(VI_TMO_INFINITE).pollMs(), -1);
}

TEST_F(VisaSession, Attributes)
{
    /* a host name is kept as written, the name made canonical and no
     * string attribute passes 256 bytes */
    LoopbackPeer local;
    ASSERT_TRUE(local.listen("127.0.0.1"));
    const std::string port = std::to_string(local.port());
    ASSERT_EQ(viOpen(rm_, ("tcpip::LocalHost::" + port + "::socket").c_str(), VI_NO_LOCK, 0, &vi_), VI_SUCCESS);
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
        EXPECT_EQ(viGetAttribute(vi_, t.attr, buf), VI_SUCCESS);
        EXPECT_EQ(std::string(buf, strnlen(buf, VI_FIND_BUFLEN)), t.value);
        EXPECT_EQ(std::string(buf + VI_FIND_BUFLEN, VI_FIND_BUFLEN), std::string(VI_FIND_BUFLEN, 'Z'));
        EXPECT_EQ(viSetAttribute(vi_, t.attr, 1), VI_ERROR_ATTR_READONLY);
    }
    ViUInt16 port16 = 0;
    EXPECT_EQ(viGetAttribute(vi_, VI_ATTR_TCPIP_PORT, &port16), VI_SUCCESS);
    EXPECT_EQ(port16, ViUInt16(local.port()));
    EXPECT_EQ(viSetAttribute(vi_, VI_ATTR_TCPIP_PORT, 1), VI_ERROR_ATTR_READONLY);

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
        EXPECT_EQ(viGetAttribute(vi_, a.attr, &back), VI_SUCCESS);
        EXPECT_EQ(back & a.mask, a.initial) << a.attr;
        EXPECT_EQ(viSetAttribute(vi_, a.attr, a.value), VI_SUCCESS);
        EXPECT_EQ(viGetAttribute(vi_, a.attr, &back), VI_SUCCESS);
        EXPECT_EQ(back & a.mask, a.value) << a.attr;
    }
    EXPECT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 0x100000000ull), VI_ERROR_NSUP_ATTR_STATE);
    EXPECT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR, 0x100), VI_ERROR_NSUP_ATTR_STATE);
    EXPECT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, 2), VI_ERROR_NSUP_ATTR_STATE);
    ViUInt32 v;
    EXPECT_EQ(viGetAttribute(vi_, 0x3FFF0000u, &v), VI_ERROR_NSUP_ATTR);
    EXPECT_EQ(viSetAttribute(vi_, 0x3FFF0000u, 1), VI_ERROR_NSUP_ATTR);
    EXPECT_EQ(viGetAttribute(vi_, VI_ATTR_TMO_VALUE, nullptr), VI_ERROR_USER_BUF);
    EXPECT_EQ(viGetAttribute(rm_, VI_ATTR_TMO_VALUE, &v), VI_ERROR_NSUP_ATTR);
}

TEST_F(VisaSession, WriteReachesPeer)
{
    connectPeer();
    ViUInt32 sent = 0;
    EXPECT_EQ(viWrite(vi_, reinterpret_cast<ViConstBuf>("*IDN?\n"), 6, &sent), VI_SUCCESS);
    EXPECT_EQ(sent, ViUInt32(6));
    EXPECT_EQ(recvUpTo(fd_, 6), std::string("*IDN?\n"));
    EXPECT_EQ(viWrite(vi_, nullptr, 0, &sent), VI_SUCCESS);
    EXPECT_EQ(sent, ViUInt32(0));
    EXPECT_EQ(viWrite(vi_, nullptr, 4, &sent), VI_ERROR_USER_BUF);

    /* a large write goes out whole, however the kernel splits it */
    std::string big(1 << 20, 'x');
    std::size_t drained = 0;
    std::thread drain([&] { drained = recvUpTo(fd_, big.size()).size(); });
    EXPECT_EQ(viWrite(vi_, reinterpret_cast<ViConstBuf>(big.data()), ViUInt32(big.size()), &sent), VI_SUCCESS);
    drain.join();
    EXPECT_EQ(sent, ViUInt32(big.size()));
    EXPECT_EQ(drained, big.size());
}

/* Each script on a new session with its termination character (0: none)
 * and suppress-end flag; in each step the peer sends (nullptr: closes its
 * side) and the session reads cnt bytes with timeout tmo. */
TEST_F(VisaSession, Reads)
{
    const ViStatus TERM = VI_SUCCESS_TERM_CHAR, MAX = VI_SUCCESS_MAX_CNT, TMO = VI_ERROR_TMO, LOST = VI_ERROR_CONN_LOST;
    const struct
    {
        const char *script;
        char termChar;
        bool suppressEnd;
        const char *send;
        ViUInt32 tmo, cnt;
        ViStatus status;
        const char *data;
    } steps[] = {
        {"term char splits", '\n', false, "first\nsecond\nthi", 2000, 100, TERM, "first\n"},
        {"term char splits", '\n', false, "", 2000, 100, TERM, "second\n"},
        {"term char splits", '\n', false, "rd\n", 2000, 100, TERM, "third\n"},
        {"other term char", ';', false, "a\nb;c;", 2000, 100, TERM, "a\nb;"},
        {"other term char", ';', false, "", 2000, 100, TERM, "c;"},
        /* a buffer exactly filled by the termination character reports it */
        {"buffer full first", '\n', false, "HELLO\n", 2000, 3, MAX, "HEL"},
        {"buffer full first", '\n', false, "", 2000, 3, TERM, "LO\n"},
        {"buffer full first", '\n', false, "", 2000, 0, MAX, ""},
        {"timeout keeps bytes", '\n', false, "abc", 100, 100, TMO, "abc"},
        {"timeout keeps bytes", '\n', false, "d\n", 100, 100, TERM, "d\n"},
        /* data already there is read even with an immediate timeout */
        {"timeout with nothing", '\n', false, "", VI_TMO_IMMEDIATE, 10, TMO, ""},
        {"timeout with nothing", '\n', false, "", 60, 10, TMO, ""},
        {"timeout with nothing", '\n', false, "now\n", 2000, 1, MAX, "n"},
        {"timeout with nothing", '\n', false, "", VI_TMO_IMMEDIATE, 10, TERM, "ow\n"},
        /* without a termination character any bytes that came end the read */
        {"no term char", 0, false, "xyz\nmore", 2000, 100, VI_SUCCESS, "xyz\nmore"},
        {"suppress end", 0, true, "12\n45", 100, 10, TMO, "12\n45"},
        {"suppress end", 0, true, "678", 100, 3, MAX, "678"},
        /* what came before the close is delivered, then the loss, again */
        {"peer closing", '\n', false, "bye\npartial", 2000, 100, TERM, "bye\n"},
        {"peer closing", '\n', false, nullptr, 2000, 100, VI_SUCCESS, "partial"},
        {"peer closing", '\n', false, "", 2000, 100, LOST, ""},
        {"peer closing", '\n', false, "", 2000, 100, LOST, ""},
    };
    std::string script;
    for (const auto &s : steps) {
        SCOPED_TRACE(s.script);
        if (script != s.script) {
            if (!script.empty())
                viClose(vi_);
            script = s.script;
            connectPeer();
            ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR_EN, s.termChar != 0), VI_SUCCESS);
            ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TERMCHAR, ViUInt8(s.termChar ? s.termChar : '\n')), VI_SUCCESS);
            ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_SUPPRESS_END_EN, s.suppressEnd), VI_SUCCESS);
        }
        ASSERT_TRUE(s.send ? sendAll(fd_, s.send) : shutdown(fd_, SHUT_WR) == 0);
        ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, s.tmo), VI_SUCCESS);
        const ReadResult r = readSome(vi_, s.cnt);
        EXPECT_EQ(r.status, s.status);
        /* a plain success may end early, after any part of what was sent */
        if (s.status == VI_SUCCESS)
            EXPECT_TRUE(!r.data.empty() && std::string(s.data).compare(0, r.data.size(), r.data) == 0) << r.data;
        else
            EXPECT_EQ(r.data, std::string(s.data));
    }
    viClose(vi_);
}

TEST_F(VisaSession, WriteToClosedPeer)
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
    EXPECT_EQ(st, VI_ERROR_CONN_LOST);
    EXPECT_EQ(readSome(vi_, 10).status, VI_ERROR_CONN_LOST);
}

TEST_F(VisaSession, SessionsRunIndependently)
{
    connectPeer();
    LoopbackPeer other;
    ASSERT_TRUE(other.listen(kOtherPeerAddr));
    ViSession vi2 = VI_NULL;
    ASSERT_EQ(viOpen(rm_, socketName(kOtherPeerAddr, other.port()).c_str(), VI_NO_LOCK, 0, &vi2), VI_SUCCESS);
    int fd2 = other.accept();
    ASSERT_GE(fd2, 0);

    /* One thread waits on the first session for data that never comes. */
    ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, VI_TMO_INFINITE), VI_SUCCESS);
    std::atomic<bool> started{false}, blockedReadDone{false};
    std::atomic<ViStatus> blockedStatus{VI_SUCCESS};
    ASSERT_TRUE(sendAll(fd_, "go"));
    std::thread reader([&] {
        ViByte b[8];
        ViUInt32 n;
        viRead(vi_, b, 2, &n);
        started = true;
        blockedStatus = viRead(vi_, b, sizeof b, &n);
        blockedReadDone = true;
    });
    EXPECT_TRUE(testproc::waitUntil([&] { return started.load(); }));
    /* Meanwhile the second session and both sessions' attributes work. */
    EXPECT_EQ(viSetAttribute(vi2, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(sendAll(fd2, "ok\n"));
        EXPECT_EQ(readSome(vi2, 10).data, std::string("ok\n"));
    }
    ViUInt32 tmo = 0;
    EXPECT_EQ(viGetAttribute(vi_, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
    EXPECT_EQ(tmo, ViUInt32(VI_TMO_INFINITE));
    EXPECT_FALSE(blockedReadDone);
    /* Closing the session ends the wait: the loss, or a closed handle had
     * the reader not reached its wait yet. */
    EXPECT_EQ(viClose(vi_), VI_SUCCESS);
    reader.join();
    EXPECT_TRUE(blockedStatus == VI_ERROR_CONN_LOST || blockedStatus == VI_ERROR_INV_OBJECT) << blockedStatus;
}

/* Flushes and the event calls the library answers without events: on a
 * session, on a manager and on a stale handle (pyvisa's test covers the
 * rest of them). */
TEST_F(VisaSession, OperationsWithoutIo)
{
    connectPeer();
    ViSession stale = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&stale), VI_SUCCESS);
    ASSERT_EQ(viClose(stale), VI_SUCCESS);
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
        EXPECT_EQ(r.call(vi_), r.onSession) << r.what;
        EXPECT_EQ(r.call(rm_), r.onManager) << r.what;
        EXPECT_EQ(r.call(stale), VI_ERROR_INV_OBJECT) << r.what;
    }
}
