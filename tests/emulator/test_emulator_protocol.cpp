// Protocol conformance of the emulator over a real loopback socket.
#include "cv4870emu.h"
#include "runningemulator.h"
#include "scpi.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <thread>
#include <vector>

namespace {

const std::string kNoError = R"(0,"No error")";
const std::string kUndefined = R"(-113,"Undefined header")";

} // namespace

TEST(EmulatorProtocol, ErrorListMatchesTheProtocolPage)
{
    // The rows "| <code> | <text> | ..." of the tables under "## Errors".
    std::ifstream doc(CV4870_PROTOCOL_DOC);
    EXPECT_TRUE(doc.is_open());
    std::map<int, std::string> documented;
    bool inErrors = false;
    const std::regex row(R"(^\| (-?\d+) \| ([^|]*[^| ]) *\|)");
    std::smatch m;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("## ", 0) == 0)
            inErrors = line == "## Errors";
        if (inErrors && std::regex_search(line, m, row)) {
            EXPECT_TRUE(documented.emplace(std::stoi(m[1]), m[2]).second) << line;
        }
    }
    std::map<int, std::string> listed;
#define CV4870EMU_LISTED(name, code, text) EXPECT_TRUE(listed.emplace(code, text).second);
    CV4870EMU_ERRORS(CV4870EMU_LISTED)
#undef CV4870EMU_LISTED
    EXPECT_EQ(listed, documented);
}

TEST(EmulatorProtocol, Replies)
{
    // The reply is matched as a whole against the regular expression.
    const std::string idn = "Corvane Ltd.,4870,48700001,A.03.11", noError = kNoError, undefined = kUndefined;
    const std::pair<std::string, std::string> rows[] = {
        {"*IDN?\r", idn}, // idn, CR LF
        {"SYST:SER?;FIRM?", "48700001,48710001;A.03.11"}, // relative path
        {"SYST:SER?;MEAS:TEMP?;:SYST:ERR?", "48700001,48710001;" + undefined}, // relative miss
        {"SYST:FIRM?;*OPC?;SER?", "A.03.11;1;48700001,48710001"}, // common keeps node
        {"SYSTem:ERRor:NEXT?", noError}, // long error
        {"SyStEm:ErRoR?", noError}, // mixed case
        {"SYSTE:ERR?;:SYST:ERR?", undefined}, // neither form
        {"POW OFF;:POW?;:POWER:STATE ON;STATE?;:pow:stat 0;:pow?", "0;1;0"}, // power forms
        {"MEAS:VOLT?;:MEAS:CURR?;:MEAS:TEMP?",
         R"(\+2[34]\.\d{3},\+1[12]\.\d{3},\+[45]\.\d{3},-[12]\.\d{3},-5\.[12]\d\d,)"
         R"(-1[12]\.\d{3},-2[34]\.\d{3};(\d+\.\d{3},){6}\d+\.\d{3};\d\d,\d\d)"}, // measurements
        {"FAN:SPEED?", R"(1800(,\d{4}){3})"}, // fan long
        {"STATUS:LINES?;:outp:stat?", "1,0,0,0,0,0;1,1,1,1,1,1,1"}, // lines
        {"SYST:DESC?;:SYST:ERR?", R"("Rack ""B""; slot 3";)" + noError}, // quoted description
        {"*CLS\nFAN:SPE 2400\nPOW ON;:VXI:SYSR\nFAN:SPE?", R"(2400(,\d+){3})"}, // silent commands
        {"SYST:TAG? 4294967295;*CLS;:SYST:SER?;:FOO?;:SYST:ERR?",
         "4294967295;48700001,48710001;" + undefined}, // tag first
        {"syst:tag? 007", "7"}, // tag zeros
        {"SIM:CLE;:SYST:ERR?", undefined}, // no SIM without flag
    };
    for (const auto &[command, expected] : rows) {
        SCOPED_TRACE(command);
        RunningEmulator r;
        ASSERT_TRUE(r.started);
        cv4870emu::Identity id;
        id.description = "Rack \"B\"; slot 3";
        r.mf->setIdentity(id);
        const std::string reply = r.client.query(command);
        EXPECT_TRUE(std::regex_match(reply, std::regex(expected))) << reply;
    }
}

// code 0: accepted. fan: the nominal fan speed afterwards.
TEST(EmulatorProtocol, Errors)
{
    const struct
    {
        std::string command;
        int code, fan;
    } rows[] = {
        {"FOO:BAR", -113, 1800}, // unknown header
        {"MEAS:VOLT", -113, 1800}, // query form missing
        {"*XYZ", -113, 1800}, // unknown common
        {"FAN:SPE? 1800", -108, 1800}, // parameter on a query
        {"FAN:SPE 2400,5", -108, 1800}, // comma decimal
        {"FAN:SPE", -109, 1800}, // missing parameter
        {"FAN:SPE \"2400\"", -104, 1800}, // string for a number
        {"FAN:SPE 24x0", -121, 1800}, // bad number
        {"FAN:SPE -", -121, 1800}, // bare sign
        {"FAN:SPE 1E999", -123, 1800}, // huge exponent
        {"POW MAYBE", -224, 1800}, // bad boolean
        {"FAN::SPE 2400", -102, 1800}, // empty node
        {"FAN:SP#E 2400", -102, 1800}, // bad character
        {"FAN:SPE ,2400", -102, 1800}, // empty parameter
        {"FAN:SPE \"2400", -151, 1800}, // open quote
        {"FAN:SPEEEEEEEEEEEEEED 2400", -112, 1800}, // too long mnemonic
        {"SYST:TAG? 4294967296", -222, 1800}, // tag past 32 bits
        {"SYST:TAG? +5", -104, 1800}, // tag with a sign
        {"FAN:SPE 0", 0, 0}, // fans off
        {"FAN:SPEED 3600", 0, 3600}, // fan max
        {"fan:spe 2.4E3", 0, 2400}, // fan exponent
        {"FAN:SPE 1199.5", 0, 1200}, // rounds into range
        {"FAN:SPE 1199", -222, 1800}, // below min
        {"FAN:SPE -1200", -222, 1800}, // negative
        {"FAN:SPE 3600.5", -222, 1800}, // rounds above max
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.command);
        RunningEmulator r;
        ASSERT_TRUE(r.started);
        // On a line of its own: an open quote runs to the end of its line.
        ASSERT_TRUE(r.client.send("*CLS\n" + row.command + "\n"));
        const std::string reply = r.client.query("SYST:ERR?;:SYST:ERR?");
        const std::size_t semicolon = reply.rfind(';');
        ASSERT_NE(semicolon, std::string::npos) << reply;
        const std::string first = reply.substr(0, semicolon);
        EXPECT_EQ(std::atoi(first.c_str()), row.code);
        EXPECT_TRUE(first.find(",\"") != std::string::npos && first.find("Unknown error") == std::string::npos)
            << first;
        EXPECT_EQ(reply.substr(semicolon + 1), kNoError);
        EXPECT_EQ(r.mf->model().state().nominalFan, row.fan);
    }
}

TEST(EmulatorProtocol, ErrorQueueOverflowsAndClears)
{
    RunningEmulator r;
    ASSERT_TRUE(r.started);
    // 20 errors: the queue keeps the first 15 in order and puts -350 in the 16th place.
    std::string line = "*CLS";
    for (int i = 0; i < 10; ++i)
        line += ";FOO;:FAN:SPE 5";
    EXPECT_TRUE(r.client.send(line + "\n"));
    EXPECT_EQ(r.client.query("SYST:ERR:COUN?"), std::string("16"));
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(r.client.query("SYST:ERR?"), i % 2 ? R"(-222,"Data out of range")" : kUndefined);
    EXPECT_EQ(r.client.query("SYST:ERR?;:SYST:ERR?"), R"(-350,"Queue overflow";)" + kNoError);
    // *RST keeps the queue, *CLS empties it.
    EXPECT_EQ(r.client.query("FOO;*RST;:SYST:ERR?"), kUndefined);
    EXPECT_EQ(r.client.query("FOO;*CLS;:SYST:ERR?"), kNoError);
}

TEST(EmulatorProtocol, HostileInputKeepsConnectionUsable)
{
    RunningEmulator r;
    ASSERT_TRUE(r.started);
    EXPECT_TRUE(r.client.send("*CLS\n" + std::string(200000, 'A') + "\n"));
    EXPECT_EQ(r.client.query("SYST:ERR?;:SYST:ERR?"), R"(-363,"Input buffer overrun";)" + kNoError);
    // A line of exactly the limit is still taken.
    std::string longest = "*OPC?";
    while (longest.size() + 6 <= cv4870emu::kMaxLineLength)
        longest += ";*OPC?";
    const std::size_t queries = (longest.size() + 1) / 6;
    longest.append(cv4870emu::kMaxLineLength - longest.size(), ' ');
    EXPECT_EQ(r.client.query(longest).size(), queries * 2 - 1);
    // So are arbitrary bytes, NULs included.
    std::string junk;
    for (int i = 0; i < 3000; ++i) {
        const char c = static_cast<char>((i * 131 + 7) & 0xff);
        junk += c == '\n' ? '\r' : c;
    }
    EXPECT_TRUE(r.client.send(junk + std::string("\0\0\0;;\"\"\";:*?\0\n", 14)));
    EXPECT_EQ(r.client.query("*IDN?").substr(0, 12), std::string("Corvane Ltd."));
}

TEST(EmulatorProtocol, SeveralClientsAndMainframes)
{
    cv4870emu::Server server;
    cv4870emu::Identity id;
    for (std::uint32_t i = 0; i < 3; ++i) {
        id.psSerial = static_cast<std::int32_t>(1000 + i);
        server.addMainframe("127.0.0.1", 0, 100 + i).setIdentity(id);
    }
    EXPECT_TRUE(server.start());
    // Eight clients at once on the first mainframe; each reads its own answer.
    std::vector<std::unique_ptr<LineClient>> clients;
    for (std::size_t i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<LineClient>());
        EXPECT_TRUE(clients.back()->connect("127.0.0.1", server.mainframe(0).port()));
        EXPECT_TRUE(clients.back()->send("FAN:SPE " + std::to_string(1200 + 100 * i) + ";:FAN:SPE?\n"));
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        std::string line;
        EXPECT_EQ(clients[i]->readLine(line), LineClient::Result::Line);
        EXPECT_EQ(line.substr(0, 5), std::to_string(1200 + 100 * i) + ",");
    }
    // Each mainframe has its own port and state.
    EXPECT_EQ(clients[0]->query("POW OFF;:FOO;:POW?;:SYST:ERR?"), "0;" + kUndefined);
    for (std::size_t i = 1; i < 3; ++i) {
        LineClient c;
        EXPECT_TRUE(c.connect("127.0.0.1", server.mainframe(i).port()));
        EXPECT_EQ(c.query("SYST:SER?;:POW?;:SYST:ERR?"), std::to_string(1000 + i) + ",48710001;1;" + kNoError);
    }
    // Stopping (twice) closes every connection, even one with half a line in.
    EXPECT_TRUE(clients[1]->send("*IDN?"));
    server.stop();
    server.stop();
    std::string line;
    EXPECT_EQ(clients[2]->readLine(line), LineClient::Result::Closed);
}

TEST(EmulatorProtocol, RepliesOutliveHalfClose)
{
    RunningEmulator r;
    ASSERT_TRUE(r.started);
    EXPECT_TRUE(r.client.send("*IDN?\n*OPC?\n"));
    r.client.shutdownWrite();
    std::string line;
    EXPECT_EQ(r.client.readLine(line), LineClient::Result::Line);
    EXPECT_EQ(r.client.readLine(line), LineClient::Result::Line);
    EXPECT_EQ(line, std::string("1"));
    EXPECT_EQ(r.client.readLine(line), LineClient::Result::Closed);
}

TEST(EmulatorProtocol, SlowReaderGetsEveryReply)
{
    RunningEmulator r(true);
    ASSERT_TRUE(r.started);
    // 30 MB of replies, far more than the socket buffers hold: the server
    // has to stop reading while the client is not reading, and go on
    // afterwards without losing or reordering anything.
    const std::size_t lines = 300;
    r.mf->injectLinkFault(cv4870emu::LinkFault::Oversized, -1);
    std::thread sender([&] {
        std::string batch;
        for (std::size_t i = 0; i < lines; ++i)
            batch += "*IDN?\n";
        r.client.send(batch + "SIM:CLE\n*OPC?\n");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string bytes;
    const LineClient::Result result = r.client.readBytes(bytes, lines * cv4870emu::kOversizedReplyBytes, 20000);
    sender.join();
    EXPECT_EQ(result, LineClient::Result::Line);
    EXPECT_TRUE(bytes.find('\n') == std::string::npos);
    EXPECT_EQ(r.client.query(""), std::string("1")); // the empty line gets no reply of its own
}
