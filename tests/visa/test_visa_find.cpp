/* viFindRsrc and viFindNext: the expression grammar over mixed resource
 * lists, the resource file and its scan ranges on loopback addresses. */
#include "loopbackpeer.h"
#include "rsrcfile.h"
#include "testproc.h"
#include "visa.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

/* Block probed by this test program; other programs use other blocks. */
const char kScanBase[] = "127.41.2.";

const char kMixedFile[] = "# mixed interfaces\n"
                          "TCPIP0::192.168.1.10::5025::SOCKET\n"
                          "TCPIP0::192.168.1.10::inst0::INSTR\n"
                          "tcpip1::host::5025::socket\n"
                          "GPIB0::8::INSTR\n"
                          "ASRL1::INSTR\n"
                          "ASRL11::INSTR\n"
                          "VXI0::1::INSTR\n"
                          "TCPIP::10.0.0.1::23::SOCKETX\n"
                          "TCPIP::127.0.0.1::23::SOCKET\n";

/* The same names as a search lists them: canonical where the name is one
 * the library knows, else as written. */
const char *const kListed[] = {
    "TCPIP0::192.168.1.10::5025::SOCKET",
    "TCPIP0::192.168.1.10::inst0::INSTR",
    "TCPIP1::host::5025::SOCKET",
    "GPIB0::8::INSTR",
    "ASRL1::INSTR",
    "ASRL11::INSTR",
    "VXI0::1::INSTR",
    "TCPIP::10.0.0.1::23::SOCKETX",
    "TCPIP0::127.0.0.1::23::SOCKET",
};

Names mixed(std::initializer_list<int> indexes)
{
    Names out;
    for (int i : indexes)
        out.push_back(kListed[i]);
    return out;
}

const Names kInvalid = {"<invalid expression>"};

class VisaFind : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS); }
    void TearDown() override
    {
        viClose(rm_);
        unsetenv("CV_VISA_RESOURCES");
    }

    void writeResources(const std::string &text)
    {
        setenv("CV_VISA_RESOURCES", dir_.write("resources.conf", text).c_str(), 1);
    }

    /* Every name viFindRsrc and viFindNext return for expr. */
    Names findAll(const char *expr, ViStatus *status = nullptr)
    {
        Names names;
        ViFindList list = VI_NULL;
        ViUInt32 count = 12345;
        ViChar desc[VI_FIND_BUFLEN];
        ViStatus st = viFindRsrc(rm_, expr, &list, &count, desc);
        if (status)
            *status = st;
        if (st != VI_SUCCESS)
            return count != 0 || list != VI_NULL ? Names{"<count or list set on failure>"} : names;
        names.push_back(desc);
        while (viFindNext(list, desc) == VI_SUCCESS)
            names.push_back(desc);
        if (names.size() != count)
            names.push_back("<count differs>");
        viClose(list);
        return names;
    }

    ViSession rm_ = VI_NULL;
    testproc::TempDir dir_;
};

} // namespace

TEST_F(VisaFind, Expressions)
{
    const std::pair<std::string, Names> rows[] = {
        {"TCPIP?*SOCKET", mixed({0, 2, 8})},
        {"?*INSTR", mixed({1, 3, 4, 5, 6})},
        {"?*", mixed({0, 1, 2, 3, 4, 5, 6, 7, 8})},
        {"(GPIB|VXI)?*INSTR", mixed({3, 6})},
        {"VXI|GPIB", {}}, /* whole names only */
        {"AS(RL1)+1*::INSTR", mixed({4, 5})},
        {"[a-z]*1::INSTR", mixed({4})},
        {"GPIB[^0]::?*INSTR", {}},
        {"?*[^T]", mixed({1, 3, 4, 5, 6, 7})},
        {"TCPIP(0|1)::?*", mixed({0, 1, 2, 8})},
        {"tcpip0::192\\.168\\.1\\.10::?*", mixed({0, 1})},
        {"ASRL?::INSTR", mixed({4})},
        {"[AGV][SPX]?*", mixed({3, 4, 5, 6})},
        {"((TCPIP|tcpip)[0-9]*)::?*::((SOCKET))", mixed({0, 2, 8})},
        {std::string(100, '(') + "A" + std::string(100, ')'), kInvalid}, /* too deep */
        {std::string(5000, 'A'), kInvalid},
        /* the automaton's size, not the text's, decides: 1,300 alternatives
         * collapse into one state, "an A 24 characters before the end" needs
         * 2^24 states and is refused */
        {[] {
             std::string e;
             for (int i = 0; i < 1300; ++i)
                 e += "?*|";
             return e + "?*";
         }(),
         mixed({0, 1, 2, 3, 4, 5, 6, 7, 8})},
        {"?*A" + std::string(24, '?'), kInvalid},
    };
    writeResources(kMixedFile);
    std::vector<std::pair<std::string, Names>> all(std::begin(rows), std::end(rows));
    for (const char *e : {"",    "?*(",  "(",  ")",   "*",     "+ABC", "A**",
                          "A*+", "[",    "[]", "[^]", "[z-a]", "[abc", "A|",
                          "|A",  "A||B", "()", "(|)", "ABC\\", "]",    "?*{VI_ATTR_TCPIP_PORT==23}",
                          "A}"})
        all.emplace_back(e, kInvalid);
    for (const auto &[expr, expected] : all) {
        SCOPED_TRACE(expr.substr(0, 40));
        ViStatus st;
        const bool invalid = expected == kInvalid;
        EXPECT_EQ(findAll(expr.c_str(), &st), invalid ? Names() : expected);
        EXPECT_EQ(st, invalid ? VI_ERROR_INV_EXPR : expected.empty() ? VI_ERROR_RSRC_NFOUND : VI_SUCCESS);
    }
}

/* The program runs in the user's locale; in a Turkish one the C library
 * does not pair 'i' with 'I'. Matching and duplicate removal must not care. */
TEST_F(VisaFind, CaseIgnoresLocale)
{
    const std::string saved = setlocale(LC_CTYPE, nullptr);
    if (!setlocale(LC_CTYPE, "tr_TR.UTF-8"))
        GTEST_SKIP() << "no Turkish locale installed";
    /* with a duplicate of the first socket */
    writeResources(std::string(kMixedFile) + "tcpip0::192.168.1.10::5025::socket\n");
    const Names found = findAll("tcpip?*SOCKET");
    setlocale(LC_CTYPE, saved.c_str());
    EXPECT_EQ(found, mixed({0, 2, 8}));
}

TEST_F(VisaFind, ResourceFile)
{
    /* comments, blanks, duplicates (any case), bad lines and scans that are
     * too wide, malformed or without a port: each skipped line is reported */
    writeResources("# instruments of the rack\n"
                   "   TCPIP::127.0.0.1::23::SOCKET   # front panel\n\n\t\n"
                   "tcpip0::127.0.0.1::23::socket\n"
                   "GPIB0::8::INSTR\r\n"
                   "two words\n"
                   "TCPIP::" +
                   std::string(250, 'h') +
                   "::23::SOCKET\n"
                   "scan 127.0.0.0/8 23\nscan 127.40.0.0/15 23\nSCAN 127.41.2.0/33 23\nscan 127.41.2.0/26\n"
                   "scan 127.41.2.0/26 0\nscan 127.41.2 23\nscan 127.41.2.0/26 23 x\n"
                   "TCPIP::127.0.0.2::23::SOCKET");
    EXPECT_EQ(findAll("?*"),
              Names({"TCPIP0::127.0.0.1::23::SOCKET", "GPIB0::8::INSTR", "TCPIP0::127.0.0.2::23::SOCKET"}));
    cvvisa::ResourceConfig config;
    cvvisa::loadResourceFile(getenv("CV_VISA_RESOURCES"), &config);
    EXPECT_EQ(config.scans.size(), 0u);
    Names lines;
    for (const std::string &p : config.problems)
        lines.push_back(p.substr(0, p.find(':')));
    EXPECT_EQ(lines, Names({"7", "8", "9", "10", "11", "12", "13", "14", "15"}));
    EXPECT_NE(config.problems.at(2).find("larger than /16"), std::string::npos);

    /* scan lines are bounded in total, not only one by one */
    cvvisa::ResourceConfig wide;
    cvvisa::parseResourceConfig("scan 127.0.0.0/16 23\nscan 127.1.0.0/16 23\nscan 127.2.0.0/16 23\n"
                                "scan 127.3.0.0/16 23\nscan 127.4.0.0/16 23 # one too many\n",
                                &wide);
    ASSERT_EQ(wide.scans.size(), 4u);
    ASSERT_EQ(wide.problems.size(), 1u);
    EXPECT_EQ(wide.problems[0].rfind("5: ", 0), 0u);
    EXPECT_EQ(wide.scans[3].first, (127u << 24 | 3u << 16) + 1);
    EXPECT_EQ(wide.scans[3].last, (127u << 24 | 3u << 16 | 0xFFFFu) - 1);

    /* a missing file, a FIFO without a writer and a directory list nothing,
     * and the search returns at once */
    const std::string fifo = dir_.path() + "/fifo.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {dir_.path() + "/missing.conf", fifo, dir_.path()}) {
        setenv("CV_VISA_RESOURCES", path.c_str(), 1);
        ViStatus st;
        EXPECT_EQ(findAll("?*", &st), Names());
        EXPECT_EQ(st, VI_ERROR_RSRC_NFOUND);
    }
}

TEST_F(VisaFind, FileLocation)
{
    /* the variable first, then XDG_CONFIG_HOME, then HOME/.config */
    const char *xdg = getenv("XDG_CONFIG_HOME"), *home = getenv("HOME");
    const std::string oldXdg = xdg ? xdg : "", oldHome = home ? home : "";
    dir_.write("xdg/cv-visa/resources.conf", "ASRL1::INSTR\n");
    dir_.write("home/.config/cv-visa/resources.conf", "ASRL2::INSTR\n");
    setenv("XDG_CONFIG_HOME", (dir_.path() + "/xdg").c_str(), 1);
    setenv("HOME", (dir_.path() + "/home").c_str(), 1);
    EXPECT_EQ(findAll("?*"), Names({"ASRL1::INSTR"}));
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(findAll("?*"), Names({"ASRL2::INSTR"}));
    writeResources("ASRL3::INSTR\n");
    EXPECT_EQ(findAll("?*"), Names({"ASRL3::INSTR"}));
    setenv("HOME", oldHome.c_str(), 1);
    if (!oldXdg.empty())
        setenv("XDG_CONFIG_HOME", oldXdg.c_str(), 1);
}

TEST_F(VisaFind, FindListLifetime)
{
    writeResources("ASRL1::INSTR\nASRL2::INSTR\nASRL3::INSTR\n");
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    ViChar desc[VI_FIND_BUFLEN];
    EXPECT_EQ(viFindRsrc(rm_, "ASRL?::INSTR", &list, &count, desc), VI_SUCCESS);
    EXPECT_EQ(viFindNext(list, desc), VI_SUCCESS);
    EXPECT_EQ(viFindNext(list, desc), VI_SUCCESS);
    EXPECT_EQ(viFindNext(list, desc), VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(viFindNext(list, desc), VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(viFindNext(list, nullptr), VI_ERROR_USER_BUF);
    EXPECT_EQ(viFindNext(rm_, desc), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(viClose(list), VI_SUCCESS);
    EXPECT_EQ(viFindNext(list, desc), VI_ERROR_INV_OBJECT);

    /* no list wanted: only the first name and the count */
    EXPECT_EQ(viFindRsrc(rm_, "?*", nullptr, &count, desc), VI_SUCCESS);
    EXPECT_EQ(count, ViUInt32(3));
    EXPECT_EQ(viFindRsrc(rm_, nullptr, nullptr, &count, desc), VI_ERROR_INV_EXPR);

    /* closing the manager frees its lists; a list is not a manager */
    EXPECT_EQ(viFindRsrc(rm_, "?*", &list, &count, desc), VI_SUCCESS);
    EXPECT_EQ(viFindRsrc(list, "?*", nullptr, &count, desc), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(viClose(rm_), VI_SUCCESS);
    EXPECT_EQ(viFindNext(list, desc), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viFindRsrc(rm_, "?*", &list, &count, desc), VI_ERROR_INV_OBJECT);
    rm_ = VI_NULL;
}

TEST_F(VisaFind, ScanFindsListeners)
{
    /* listeners at .5, .17 and .40 on one port, another port at .9, and at
     * .33 one whose queue is full, so it answers no probe */
    LoopbackPeer at5, at17, at40, otherPort, silent;
    ASSERT_TRUE(at5.listen(std::string(kScanBase) + "5"));
    const std::string p = std::to_string(at5.port());
    ASSERT_TRUE(at17.listen(std::string(kScanBase) + "17", at5.port()));
    ASSERT_TRUE(at40.listen(std::string(kScanBase) + "40", at5.port()));
    ASSERT_TRUE(otherPort.listen(std::string(kScanBase) + "9"));
    ASSERT_TRUE(silent.listen(std::string(kScanBase) + "33", at5.port(), 0));
    const std::string silentName = "TCPIP::127.41.2.33::" + p + "::SOCKET";
    ViSession filler = VI_NULL;
    for (int i = 0; i < 64 && viOpen(rm_, silentName.c_str(), VI_NO_LOCK, 200, &filler) == VI_SUCCESS; ++i) {
    }

    writeResources("TCPIP::127.41.2.40::" + p + "::SOCKET\nscan 127.41.2.0/26 " + p + "\nscan 127.41.2.16/28 " + p +
                   " 002\n");
    EXPECT_EQ(findAll("TCPIP?*SOCKET"),
              Names({"TCPIP0::127.41.2.40::" + p + "::SOCKET", "TCPIP0::127.41.2.5::" + p + "::SOCKET",
                     "TCPIP0::127.41.2.17::" + p + "::SOCKET", "TCPIP2::127.41.2.17::" + p + "::SOCKET"}));
}
