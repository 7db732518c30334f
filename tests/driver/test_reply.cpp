// Reply parsing without I/O: what the end-to-end tests cannot reach easily.
#include <gtest/gtest.h>

#include "cv4870_reply.h"

using namespace cv4870drv;

TEST(Reply, NumbersTakeAPointAndNothingElse)
{
    ViInt32 i = 7;
    ViReal64 r = 0;
    EXPECT_TRUE(parseInt(" +1800 ", i) && i == 1800);
    EXPECT_TRUE(parseInt("2147483647", i) && i == 2147483647);
    for (const char *bad : {"", "+", "+-1", "1.5", "0x10", "2147483648", "1 2"})
        EXPECT_FALSE(parseInt(bad, i)) << bad;
    EXPECT_TRUE(parseReal("-5.198", r) && r == -5.198);
    EXPECT_TRUE(parseReal("+1.5E+01", r) && r == 15.0);
    for (const char *bad : {"24,012", "nan", "inf", "1e999", ".", "1.2.3"})
        EXPECT_FALSE(parseReal(bad, r)) << bad;
}

TEST(Reply, SemicolonsInsideStringsDoNotSplit)
{
    std::string_view units[kMaxUnits];
    ASSERT_EQ(splitUnits("\"a;b\"\"c;\";0,\"No error; really\"", units, kMaxUnits), 2u);
    EXPECT_EQ(units[0], "\"a;b\"\"c;\"");
    EXPECT_EQ(splitUnits("\"open;0,\"No error\"", units, kMaxUnits), 0u) << "unterminated string";
    EXPECT_EQ(splitUnits("1;2;3", units, 2), 0u) << "more units than room";
    EXPECT_EQ(decodeReply("1", true).status, VI_ERROR_INV_RESPONSE) << "a resync answer is no reply";
}

TEST(Reply, MainframeCodesMapIntoTheInstrumentRange)
{
    EXPECT_EQ(statusForMainframeCode(0), VI_SUCCESS);
    EXPECT_EQ(statusForMainframeCode(301), CV4870_ERROR_DEVICE_BASE + 301);
    EXPECT_EQ(statusForMainframeCode(-222), CV4870_ERROR_SCPI_BASE + 222);
    EXPECT_NE(statusForMainframeCode(1023), statusForMainframeCode(-1));
    const ViInt32 codes[] = {1, 1023, -1, -767, 1024, -768, 2147483647, -2147483647 - 1};
    for (ViInt32 c : codes) {
        const ViUInt32 st = static_cast<ViUInt32>(statusForMainframeCode(c));
        EXPECT_TRUE(st >= 0xBFFC0900u && st <= 0xBFFC0FFFu) << c;
    }
    EXPECT_EQ(statusForMainframeCode(1024), CV4870_ERROR_MAINFRAME_OTHER);
    EXPECT_EQ(statusForMainframeCode(-768), CV4870_ERROR_MAINFRAME_OTHER);
}
