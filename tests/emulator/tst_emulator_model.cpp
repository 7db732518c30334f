// The physical model over simulated time.
#include "cv4870emu.h"

#include <QtTest>

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

// Steps the model in slices and returns the last state.
ModelState run(Model &m, std::int64_t ms, std::int64_t slice = 1000)
{
    for (std::int64_t t = 0; t < ms; t += slice)
        m.advance(std::min(slice, ms - t));
    return m.state();
}

bool allOutputsNominal(const ModelState &s)
{
    for (int i = 0; i < cv4870emu::kOutputCount; ++i) {
        const double nominal = cv4870emu::kNominalVolts[i];
        if (!s.outputOk[i] || std::fabs(s.volts[i] - nominal) > 0.01 * std::fabs(nominal) || s.amps[i] <= 0.0)
            return false;
    }
    return true;
}

} // namespace

class TestEmulatorModel : public QObject {
    Q_OBJECT

private slots:
    void startsInTheDefaultState();
    void timeMovesOnlyByAdvance();
    void sameSeedSameRun();
    void noiseStaysSmall();
    void fanRampHasInertia();
    void fansStopAtNominalZero();
    void fanSpeedRangeIsEnforced();
    void fasterFansCoolBetter();
    void fansOffHeatsUpToSensorFail();
    void powerOffZeroesOutputs();
    void powerOffLetsItCool();
    void sysResetAssertsSysFailForAMoment();
    void resetRestoresDefaults();
    void realTimeClockFollowsWallClock();
};

void TestEmulatorModel::startsInTheDefaultState()
{
    auto m = manualModel();
    const ModelState s = m->state();
    QVERIFY(s.power);
    QCOMPARE(s.nominalFan, cv4870emu::kDefaultFanSpeed);
    QVERIFY(allOutputsNominal(s));
    QVERIFY(!s.inputFail && !s.outputFail && !s.fanFail && !s.sensorFail && !s.sysFail);
    for (int rpm : s.fans)
        QVERIFY(std::abs(rpm - cv4870emu::kDefaultFanSpeed) < 0.03 * cv4870emu::kDefaultFanSpeed);
    // A mainframe that has run a while: warm, well below the limits.
    QVERIFY(s.fanTrayTemp > 28.0 && s.fanTrayTemp < 45.0);
    QVERIFY(s.powerSupplyTemp > s.fanTrayTemp && s.powerSupplyTemp < 60.0);
}

void TestEmulatorModel::timeMovesOnlyByAdvance()
{
    auto m = manualModel();
    const ModelState a = m->state();
    const ModelState b = m->state();
    QCOMPARE(a.timeMs, b.timeMs);
    QCOMPARE(a.volts, b.volts); // queries do not draw new noise
    m->advance(50);
    m->advance(50);
    QCOMPARE(m->state().timeMs, std::int64_t(100));
    QVERIFY(m->state().volts != a.volts);
}

void TestEmulatorModel::sameSeedSameRun()
{
    auto a = manualModel(7);
    auto b = manualModel(7);
    auto c = manualModel(8);
    for (Model *m : {a.get(), b.get(), c.get()}) {
        m->setNominalFan(3000);
        m->advance(2500);
        m->setPower(false);
        m->advance(700);
    }
    const ModelState sa = a->state(), sb = b->state();
    QCOMPARE(sa.fans, sb.fans);
    QCOMPARE(sa.fanTrayTemp, sb.fanTrayTemp);
    a->setPower(true);
    b->setPower(true);
    c->setPower(true);
    QCOMPARE(a->state().volts, b->state().volts);
    QCOMPARE(a->state().amps, b->state().amps);
    QVERIFY(a->state().volts != c->state().volts);
}

void TestEmulatorModel::noiseStaysSmall()
{
    auto m = manualModel();
    for (int i = 0; i < 200; ++i) {
        m->advance(100);
        const ModelState s = m->state();
        QVERIFY(allOutputsNominal(s));
        QVERIFY(!s.outputFail);
    }
}

void TestEmulatorModel::fanRampHasInertia()
{
    auto m = manualModel();
    m->setNominalFan(0);
    run(*m, 60000);
    QCOMPARE(m->state().fans, (std::array<int, 3>{0, 0, 0}));

    m->setNominalFan(3600);
    m->advance(500);
    const ModelState early = m->state();
    for (int rpm : early.fans)
        QVERIFY2(rpm > 0 && rpm < 1800, qPrintable(QString::number(rpm)));
    // Rises steadily, never overshoots, settles within the fans' spread.
    std::array<int, 3> last = early.fans;
    for (int step = 0; step < 30; ++step) {
        m->advance(1000);
        const ModelState s = m->state();
        for (int f = 0; f < 3; ++f) {
            QVERIFY(s.fans[f] + 9 >= last[f]); // two readings' noise apart at most
            QVERIFY(s.fans[f] <= 3600 * 1.02);
        }
        last = s.fans;
    }
    const ModelState settled = m->state();
    int lowest = 10000, highest = 0;
    for (int rpm : settled.fans) {
        QVERIFY(std::abs(rpm - 3600) <= 3600 * 0.02);
        lowest = std::min(lowest, rpm);
        highest = std::max(highest, rpm);
    }
    QVERIFY2(highest > lowest, "the fans should not run in lockstep");
    QVERIFY(!settled.fanFail);
}

void TestEmulatorModel::fansStopAtNominalZero()
{
    auto m = manualModel();
    m->setNominalFan(0);
    const ModelState s = run(*m, 30000);
    QCOMPARE(s.nominalFan, 0);
    QCOMPARE(s.fans, (std::array<int, 3>{0, 0, 0}));
    QVERIFY(!s.fanFail); // off on purpose is not a failure
}

void TestEmulatorModel::fanSpeedRangeIsEnforced()
{
    auto m = manualModel();
    for (int rpm : {1, 1199, 3601, -1, 100000})
        QVERIFY(!m->setNominalFan(rpm));
    QCOMPARE(m->state().nominalFan, cv4870emu::kDefaultFanSpeed);
    for (int rpm : {0, 1200, 2222, 3600}) {
        QVERIFY(m->setNominalFan(rpm));
        QCOMPARE(m->state().nominalFan, rpm);
    }
}

void TestEmulatorModel::fasterFansCoolBetter()
{
    auto m = manualModel();
    m->setNominalFan(1200);
    const ModelState slow = run(*m, 600000);
    m->setNominalFan(3600);
    const ModelState fast = run(*m, 600000);
    QVERIFY(fast.fanTrayTemp < slow.fanTrayTemp - 3.0);
    QVERIFY(fast.powerSupplyTemp < slow.powerSupplyTemp - 3.0);
    QVERIFY(!slow.sensorFail && !fast.sensorFail);
}

void TestEmulatorModel::fansOffHeatsUpToSensorFail()
{
    auto m = manualModel();
    m->setNominalFan(0);
    double lastTray = m->state().fanTrayTemp;
    double lastPs = m->state().powerSupplyTemp;
    bool failed = false;
    // Temperatures climb monotonically until the sensor-fail limit.
    for (int minute = 0; minute < 30 && !failed; ++minute) {
        const ModelState s = run(*m, 60000);
        QVERIFY(s.fanTrayTemp >= lastTray);
        QVERIFY(s.powerSupplyTemp >= lastPs);
        lastTray = s.fanTrayTemp;
        lastPs = s.powerSupplyTemp;
        failed = s.sensorFail;
        if (!failed)
            QVERIFY(s.fanTrayTemp < cv4870emu::kFanTraySensorLimit &&
                    s.powerSupplyTemp < cv4870emu::kPowerSupplySensorLimit);
    }
    QVERIFY2(failed, "no sensor fail after 30 minutes without fans");
    // Fans back on: it cools below the limits again.
    m->setNominalFan(3600);
    const ModelState cooled = run(*m, 900000);
    QVERIFY(!cooled.sensorFail);
    QVERIFY(cooled.fanTrayTemp < 40.0);
}

void TestEmulatorModel::powerOffZeroesOutputs()
{
    auto m = manualModel();
    m->setPower(false);
    const ModelState s = m->state();
    QVERIFY(!s.power);
    for (int i = 0; i < cv4870emu::kOutputCount; ++i) {
        QCOMPARE(s.volts[i], 0.0);
        QCOMPARE(s.amps[i], 0.0);
        QVERIFY(!s.outputOk[i]);
    }
    QVERIFY(!s.outputFail); // switched off is not a failure
    // The fans run down; no fan fail while the supply is off.
    const ModelState later = run(*m, 60000);
    QCOMPARE(later.fans, (std::array<int, 3>{0, 0, 0}));
    QVERIFY(!later.fanFail && !later.sysFail);
}

void TestEmulatorModel::powerOffLetsItCool()
{
    auto m = manualModel();
    const double warm = m->state().fanTrayTemp;
    m->setPower(false);
    const ModelState s = run(*m, 3600000);
    QVERIFY(s.fanTrayTemp < warm - 5.0);
    QVERIFY(std::fabs(s.fanTrayTemp - 25.0) < 1.0);
    QVERIFY(std::fabs(s.powerSupplyTemp - 25.0) < 1.0);
}

void TestEmulatorModel::sysResetAssertsSysFailForAMoment()
{
    auto m = manualModel();
    m->sysReset();
    QVERIFY(m->state().sysFail);
    m->advance(cv4870emu::kSysFailAfterResetMs - 100);
    QVERIFY(m->state().sysFail);
    m->advance(100);
    QVERIFY(!m->state().sysFail);
    // Switching the power on makes the modules self-test too.
    m->setPower(false);
    m->advance(1000);
    m->sysReset();
    QVERIFY(!m->state().sysFail); // nothing powered, nothing to test
    m->setPower(true);
    QVERIFY(m->state().sysFail);
    m->advance(cv4870emu::kSysFailAfterResetMs);
    QVERIFY(!m->state().sysFail);
}

void TestEmulatorModel::resetRestoresDefaults()
{
    auto m = manualModel();
    m->setNominalFan(0);
    m->setPower(false);
    run(*m, 120000);
    m->reset();
    const ModelState now = m->state();
    QVERIFY(now.power);
    QCOMPARE(now.nominalFan, cv4870emu::kDefaultFanSpeed);
    QVERIFY(allOutputsNominal(now));
    const ModelState later = run(*m, 60000);
    for (int rpm : later.fans)
        QVERIFY(std::abs(rpm - cv4870emu::kDefaultFanSpeed) < 0.03 * cv4870emu::kDefaultFanSpeed);
    QVERIFY(!later.sysFail && !later.fanFail && !later.outputFail);
}

void TestEmulatorModel::realTimeClockFollowsWallClock()
{
    Model m;
    QVERIFY(!m.manualClock());
    const std::int64_t before = m.state().timeMs;
    m.advance(100000); // ignored in real time
    QVERIFY(m.state().timeMs < before + 100000);
    QTRY_VERIFY_WITH_TIMEOUT(m.state().timeMs >= before + 300, 10000);
}

QTEST_APPLESS_MAIN(TestEmulatorModel)
#include "tst_emulator_model.moc"
