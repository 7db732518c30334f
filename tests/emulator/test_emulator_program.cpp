// The cv4870-emulator program as scripts and operators use it.
#include "cv4870emu.h"
#include "lineclient.h"
#include "testproc.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using Args = std::vector<std::string>;
using testproc::Listening;

const std::string kProgram = CV4870_EMULATOR_PROGRAM;

// Starts the program (after prefix, if any) with --ready; the listening
// mainframes it printed, empty on failure.
std::vector<Listening> startReady(testproc::Child &p, const Args &arguments, const Args &prefix = {})
{
    Args argv = prefix;
    argv.push_back(kProgram);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.push_back("--ready");
    return p.start(argv) ? testproc::readListening(p) : std::vector<Listening>();
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(EmulatorProgram, ServeAndStopCleanly)
{
    for (const int signal : {SIGINT, SIGTERM}) {
        const bool simulation = signal == SIGTERM;
        SCOPED_TRACE(simulation ? "SIGTERM, --simulation" : "SIGINT");
        testproc::Child p;
        Args arguments{"--port",      "0",   "--count",       "3",   "--spread", "port",
                       "--ps-serial", "500", "--description", "Lab", "-vv"};
        if (simulation)
            arguments.push_back("--simulation");
        const std::vector<Listening> ready = startReady(p, arguments);
        ASSERT_EQ(ready.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(ready[i].address, "127.0.0.1");
            LineClient c;
            ASSERT_TRUE(c.connect("127.0.0.1", ready[i].port));
            EXPECT_EQ(c.query("*IDN?;:SYST:DESC?"), "Corvane Ltd.,4870," + std::to_string(500 + i) +
                                                        ",A.03.11;\"Lab #" + std::to_string(i + 1) + "\"");
        }
        EXPECT_TRUE(ready[0].port != ready[1].port && ready[1].port != ready[2].port);
        LineClient idle; // a client still connected does not hold the stop up
        ASSERT_TRUE(idle.connect("127.0.0.1", ready[0].port));
        EXPECT_EQ(idle.query("SIM:SYSF ON;:SYST:ERR?"),
                  std::string(simulation ? R"(0,"No error")" : R"(-113,"Undefined header")"));
        p.signal(signal);
        EXPECT_EQ(p.wait(), 0);
        // -vv logs connections, command lines and replies.
        const std::string &log = p.err();
        EXPECT_TRUE(contains(log, "connection from 127.0.0.1") && contains(log, "> SIM:SYSF ON;:SYST:ERR?") &&
                    contains(log, simulation ? R"(< 0,"No error"\x0a)" : R"(< -113,"Undefined header"\x0a)") &&
                    contains(log, simulation ? "stopping on SIGTERM" : "stopping on SIGINT"))
            << log;
    }
}

TEST(EmulatorProgram, ConsecutiveAddresses)
{
    testproc::Child p;
    const std::vector<Listening> ready = startReady(p, {"--address", "127.0.48.250", "--port", "0", "--count", "8"});
    ASSERT_EQ(ready.size(), 8u);
    EXPECT_EQ(ready[0].address, "127.0.48.250");
    EXPECT_EQ(ready[7].address, "127.0.49.1");
    LineClient c;
    ASSERT_TRUE(c.connect("127.0.49.1", ready[7].port));
    EXPECT_EQ(c.query("SYST:SER?"), "48700008,48710008");
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
}

// Exit status 1 and a message naming the address and the option; 2 and
// one line naming the option for options that cannot be used.
TEST(EmulatorProgram, RefusedOptions)
{
    cv4870emu::Server taken;
    taken.addMainframe("127.0.0.1", 0);
    ASSERT_TRUE(taken.start());
    const std::string port = std::to_string(taken.mainframe(0).port());
    std::string err;
    EXPECT_EQ(testproc::run({kProgram, "--port", port}, nullptr, &err), 1);
    EXPECT_TRUE(contains(err, "127.0.0.1:" + port) && contains(err, "in use") && contains(err, "--port")) << err;

    const std::pair<Args, std::string> rows[] = {
        {{"--bogus"}, "--bogus"},
        {{"--port", "70000"}, "--port"},
        {{"--port", "23x"}, "--port"},
        {{"--port"}, "--port"},
        {{"--count", "0"}, "--count"},
        {{"--spread", "diagonal"}, "--spread"},
        {{"--address", "127.0.0.256"}, "--address"},
        {{"--firmware", "A,03"}, "--firmware"},
        {{"--address", "127.255.255.250", "--count", "10"}, "--count"}, // leaves loopback
    };
    for (const auto &[arguments, named] : rows) {
        SCOPED_TRACE(arguments[0]);
        Args argv{kProgram};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(testproc::run(argv, nullptr, &err), 2);
        EXPECT_TRUE(std::count(err.begin(), err.end(), '\n') == 1 && contains(err, named)) << err;
    }
}

TEST(EmulatorProgram, HelpNamesEveryOption)
{
    std::string help;
    EXPECT_EQ(testproc::run({kProgram, "--help"}, &help), 0);
    for (const char *option :
         {"--address", "--port", "--count", "--spread", "--ps-serial", "--fan-serial", "--firmware", "--description",
          "--seed", "--simulation", "--max-clients", "--ready", "--verbose"})
        EXPECT_TRUE(contains(help, option)) << option;
}

// 1,024 mainframes need at least 1024 * 2 + 16 descriptors: more than the
// usual soft limit, which the program raises to the hard one.
TEST(EmulatorProgram, DescriptorLimit)
{
    for (const char *limit : {"--nofile=1024:4096", "--nofile=1024:1024"}) {
        SCOPED_TRACE(limit);
        const bool enough = limit == std::string("--nofile=1024:4096");
        testproc::Child p;
        const std::vector<Listening> ready =
            startReady(p, {"--port", "0", "--count", "1024", "--spread", "port"}, {"prlimit", limit});
        if (!enough) {
            EXPECT_TRUE(ready.empty());
            EXPECT_EQ(p.wait(), 1);
            EXPECT_TRUE(contains(p.err(), "need 2064 file descriptors")) << p.err();
            continue;
        }
        ASSERT_EQ(ready.size(), 1024u);
        LineClient c;
        ASSERT_TRUE(c.connect("127.0.0.1", ready.back().port));
        EXPECT_EQ(c.query("SYST:SER?"), "48701024,48711024");
        p.signal(SIGTERM);
        EXPECT_EQ(p.wait(), 0);
    }
}

// A client resets its connection while replies are held back and its input
// waits behind them: the server closes the connection at once and goes back
// to sleep instead of waking until the delay runs out.
TEST(EmulatorProgram, ResetWithRepliesHeldBack)
{
    cv4870emu::Server server;
    cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0);
    mf.setSimulationCommands(true);
    ASSERT_TRUE(server.start());
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(mf.port());
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    std::string lines = "SIM:DEL 20000\nSIM:OVER -1\n";
    for (int i = 0; i < 6; ++i)
        lines += "*IDN?\n";
    EXPECT_EQ(::send(fd, lines.data(), lines.size(), MSG_NOSIGNAL), ssize_t(lines.size()));
    EXPECT_TRUE(testproc::waitUntil([&] { return server.clientCount() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the lines are taken in
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
    EXPECT_TRUE(testproc::waitUntil([&] { return server.clientCount() == 0; }, 2000));
    const std::uint64_t before = server.wakeups();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(server.wakeups() - before, 5u);
}
