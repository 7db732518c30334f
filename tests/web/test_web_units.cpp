// Units of cv4870-web: password hashes, the users and targets files,
// session expiry, the login throttle and the store's queries.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "auth.h"
#include "fleet.h"
#include "store.h"
#include "testproc.h"
#include "users.h"

using namespace cv4870web;
using namespace std::chrono_literals;

// A scratch folder for each test; path_ names the store's file in it.
class Scratch : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }
    void open(Store &store)
    {
        std::string error;
        ASSERT_TRUE(store.open(path_, &error)) << error;
    }
    testproc::TempDir tmp_;
    const std::string &dir_ = tmp_.path();
    const std::string path_ = dir_ + "/web.db";
};

TEST(Users, HashVerifiesOnlyItsPassword)
{
    const std::string hash = hashPassword("correct horse");
    ASSERT_EQ(hash.rfind("$y$", 0), 0u);
    EXPECT_NE(hash, hashPassword("correct horse")); // a fresh salt each time
    EXPECT_TRUE(verifyPassword("correct horse", hash));
    for (const char *wrong : {"", "correct hors", "correct horse ", "Correct horse"})
        EXPECT_FALSE(verifyPassword(wrong, hash)) << wrong;
    // Hashes libxcrypt can not read, or one cut short, never match.
    for (const std::string &bad :
         {std::string(), std::string("*"), std::string("$y$"), hash.substr(0, hash.size() - 1)})
        EXPECT_FALSE(verifyPassword("correct horse", bad)) << bad;
}

TEST(Users, FileLines)
{
    const std::string h = "$y$j9T$abcdefghijklmnop$0123456789012345678901234567890123456789012";
    const struct
    {
        std::string text;
        std::string error; // empty: parses
    } cases[] = {
        {"# comment\n\nalice:admin:" + h + "\nbob:viewer:" + h + "\r\n", ""},
        {"alice:root:" + h + "\n", "line 1: unknown role 'root'"},
        {"alice admin " + h + "\n", "line 1: expected name:role:hash"},
        {"al ice:admin:" + h + "\n", "line 1: bad user name"},
        {"alice:admin:plaintext\n", "line 1: the password hash of alice"},
        {"alice:admin:" + h + "\nalice:viewer:" + h + "\n", "line 2: user alice appears twice"},
        {":admin:" + h + "\n", "line 1: bad user name"},
    };
    for (const auto &c : cases) {
        std::istringstream in(c.text);
        std::vector<User> users;
        std::string error;
        EXPECT_EQ(parseUsers(in, &users, &error), c.error.empty()) << c.text;
        if (c.error.empty())
            EXPECT_EQ(users.size(), 2u);
        else
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

TEST_F(Scratch, UsersWrittenAtomicallyAndPrivate)
{
    const std::string path = dir_ + "/users";
    std::string error;
    ASSERT_TRUE(writeUsers(path, {{"alice", Role::Operator, hashPassword("pw")}}, &error)) << error;
    struct stat st
    {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
}

TEST(Targets, LinesAndIds)
{
    std::istringstream in("# lab\n10.0.0.7   Rack 2 left  \nhost.lab:5025\nTCPIP0::10.0.0.9::5025::SOCKET # c\n");
    std::vector<Target> t;
    std::string error;
    ASSERT_TRUE(parseTargets(in, &t, &error)) << error;
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].id, "rack-2-left");
    EXPECT_EQ(t[0].name, "Rack 2 left");
    EXPECT_EQ(t[0].resource, "TCPIP0::10.0.0.7::23::SOCKET");
    EXPECT_EQ(t[1].id, "tcpip0-host-lab-5025-socket");
    EXPECT_EQ(t[2].id, "tcpip0-10-0-0-9-5025-socket");
    for (const char *bad :
         {"10.0.0.1 A\n10.0.0.2 a\n", "10.0.0.1\n10.0.0.1 other\n", "300.1.2.3\n", "10.0.0.1 ---\n"}) {
        std::istringstream b(bad);
        EXPECT_FALSE(parseTargets(b, &t, &error)) << bad;
        EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
    }
}

TEST(Sessions, IdleAbsoluteAndLogout)
{
    Steady::time_point now{};
    Sessions sessions(10s, 30s, [&] { return now; });
    const auto s = sessions.create("alice", Role::Admin);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->token.size(), 64u);
    EXPECT_NE(s->token, s->csrf);
    // Used every 9 s it lives on past its idle time, up to the absolute end.
    for (int i = 0; i < 3; ++i) {
        now += 9s;
        EXPECT_TRUE(sessions.find(s->token)) << i;
    }
    now += 3s; // 30 s after login
    EXPECT_FALSE(sessions.find(s->token));

    const auto idle = sessions.create("bob", Role::Viewer);
    now += 10s;
    EXPECT_FALSE(sessions.find(idle->token));
    const auto out = sessions.create("carol", Role::Viewer);
    sessions.end(out->token);
    EXPECT_FALSE(sessions.find(out->token));
    EXPECT_FALSE(sessions.find(""));
    // A user removed or given another role loses the session.
    const auto kept = sessions.create("dave", Role::Operator), changed = sessions.create("erin", Role::Operator);
    sessions.keepOnly({{"dave", Role::Operator, ""}, {"erin", Role::Viewer, ""}});
    EXPECT_TRUE(sessions.find(kept->token));
    EXPECT_FALSE(sessions.find(changed->token));
}

TEST(LoginThrottle, SlidingWindowPerUserAndAddress)
{
    Steady::time_point now{};
    LoginThrottle throttle(60s, 3, 5, [&] { return now; });
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(throttle.wait("alice", "10.0.0.1").count(), 0);
        throttle.failed("alice", "10.0.0.1");
        now += 10s;
    }
    // Three failures at 0, 10 and 20 s: alice waits until the first leaves.
    EXPECT_EQ(throttle.wait("alice", "10.0.0.2").count(), 30);
    EXPECT_EQ(throttle.wait("bob", "10.0.0.2").count(), 0);
    now += 30s;
    EXPECT_EQ(throttle.wait("alice", "10.0.0.2").count(), 0);
    // Five names from one address block that address.
    for (const char *u : {"a", "b", "c", "d", "e"})
        throttle.failed(u, "10.0.0.9");
    EXPECT_GT(throttle.wait("zed", "10.0.0.9").count(), 0);
    throttle.succeeded("alice");
    EXPECT_EQ(throttle.wait("alice", "10.0.0.3").count(), 0);
}

TEST_F(Scratch, StoreEventsFilteredAndPaged)
{
    Store store;
    ASSERT_NO_FATAL_FAILURE(open(store));
    std::vector<EventRow> rows;
    for (int i = 0; i < 10; ++i) {
        EventRow e;
        e.timeMs = 1000 * i;
        e.mainframe = i % 2 ? "a" : "b";
        e.kind = i % 3 ? "line_set" : "command";
        e.subject = "sys_fail";
        e.severity = "critical";
        e.text = "x'); DROP TABLE events; --";
        rows.push_back(e);
    }
    ASSERT_TRUE(store.addEvents(rows));
    EXPECT_EQ(rows.back().id - rows.front().id, 9);
    const auto ids = [&](const Query &q) {
        std::vector<EventRow> out;
        std::string why;
        EXPECT_TRUE(store.events(q, &out, &why)) << why;
        std::vector<std::int64_t> result;
        for (const auto &e : out)
            result.push_back(e.id);
        return result;
    };
    Query q;
    EXPECT_EQ(ids(q).size(), 10u);
    q.limit = 3;
    EXPECT_EQ(ids(q), (std::vector<std::int64_t>{10, 9, 8}));
    q.beforeId = 8;
    EXPECT_EQ(ids(q), (std::vector<std::int64_t>{7, 6, 5}));
    q = {};
    q.mainframes = {"a"};
    q.excludeKinds = {"command"};
    EXPECT_EQ(ids(q), (std::vector<std::int64_t>{8, 6, 2})); // odd i, i % 3 != 0, id i + 1
    q = {};
    q.sinceMs = 2000;
    q.untilMs = 4000;
    q.kinds = {"command"};
    EXPECT_EQ(ids(q), (std::vector<std::int64_t>{4}));
    q = {};
    q.afterId = 8;
    q.oldestFirst = true;
    EXPECT_EQ(ids(q), (std::vector<std::int64_t>{9, 10}));
}

TEST_F(Scratch, StoreSamplesOnePerMinuteAndPruned)
{
    Store store;
    ASSERT_NO_FATAL_FAILURE(open(store));
    SampleRow s;
    s.state = "ok";
    for (int minute = 0; minute < 5; ++minute) {
        s.minuteMs = minute * 60000;
        s.fanTrayCelsius = minute;
        store.addSample("a", s);
        s.fanTrayCelsius = 100 + minute; // a later one of the same minute replaces it
        store.addSample("a", s);
    }
    ASSERT_TRUE(store.pruneSamples(2 * 60000)); // waits for the queued samples too
    std::vector<SampleRow> rows;
    std::string error;
    ASSERT_TRUE(store.samples("a", 0, 10 * 60000, 100, &rows, &error)) << error;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].minuteMs, 2 * 60000);
    EXPECT_EQ(rows[0].fanTrayCelsius, 102);
}

TEST_F(Scratch, StoreReadOnlyFileReportedAndStillRead)
{
    {
        Store store;
        ASSERT_NO_FATAL_FAILURE(open(store));
        AuditRow a;
        a.action = "login";
        a.result = "signed in";
        ASSERT_TRUE(store.addAudit(a));
    }
    ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
    if (access(path_.c_str(), W_OK) == 0)
        GTEST_SKIP() << "running as root: a read-only mode does not stop writes";
    Store store;
    ASSERT_NO_FATAL_FAILURE(open(store));
    EXPECT_FALSE(store.status().writable);
    AuditRow a;
    EXPECT_FALSE(store.addAudit(a));
    std::vector<AuditRow> rows;
    std::string error;
    ASSERT_TRUE(store.audit({}, &rows, &error)) << error;
    EXPECT_EQ(rows.size(), 1u);
}

TEST_F(Scratch, StoreNewerSchemaRefused)
{
    {
        Store store;
        ASSERT_NO_FATAL_FAILURE(open(store));
    }
    ASSERT_EQ(std::system(("sqlite3 " + path_ + " 'PRAGMA user_version=99'").c_str()), 0);
    Store store;
    ASSERT_NO_FATAL_FAILURE(open(store)); // still read
    EXPECT_FALSE(store.status().writable);
    EXPECT_NE(store.status().error.find("newer"), std::string::npos) << store.status().error;
}
