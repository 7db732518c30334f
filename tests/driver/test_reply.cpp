// Reply parsing without any I/O: units, fields, numbers, strings, the error
// reply and the statuses it maps to.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cv4870_reply.h"

using namespace cv4870drv;

TEST(ReplySplit, SemicolonsInsideStringsDoNotSplit)
{
    std::string_view units[kMaxUnits];
    ASSERT_EQ(splitUnits("\"a;b\"\"c;\";0,\"No error; really\"", units, kMaxUnits), 2u);
    EXPECT_EQ(units[0], "\"a;b\"\"c;\"");
    EXPECT_EQ(units[1], "0,\"No error; really\"");

    EXPECT_EQ(splitUnits("\"open;0,\"No error\"", units, kMaxUnits), 0u) << "unterminated string";
    EXPECT_EQ(splitUnits("1;2;3", units, 2), 0u) << "more units than room";
    EXPECT_EQ(splitUnits("", units, kMaxUnits), 1u);
}

TEST(ReplySplit, FieldsMustMatchTheCountExactly)
{
    std::string_view f[7];
    ASSERT_TRUE(splitFields(" 1 , 2,3 ", f, 3));
    EXPECT_EQ(f[0], "1");
    EXPECT_EQ(f[2], "3");
    EXPECT_FALSE(splitFields("1,2", f, 3));
    EXPECT_FALSE(splitFields("1,2,3,4", f, 3));
    EXPECT_FALSE(splitFields("1,2,", f, 2));
}

TEST(ReplyNumbers, IntegersAcceptSignAndBlanksOnly)
{
    ViInt32 v = 7;
    EXPECT_TRUE(parseInt("+1800", v));
    EXPECT_EQ(v, 1800);
    EXPECT_TRUE(parseInt(" -12 ", v));
    EXPECT_EQ(v, -12);
    EXPECT_TRUE(parseInt("2147483647", v));
    EXPECT_EQ(v, 2147483647);
    v = 7;
    for (const char *bad : {"", "+", "+-1", "--1", "1.5", "12a", "0x10", "2147483648", "1 2"})
        EXPECT_FALSE(parseInt(bad, v)) << bad;
    EXPECT_EQ(v, 7) << "a failed parse leaves the value alone";
}

TEST(ReplyNumbers, RealsUseAPointAndMustBeFinite)
{
    ViReal64 v = 0;
    EXPECT_TRUE(parseReal("+24.012", v));
    EXPECT_DOUBLE_EQ(v, 24.012);
    EXPECT_TRUE(parseReal("-5.198", v));
    EXPECT_DOUBLE_EQ(v, -5.198);
    EXPECT_TRUE(parseReal("1.5E+01", v));
    EXPECT_DOUBLE_EQ(v, 15.0);
    for (const char *bad : {"24,012", "nan", "inf", "-inf", "1e999", "", ".", "1.2.3"})
        EXPECT_FALSE(parseReal(bad, v)) << bad;
}

TEST(ReplyNumbers, FlagsAreZeroOrOne)
{
    ViBoolean b = 9;
    EXPECT_TRUE(parseBool("1", b));
    EXPECT_EQ(b, VI_TRUE);
    EXPECT_TRUE(parseBool(" 0", b));
    EXPECT_EQ(b, VI_FALSE);
    for (const char *bad : {"2", "-1", "ON", "", "01"})
        EXPECT_FALSE(parseBool(bad, b)) << bad;
}

TEST(ReplyStrings, UnquoteUndoesDoubledQuotes)
{
    std::string t;
    EXPECT_TRUE(unquote(" \"VXI \"\"Slot 0\"\" controller\" ", t));
    EXPECT_EQ(t, "VXI \"Slot 0\" controller");
    EXPECT_TRUE(unquote("\"\"", t));
    EXPECT_EQ(t, "");
    for (const char *bad : {"plain", "\"", "\"a\"b\"", "\"abc", "abc\""})
        EXPECT_FALSE(unquote(bad, t)) << bad;
}

TEST(ReplyStrings, CopyTextStaysInsideAndMasksControlBytes)
{
    char buf[9];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_TRUE(copyText(std::string_view("a\tb\0c\x7f\x85\xe9", 8), buf, sizeof buf));
    EXPECT_STREQ(buf, "a?b?c??\xe9");

    std::memset(buf, 'Z', sizeof buf);
    EXPECT_FALSE(copyText("123456789", buf, sizeof buf)) << "9 characters need 10 bytes";
    EXPECT_STREQ(buf, "12345678");

    char one[1] = {'Z'};
    EXPECT_FALSE(copyText("x", one, 1));
    EXPECT_EQ(one[0], '\0');
}

TEST(ReplyError, CodeAndTextAreTakenApart)
{
    ViInt32 code = 1;
    std::string text;
    ASSERT_TRUE(parseErrorReply("-222,\"Data out of range\"", code, text));
    EXPECT_EQ(code, -222);
    EXPECT_EQ(text, "Data out of range");
    ASSERT_TRUE(parseErrorReply("+0,\"No error\"", code, text));
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(parseErrorReply("301,\"" + std::string(1000, 'x') + "\"", code, text));
    EXPECT_EQ(text.size(), kMaxErrorText);
    for (const char *bad : {"0", "0,No error", "x,\"a\"", ",\"a\"", "0,\"a"})
        EXPECT_FALSE(parseErrorReply(bad, code, text)) << bad;
}

TEST(ReplyError, MainframeCodesMapIntoTheInstrumentRange)
{
    EXPECT_EQ(statusForMainframeCode(0), VI_SUCCESS);
    EXPECT_EQ(statusForMainframeCode(301), CV4870_ERROR_DEVICE_BASE + 301);
    EXPECT_EQ(statusForMainframeCode(-222), CV4870_ERROR_SCPI_BASE + 222);
    const ViInt32 codes[] = {1, 1023, -1, -767, 1024, -768, 2147483647, -2147483647 - 1};
    for (ViInt32 c : codes) {
        const ViStatus st = statusForMainframeCode(c);
        EXPECT_GE(static_cast<ViUInt32>(st), static_cast<ViUInt32>(VI_INSTR_ERROR_OFFSET)) << c;
        EXPECT_LE(static_cast<ViUInt32>(st), 0xBFFC0FFFu) << c;
    }
    EXPECT_EQ(statusForMainframeCode(1024), CV4870_ERROR_MAINFRAME_OTHER);
    EXPECT_EQ(statusForMainframeCode(-768), CV4870_ERROR_MAINFRAME_OTHER);
    EXPECT_NE(statusForMainframeCode(1023), statusForMainframeCode(-1));
}

TEST(ReplyDecode, ShapesOfQueriesAndCommands)
{
    Reply r = decodeReply("+24.0,+12.0;0,\"No error\"", true);
    EXPECT_EQ(r.status, VI_SUCCESS);
    EXPECT_EQ(r.response, "+24.0,+12.0");

    EXPECT_EQ(decodeReply("0,\"No error\"", false).status, VI_SUCCESS);
    EXPECT_EQ(decodeReply("0,\"No error\"", true).status, VI_ERROR_INV_RESPONSE) << "response missing";
    EXPECT_EQ(decodeReply("1;0,\"No error\"", false).status, VI_ERROR_INV_RESPONSE) << "response not asked for";
    EXPECT_EQ(decodeReply("1;2;0,\"No error\"", true).status, VI_ERROR_INV_RESPONSE);
    EXPECT_EQ(decodeReply("1", true).status, VI_ERROR_INV_RESPONSE) << "a resync answer is no reply";
    EXPECT_EQ(decodeReply("\x01\x02garbage", true).status, VI_ERROR_INV_RESPONSE);
}

TEST(ReplyDecode, AMainframeErrorWinsOverTheShape)
{
    Reply r = decodeReply("-113,\"Undefined header\"", true);
    EXPECT_EQ(r.status, CV4870_ERROR_SCPI_BASE + 113);
    EXPECT_EQ(r.errorCode, -113);
    EXPECT_EQ(r.errorText, "Undefined header");
    EXPECT_EQ(decodeReply("1,2;301,\"Power supply not responding\"", true).status, CV4870_ERROR_DEVICE_BASE + 301);
}
