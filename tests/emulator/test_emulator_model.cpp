// The physical model over simulated time.
#include "cv4870emu.h"
#include "runningemulator.h"

#include "testproc.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>

using cv4870emu::Model;
using cv4870emu::ModelState;

namespace {

std::unique_ptr<Model> manualModel(std::uint32_t seed = 4870)
{
    auto m = std::make_unique<Model>(seed);
    m->setManualClock(true);
    return m;
}

bool allOutputsNominal(const ModelState &s)
{
    for (std::size_t i = 0; i < cv4870emu::kOutputCount; ++i) {
        const double nominal = cv4870emu::kNominalVolts[i];
        if (!s.outputOk[i] || std::fabs(s.volts[i] - nominal) > 0.01 * std::fabs(nominal) || s.amps[i] <= 0.0)
            return false;
    }
    return !s.outputFail;
}

// Powered, default fan speed reached, outputs nominal, no failure, warm
// but well below the limits.
void verifyDefaultState(const ModelState &s)
{
    EXPECT_TRUE(s.power);
    EXPECT_EQ(s.nominalFan, cv4870emu::kDefaultFanSpeed);
    EXPECT_TRUE(allOutputsNominal(s));
    EXPECT_TRUE(!s.inputFail && !s.fanFail && !s.sensorFail && !s.sysFail);
    for (int rpm : s.fans)
        EXPECT_TRUE(std::abs(rpm - cv4870emu::kDefaultFanSpeed) < 0.03 * cv4870emu::kDefaultFanSpeed);
    EXPECT_TRUE(s.fanTrayTemp > 28.0 && s.fanTrayTemp < 45.0);
    EXPECT_TRUE(s.powerSupplyTemp > s.fanTrayTemp && s.powerSupplyTemp < 60.0);
}

} // namespace

TEST(EmulatorModel, DefaultStateAndReset)
{
    auto m = manualModel();
    verifyDefaultState(m->state());
    m->setNominalFan(0);
    m->setPower(false);
    runModel(*m, 600000);
    m->reset();
    EXPECT_TRUE(m->state().power && allOutputsNominal(m->state()));
    verifyDefaultState(runModel(*m, 600000));
}

TEST(EmulatorModel, ClockAndNoise)
{
    auto m = manualModel();
    const ModelState a = m->state();
    EXPECT_EQ(m->state().volts, a.volts); // queries do not draw new noise
    m->advance(50);
    m->advance(50);
    EXPECT_EQ(m->state().timeMs, a.timeMs + 100);
    EXPECT_TRUE(m->state().volts != a.volts);
    // The noise stays within the outputs' tolerance.
    for (int i = 0; i < 200; ++i) {
        m->advance(100);
        EXPECT_TRUE(allOutputsNominal(m->state()));
    }
    // On the real-time clock advance() is ignored and time follows the wall clock.
    Model real;
    EXPECT_TRUE(!real.manualClock());
    const std::int64_t before = real.state().timeMs;
    real.advance(100000);
    EXPECT_TRUE(real.state().timeMs < before + 100000);
    EXPECT_TRUE(testproc::waitUntil([&] { return real.state().timeMs >= before + 300; }, 10000));
}

TEST(EmulatorModel, SameSeedSameRun)
{
    std::unique_ptr<Model> runs[] = {manualModel(7), manualModel(7), manualModel(8)};
    for (auto &m : runs) {
        m->setNominalFan(3000);
        m->advance(2500);
        m->setPower(false);
        m->advance(700);
        m->setPower(true);
    }
    const ModelState a = runs[0]->state(), b = runs[1]->state();
    EXPECT_TRUE(a.fans == b.fans && a.fanTrayTemp == b.fanTrayTemp && a.volts == b.volts && a.amps == b.amps);
    EXPECT_TRUE(a.volts != runs[2]->state().volts);
}

TEST(EmulatorModel, FanRampHasInertiaAndSpread)
{
    auto m = manualModel();
    m->setNominalFan(0);
    ModelState s = runModel(*m, 60000);
    EXPECT_EQ(s.fans, (std::array<int, 3>{0, 0, 0}));
    EXPECT_TRUE(!s.fanFail); // off on purpose is not a failure

    m->setNominalFan(3600);
    m->advance(500);
    std::array<int, 3> last = m->state().fans;
    for (int rpm : last)
        EXPECT_TRUE(rpm > 0 && rpm < 1800) << rpm;
    // Rises steadily, never overshoots, settles within the fans' spread.
    for (int step = 0; step < 30; ++step) {
        s = runModel(*m, 1000);
        for (std::size_t f = 0; f < 3; ++f) // two readings' noise apart at most
            EXPECT_TRUE(s.fans[f] + 9 >= last[f] && s.fans[f] <= 3600 * 1.02);
        last = s.fans;
    }
    for (int rpm : s.fans)
        EXPECT_TRUE(std::abs(rpm - 3600) <= 3600 * 0.02);
    const auto [lowest, highest] = std::minmax_element(s.fans.begin(), s.fans.end());
    EXPECT_TRUE(*highest > *lowest) << "the fans should not run in lockstep";
    EXPECT_TRUE(!s.fanFail);
}

TEST(EmulatorModel, FanSpeedSetsTemperature)
{
    auto m = manualModel();
    m->setNominalFan(1200);
    const ModelState slow = runModel(*m, 600000);
    m->setNominalFan(3600);
    const ModelState fast = runModel(*m, 600000);
    EXPECT_TRUE(fast.fanTrayTemp < slow.fanTrayTemp - 3.0);
    EXPECT_TRUE(fast.powerSupplyTemp < slow.powerSupplyTemp - 3.0);
    EXPECT_TRUE(!slow.sensorFail && !fast.sensorFail);

    // Fans off: both temperatures climb steadily up to the sensor-fail limit.
    m->setNominalFan(0);
    ModelState last = fast;
    for (int minute = 0; minute < 30 && !last.sensorFail; ++minute) {
        const ModelState s = runModel(*m, 60000);
        EXPECT_TRUE(s.fanTrayTemp >= last.fanTrayTemp && s.powerSupplyTemp >= last.powerSupplyTemp);
        EXPECT_EQ(s.sensorFail, s.fanTrayTemp >= cv4870emu::kFanTraySensorLimit ||
                                    s.powerSupplyTemp >= cv4870emu::kPowerSupplySensorLimit);
        last = s;
    }
    EXPECT_TRUE(last.sensorFail) << "no sensor fail after 30 minutes without fans";
    // Fans back on: it cools below the limits again.
    m->setNominalFan(3600);
    const ModelState cooled = runModel(*m, 900000);
    EXPECT_TRUE(!cooled.sensorFail && cooled.fanTrayTemp < 40.0);
}

TEST(EmulatorModel, PowerOffZeroesOutputsAndCools)
{
    auto m = manualModel();
    const double warm = m->state().fanTrayTemp;
    m->setPower(false);
    const ModelState s = m->state();
    EXPECT_TRUE(!s.power);
    for (std::size_t i = 0; i < cv4870emu::kOutputCount; ++i)
        EXPECT_TRUE(s.volts[i] == 0.0 && s.amps[i] == 0.0 && !s.outputOk[i]);
    EXPECT_TRUE(!s.outputFail); // switched off is not a failure
    // The fans run down without a fan fail; it cools to the room.
    const ModelState later = runModel(*m, 3600000);
    EXPECT_EQ(later.fans, (std::array<int, 3>{0, 0, 0}));
    EXPECT_TRUE(!later.fanFail && !later.sysFail);
    EXPECT_TRUE(later.fanTrayTemp < warm - 5.0);
    EXPECT_TRUE(std::fabs(later.fanTrayTemp - 25.0) < 1.0 && std::fabs(later.powerSupplyTemp - 25.0) < 1.0);
}

TEST(EmulatorModel, SysResetAssertsSysFailForAMoment)
{
    auto m = manualModel();
    m->sysReset();
    EXPECT_TRUE(m->state().sysFail);
    m->advance(cv4870emu::kSysFailAfterResetMs - 100);
    EXPECT_TRUE(m->state().sysFail);
    m->advance(100);
    EXPECT_TRUE(!m->state().sysFail);
    // Switching the power on makes the modules self-test too.
    m->setPower(false);
    m->advance(1000);
    m->sysReset();
    EXPECT_TRUE(!m->state().sysFail); // nothing powered, nothing to test
    m->setPower(true);
    EXPECT_TRUE(m->state().sysFail);
    m->advance(cv4870emu::kSysFailAfterResetMs);
    EXPECT_TRUE(!m->state().sysFail);
}
