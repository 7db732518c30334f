// The monitoring core: health and events on pairs of snapshots, the target
// syntax, and the session holder against the in-process emulator.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cv4870.h"
#include "cv4870emu.h"
#include "cv4870mon/events.h"
#include "cv4870mon/json.h"
#include "cv4870mon/link.h"
#include "cv4870mon/range.h"
#include "cv4870mon/target.h"

using namespace cv4870mon;
using std::chrono::milliseconds;

namespace {

// A healthy snapshot with the changes named: "off" (main power and so every
// output), a failure line, "bad:<output>", "rpm:<nominal>".
Snapshot snapshot(const std::string &changes = "")
{
    Snapshot s;
    s.status.powerOn = true;
    for (Output &o : s.outputs)
        o.ok = true;
    s.fanNominalRpm = 1800;
    s.fanTrayCelsius = 30;
    s.powerSupplyCelsius = 40;
    std::istringstream words(changes);
    for (std::string w; words >> w;) {
        if (w == "off")
            s = snapshot("bad:0 bad:1 bad:2 bad:3 bad:4 bad:5 bad:6"), s.status.powerOn = false;
        else if (w.rfind("bad:", 0) == 0)
            s.outputs.at(std::stoul(w.substr(4))).ok = false;
        else if (w.rfind("rpm:", 0) == 0)
            s.fanNominalRpm = std::stoi(w.substr(4));
        else
            *(w == "fan_fail" ? &s.status.fanFail : w == "sys_fail" ? &s.status.sysFail : &s.status.outputFail) = true;
    }
    return s;
}

std::string kinds(const std::vector<Event> &events)
{
    std::string out;
    for (const Event &e : events)
        out += std::string(out.empty() ? "" : " ") + eventKindName(e.kind) + ":" + e.subject;
    return out;
}

} // namespace

// Thresholds from plugin ranges ("" for none); "off" expects main power off.
Thresholds limits(const char *warning, const char *critical, const char *power = "on")
{
    Thresholds t;
    if (*warning)
        t.warning = parseRange(warning).range;
    if (*critical)
        t.critical = parseRange(critical).range;
    t.powerExpectedOff = std::string(power) == "off";
    return t;
}

TEST(Health, FromStatusLinesOutputsAndThresholds)
{
    // fan tray 30 C, power supply 40 C
    const std::tuple<const char *, Thresholds, Severity, const char *> rows[] = {
        {"", {}, Severity::Ok, ""},
        {"sys_fail fan_fail", {}, Severity::Critical, "fan_fail sys_fail"},
        {"bad:4", {}, Severity::Critical, "output:-5.2V"},
        {"off", {}, Severity::Warning, "main_power_off"}, // the outputs are off too, and do not count
        {"off", limits("", "", "off"), Severity::Ok, ""},
        {"", limits("", "", "off"), Severity::Warning, "main_power_on"},
        {"", limits("40", "50"), Severity::Ok, ""}, // 40 is inside 0..40
        {"", limits("39", "50"), Severity::Warning, "temperature:power_supply"},
        {"", limits("20", "29.5"), Severity::Critical, "temperature:fan_tray temperature:power_supply"},
        {"", limits("", "~:35"), Severity::Critical, "temperature:power_supply"},
        {"", limits("35:", ""), Severity::Warning, "temperature:fan_tray"},
        {"", limits("", "@30:35"), Severity::Critical, "temperature:fan_tray"},
    };
    for (const auto &[changes, limits, severity, codes] : rows) {
        const Health h = assessHealth(snapshot(changes), limits);
        std::string got;
        for (const Problem &p : h.problems)
            got += (got.empty() ? "" : " ") + p.code();
        EXPECT_EQ(h.severity, severity) << changes << " " << codes;
        EXPECT_EQ(got, codes);
    }
}

TEST(Events, TransitionsBetweenTwoSnapshots)
{
    const std::tuple<const char *, const char *, const char *> rows[] = {
        {"", "", ""},
        {"", "fan_fail", "line_set:fan_fail"},
        {"fan_fail", "", "line_cleared:fan_fail"},
        {"", "bad:2 output_fail", "line_set:output_fail output_failed:+5V"},
        {"bad:6", "", "output_recovered:-24V"},
        {"", "off", "power_off:main_power"}, // no output events
        {"off", "", "power_on:main_power"},
        {"", "rpm:2400", "fan_nominal_changed:fan_nominal"},
    };
    for (const auto &[before, after, events] : rows)
        EXPECT_EQ(kinds(diffSnapshots(snapshot(before), snapshot(after))), events) << before << " -> " << after;
}

TEST(Events, TrackerReportsLinkChangesOnceAndChangesAcrossALoss)
{
    LinkTracker t("r");
    const auto now = Clock::now();
    EXPECT_EQ(kinds(t.onFailure(now, "refused")), "link_lost:link"); // unreachable from the start
    EXPECT_EQ(kinds(t.onFailure(now, "refused")), "");
    EXPECT_EQ(kinds(t.onSnapshot(snapshot())), "link_restored:link");
    EXPECT_EQ(kinds(t.onSnapshot(snapshot())), "");
    EXPECT_EQ(kinds(t.onFailure(now, "timeout")), "link_lost:link");
    EXPECT_EQ(kinds(t.onSnapshot(snapshot("sys_fail"))), "link_restored:link line_set:sys_fail");
    EXPECT_TRUE(t.up());
    EXPECT_EQ(toJson(t.onFailure(now, "x").at(0))["event"], "link_lost");
}

TEST(Target, ResourceToOpenOrReason)
{
    // The grammar itself is tested with cvtarget; here what the tools get.
    const std::pair<const char *, const char *> rows[] = {
        {"tcpip1::[::FFFF:127.0.0.1]::4870::socket", "TCPIP0::127.0.0.1::4870::SOCKET"},
        {"GPIB0::8::INSTR", ""},
    };
    for (const auto &[text, resource] : rows) {
        const TargetResult r = parseTarget(text);
        EXPECT_EQ(r.ok, *resource != '\0') << text;
        EXPECT_EQ(r.resource, resource) << text;
        EXPECT_EQ(r.error.empty(), r.ok) << text;
    }
}

class LinkEmu : public ::testing::Test
{
protected:
    void SetUp() override
    {
        server.setLogLevel(cv4870emu::LogLevel::Quiet);
        mf = &server.addMainframe("127.0.0.1", 0);
        cv4870emu::Identity id; // none of it the default, the description in Latin-1
        id.psSerial = 48701234;
        id.fanSerial = 48715678;
        id.firmware = "B.07.02";
        id.description = "Rack 7 \xb5-lab";
        mf->setIdentity(id);
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
        resource = "TCPIP0::127.0.0.1::" + std::to_string(mf->port()) + "::SOCKET";
    }

    cv4870emu::Server server;
    cv4870emu::Mainframe *mf = nullptr;
    std::string resource;
};

TEST_F(LinkEmu, ADroppedConnectionFailsThenReconnectsAfterTheBackoff)
{
    Link link(resource, {milliseconds(200), milliseconds(400)});
    ASSERT_TRUE(link.read(milliseconds(2000)).snapshot);
    mf->injectLinkFault(cv4870emu::LinkFault::Drop);
    EXPECT_FALSE(link.read(milliseconds(2000)).backoff); // the failure itself, as in EachFailureHasItsReason
    EXPECT_TRUE(link.read(milliseconds(2000)).backoff);
    std::this_thread::sleep_for(milliseconds(250));
    EXPECT_TRUE(link.read(milliseconds(2000)).snapshot);
}

TEST_F(LinkEmu, TheDeadlineHoldsAgainstDelayedRepliesAcrossThreads)
{
    Link link(resource);
    ASSERT_TRUE(link.read(milliseconds(2000)).snapshot);
    mf->setReplyDelay(1000);
    std::vector<std::thread> readers;
    std::vector<double> seconds(2);
    for (std::size_t i = 0; i < seconds.size(); ++i) {
        readers.emplace_back([&, i] {
            const auto start = std::chrono::steady_clock::now();
            const ReadResult r = link.read(milliseconds(300));
            seconds[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            EXPECT_FALSE(r.snapshot);
        });
    }
    for (std::thread &t : readers)
        t.join();
    // one read at a time: the second waits for the first, then backs off
    EXPECT_LT(std::max(seconds[0], seconds[1]), 0.9);
    mf->setReplyDelay(0);
}

TEST(Range, ParsedAndEvaluatedAsMonitoringPluginsDo)
{
    // range, values that alert, values that do not
    const std::tuple<const char *, std::vector<double>, std::vector<double>> rows[] = {
        {"10", {-0.5, 10.01, 1e308}, {0, 5, 10}},
        {"10:", {9.99, -1e9}, {10, 1e308}},
        {"~:10", {10.01}, {-1e308, 10}},
        {"10:20", {9, 21}, {10, 15, 20}},
        {"@10:20", {10, 15, 20}, {9.99, 20.01}},
        {"-5:-1", {0, -6}, {-5, -1}},
        {"1e1:2.5e1", {9, 26}, {10, 25}},
        {"+3", {4}, {3}},
        {"@~:0", {-1, 0}, {0.5}},
    };
    for (const auto &[text, alert, quiet] : rows) {
        const RangeResult r = parseRange(text);
        ASSERT_TRUE(r.ok) << text << ": " << r.error;
        EXPECT_EQ(r.range.text, text);
        for (double v : alert)
            EXPECT_TRUE(r.range.alerts(v)) << text << " " << v;
        for (double v : quiet)
            EXPECT_FALSE(r.range.alerts(v)) << text << " " << v;
        EXPECT_TRUE(r.range.alerts(std::nan(""))) << text;
    }
    for (const char *bad : {"",    "nan",  "inf", "-inf", "10:nan", "~:inf", "20:10", "-1",    "@", "~",  "10:20:30",
                            "1,5", "0x10", "10 ", " 10",  "~10",    "10:~",  "@@1",   "1e999", ":", "abc"}) {
        const RangeResult r = parseRange(bad);
        EXPECT_FALSE(r.ok) << "'" << bad << "' accepted";
        EXPECT_FALSE(r.error.empty());
    }
    EXPECT_FALSE(parseRange(std::string(65, '1')).ok);
}

TEST_F(LinkEmu, ReadCopiesOutEveryFieldOfTheMainframeState)
{
    cv4870emu::Mainframe &m = *mf;
    m.model().setManualClock(true);
    m.model().setNominalFan(2400);
    m.model().setFanStall(1, true);
    m.model().setOutputOutOfLimits(5, true);
    m.model().setSysFailAsserted(true);
    m.model().setOverTemperature(true);
    m.model().advance(600000);
    Link link(resource);
    const ReadResult r = link.read(milliseconds(2000));
    ASSERT_TRUE(r.snapshot) << r.error;
    const Snapshot &s = *r.snapshot;
    const cv4870emu::ModelState t = m.model().state();
    EXPECT_EQ(s.identity.resource, resource);
    EXPECT_EQ(s.identity.description, "Rack 7 \u00b5-lab");
    EXPECT_EQ(s.identity.firmwareRevision, "B.07.02");
    EXPECT_EQ(s.identity.powerSupplySerial, 48701234);
    EXPECT_EQ(s.identity.fanTraySerial, 48715678);
    const StatusLines want = {t.power, t.inputFail, t.outputFail, t.fanFail, t.sensorFail, t.sysFail};
    for (const auto member : {&StatusLines::powerOn, &StatusLines::inputFail, &StatusLines::outputFail,
                              &StatusLines::fanFail, &StatusLines::sensorFail, &StatusLines::sysFail})
        EXPECT_EQ(s.status.*member, want.*member);
    EXPECT_TRUE(s.status.fanFail && s.status.sysFail && s.status.sensorFail); // the faults took
    for (std::size_t i = 0; i < kOutputCount; ++i) {
        EXPECT_NEAR(s.outputs[i].voltageVolts, t.volts[i], 0.01) << kOutputNames[i];
        EXPECT_NEAR(s.outputs[i].currentAmperes, t.amps[i], 0.01) << kOutputNames[i];
        EXPECT_EQ(s.outputs[i].ok, t.outputOk[i]) << kOutputNames[i];
    }
    EXPECT_EQ(s.fanNominalRpm, t.nominalFan);
    for (std::size_t i = 0; i < kFanCount; ++i)
        EXPECT_NEAR(s.fanRpm[i], t.fans[i], 1) << "fan " << i + 1;
    EXPECT_EQ(s.fanTrayCelsius, std::lround(t.fanTrayTemp));
    EXPECT_EQ(s.powerSupplyCelsius, std::lround(t.powerSupplyTemp));
    EXPECT_LE(std::chrono::duration<double>(Clock::now() - s.time).count(), 5.0);
}

TEST_F(LinkEmu, EachFailureHasItsReason)
{
    const std::string peer = "127.0.0.1:" + std::to_string(mf->port());

    // fault before the read, resource, reason, words of the message
    const std::tuple<std::function<void()>, std::string, FailureReason, std::string> rows[] = {
        {[] {}, "TCPIP0::127.0.0.1::1::SOCKET", FailureReason::Refused, "connection refused by 127.0.0.1:1"},
        {[&] { mf->setReplyDelay(1000); }, resource, FailureReason::Timeout, "no answer from " + peer},
        {[&] { mf->injectLinkFault(cv4870emu::LinkFault::Drop); }, resource, FailureReason::Closed, peer},
        {[&] { mf->injectLinkFault(cv4870emu::LinkFault::Garbage); }, resource, FailureReason::Protocol, peer},
        {[&] { mf->injectLinkFault(cv4870emu::LinkFault::DeviceError); }, resource, FailureReason::Mainframe, "301"},
        {[] {}, "GPIB0::8::INSTR", FailureReason::Unreachable, "GPIB0::8::INSTR"},
    };
    for (const auto &[fault, rsrc, reason, words] : rows) {
        Link link(rsrc);
        if (rsrc == resource) {
            ASSERT_TRUE(link.read(milliseconds(2000)).snapshot);
        }
        fault();
        const ReadResult r = link.read(milliseconds(300));
        mf->clearFaults();
        mf->setReplyDelay(0);
        ASSERT_FALSE(r.snapshot) << words;
        EXPECT_EQ(failureReasonName(r.failure.reason), std::string(failureReasonName(reason))) << r.error;
        EXPECT_NE(r.failure.message.find(words), std::string::npos) << r.failure.message;
        EXPECT_NE(r.error.find(r.failure.message), std::string::npos) << r.error;
        const ReadResult waiting = link.read(milliseconds(300)); // backing off: the same reason
        EXPECT_TRUE(waiting.backoff);
        EXPECT_EQ(waiting.failure.reason, reason);
        std::string text;
        Failure failure;
        fault();
        EXPECT_LT(link.run(
                      milliseconds(300), [](ViSession vi) { return cv4870_reset(vi); }, &text, &failure),
                  0);
        mf->clearFaults();
        mf->setReplyDelay(0);
        EXPECT_EQ(failure.reason, reason) << text;
    }
    EXPECT_EQ(toJson(Failure{FailureReason::Name, "x"}).dump(), R"({"message":"x","reason":"name"})");
}
