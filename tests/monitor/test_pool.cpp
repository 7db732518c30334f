// The session pool: one session per mainframe whatever the spelling, shared
// reads, its bounds, and dead mainframes answered from their failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cv4870emu.h"
#include "cv4870mon/pool.h"

using namespace cv4870mon;
using std::chrono::milliseconds;

namespace {

cvtarget::Target target(const std::string &text)
{
    cvtarget::Target t;
    EXPECT_TRUE(cvtarget::parseTarget(text, &t)) << text;
    return t;
}

class PoolEmu : public ::testing::Test
{
protected:
    void SetUp() override
    {
        server.setLogLevel(cv4870emu::LogLevel::Connections);
        server.setLogSink([this](const std::string &line) {
            if (line.find("connection from") != std::string::npos)
                ++connections;
        });
        for (int i = 0; i < 4; ++i)
            mf.push_back(&server.addMainframe("127.0.0.1", 0, std::uint32_t(i)));
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
    }
    std::string port(std::size_t i) const { return std::to_string(mf[i]->port()); }

    cv4870emu::Server server;
    std::vector<cv4870emu::Mainframe *> mf;
    std::atomic<int> connections{0};
};

} // namespace

TEST_F(PoolEmu, SpellingsOfOneMainframeShareOneSessionAndOneRead)
{
    Pool pool;
    const std::string p = port(0);
    const std::string spellings[] = {"127.0.0.1:" + p, "127.000.0.001:" + p, "TCPIP7::127.0.0.1::" + p + "::socket",
                                     "[::ffff:127.0.0.1]:" + p, "[64:ff9b::7f00:1]:" + p};
    mf[0]->setReplyDelay(100);
    std::vector<std::thread> readers;
    std::atomic<int> up{0}, shared{0};
    for (const std::string &s : spellings) {
        readers.emplace_back([&, s] {
            const PoolRead r = pool.read(target(s), milliseconds(3000));
            up += r.result.snapshot ? 1 : 0;
            shared += r.shared ? 1 : 0;
        });
    }
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(up, 5);
    EXPECT_EQ(shared, 4);
    EXPECT_EQ(pool.stats().sessions, 1u);
    EXPECT_EQ(connections, 1);
    EXPECT_EQ(pool.acquire(target(spellings[1])), pool.acquire(target(spellings[3])));
}

TEST(Pool, EvictsTheLeastRecentlyUsedIdleSessionAtTheMax)
{
    PoolOptions o;
    o.maxSessions = 2;
    o.maxPerAddress = 2;
    Pool pool(o);
    PoolRefusal why = PoolRefusal::None;
    ASSERT_TRUE(pool.acquire(target("127.0.0.1:1")));
    ASSERT_TRUE(pool.acquire(target("127.0.0.1:2")));
    ASSERT_TRUE(pool.acquire(target("127.0.0.1:1"))); // :2 is now the least recently used
    Pool::Handle held = pool.acquire(target("127.0.0.2:1")); // takes the place of :2
    ASSERT_TRUE(held);
    Pool::Handle one = pool.acquire(target("127.0.0.1:1"));
    EXPECT_NE(one, nullptr) << "the session used last was kept";
    EXPECT_EQ(pool.stats().sessions, 2u);
    // Both held: nothing idle to close, so a third is refused.
    EXPECT_EQ(pool.acquire(target("127.0.0.3:1"), &why), nullptr);
    EXPECT_EQ(why, PoolRefusal::Sessions);
    // The per-address bound: a third port of 127.0.0.1 only by closing an
    // idle session of that address.
    one.reset();
    Pool::Handle second = pool.acquire(target("127.0.0.1:2"));
    ASSERT_TRUE(second);
    EXPECT_EQ(pool.acquire(target("127.0.0.1:3"), &why), nullptr);
    EXPECT_EQ(why, PoolRefusal::Sessions);
    PoolOptions narrow;
    narrow.maxPerAddress = 1;
    Pool perAddress(narrow);
    Pool::Handle a = perAddress.acquire(target("127.0.0.1:1"));
    EXPECT_EQ(perAddress.acquire(target("[::ffff:127.0.0.1]:2"), &why), nullptr);
    EXPECT_EQ(why, PoolRefusal::Address);
    EXPECT_TRUE(perAddress.acquire(target("127.0.0.2:2")));
    a.reset();
    EXPECT_TRUE(perAddress.acquire(target("127.0.0.1:2"))) << "an idle session of the address gives way";
}

TEST_F(PoolEmu, ReadsThatOutliveTheirCallerCountAgainstTheBoundAndSpareOpenSessions)
{
    PoolOptions o;
    o.maxReads = 4; // three for sessions not open, the fourth kept for open ones
    Pool pool(o);
    ASSERT_TRUE(pool.read(target("127.0.0.1:" + port(0)), milliseconds(2000)).result.snapshot);
    for (std::size_t i = 1; i < mf.size(); ++i) {
        mf[i]->setReplyDelay(400); // the open outlives a 50 ms budget
        const PoolRead r = pool.read(target("127.0.0.1:" + port(i)), milliseconds(50));
        EXPECT_EQ(r.result.status, VI_ERROR_TMO) << r.result.error;
    }
    EXPECT_EQ(pool.stats().reads, 3u);
    EXPECT_EQ(pool.read(target("127.0.0.2:" + port(0)), milliseconds(50)).refused, PoolRefusal::Reads);
    EXPECT_TRUE(pool.read(target("127.0.0.1:" + port(0)), milliseconds(2000)).result.snapshot);
    EXPECT_EQ(connections, 4);
}

TEST(Pool, ADeadMainframeIsAnsweredFromItsFailureWithinTheBackoff)
{
    PoolOptions o;
    o.link = {milliseconds(300), milliseconds(300)};
    Pool pool(o);
    const cvtarget::Target dead = target("127.0.0.1:1"); // nothing listens on port 1
    const PoolRead first = pool.read(dead, milliseconds(2000));
    ASSERT_FALSE(first.result.snapshot);
    EXPECT_FALSE(first.fromFailure);
    EXPECT_TRUE(pool.recentFailure(target("TCPIP0::127.0.0.1::1::SOCKET")));
    const PoolRead again = pool.read(dead, milliseconds(2000));
    EXPECT_TRUE(again.fromFailure);
    EXPECT_TRUE(again.result.backoff);
    EXPECT_NE(again.result.error.find(first.result.error), std::string::npos) << again.result.error;
    std::this_thread::sleep_for(milliseconds(350));
    EXPECT_FALSE(pool.recentFailure(dead));
    EXPECT_FALSE(pool.read(dead, milliseconds(2000)).fromFailure);
}
