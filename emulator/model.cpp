// Physical model of the mainframe: power-supply outputs, fans, temperatures.
//
// Time advances in fixed steps of kStepMs; every step updates the fans and
// the two thermal masses with exact first-order responses and draws fresh
// noise. Queries only read the stepped state, so two queries with no time
// between them give the same values.
#include "cv4870emu.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <random>

namespace cv4870emu {

const std::array<double, kOutputCount> kNominalVolts = {+24.0, +12.0, +5.0, -2.0, -5.2, -12.0, -24.0};

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kStepMs = 100;
// Load currents (A) of a typically equipped mainframe.
constexpr std::array<double, kOutputCount> kNominalAmps = {2.1, 3.4, 18.5, 4.2, 11.8, 1.6, 1.1};
constexpr double kVoltNoise = 0.0008; // fraction of nominal, peak
constexpr double kAmpNoise = 0.01; // fraction of the load current, peak
constexpr double kFanNoiseRpm = 4.0; // peak
constexpr double kFanSpread = 0.015; // peak deviation of a fan from nominal
constexpr double kOutOfLimitsOffset = 0.08; // fraction of nominal
constexpr double kOutputLimit = 0.05;
constexpr double kEfficiency = 0.8;

constexpr double kAmbient = 25.0; // degC
constexpr double kHotAmbient = 75.0; // intake air under the over-temperature fault
constexpr double kRefRpm = 1800.0;
// Fan-tray air: conductance to ambient without and per reference airflow (W/K),
// heat capacity (J/K).
constexpr double kTrayG0 = 3.0;
constexpr double kTrayG1 = 34.5;
constexpr double kTrayC = 900.0;
// Power-supply heat sink relative to the tray air.
constexpr double kPsG0 = 1.0;
constexpr double kPsG1 = 9.0;
constexpr double kPsC = 300.0;
constexpr double kSensorMax = 125.0; // top of the sensors' range

constexpr double kSpinUpTauMs = 2500.0;
constexpr double kCoastTauMs = 4000.0;
constexpr double kStallTauMs = 800.0;

double response(double dtMs, double tauMs)
{
    return 1.0 - std::exp(-dtMs / tauMs);
}

} // namespace

struct Model::Impl
{
    mutable std::mutex mutex;
    bool manual = false;
    Clock::time_point lastWall = Clock::now();
    std::int64_t timeMs = 0;
    std::int64_t pendingMs = 0;
    std::mt19937 rng;

    bool power = true;
    int nominal = kDefaultFanSpeed;
    std::array<double, kFanCount> fanRpm{};
    std::array<double, kFanCount> fanSpread{};
    std::array<double, kFanCount> fanNoise{};
    std::array<double, kFanCount> fanLowMs{};
    double trayTemp = kAmbient;
    double psTemp = kAmbient;
    std::array<double, kOutputCount> voltNoise{};
    std::array<double, kOutputCount> ampNoise{};
    std::int64_t sysFailUntil = -1;

    std::array<bool, kFanCount> fanStall{};
    std::array<bool, kOutputCount> outOfLimits{};
    bool inputFail = false;
    bool overTemp = false;
    bool sysFailForced = false;

    // Uniform in [-1, 1], independent of the library's distributions.
    double noise() { return static_cast<double>(rng()) / 4294967295.0 * 2.0 - 1.0; }

    bool supplyOn() const { return power && !inputFail; }

    double airflow() const
    {
        double sum = 0.0;
        for (double rpm : fanRpm)
            sum += rpm;
        return sum / kFanCount / kRefRpm;
    }

    // Heat into the tray air (all output power ends up in the modules) and
    // the supply's own losses.
    void heat(double &loadW, double &lossW) const
    {
        loadW = 0.0;
        if (supplyOn()) {
            for (std::size_t i = 0; i < kOutputCount; ++i)
                loadW += std::fabs(kNominalVolts[i]) * kNominalAmps[i];
        }
        lossW = loadW * (1.0 - kEfficiency) / kEfficiency;
    }

    double fanTarget(std::size_t i) const
    {
        if (!supplyOn() || fanStall[i])
            return 0.0;
        return nominal * (1.0 + fanSpread[i]);
    }

    void drawNoise()
    {
        for (std::size_t i = 0; i < kOutputCount; ++i) {
            voltNoise[i] = noise() * kVoltNoise;
            ampNoise[i] = noise() * kAmpNoise;
        }
        for (std::size_t i = 0; i < kFanCount; ++i)
            fanNoise[i] = noise() * kFanNoiseRpm;
    }

    void settle()
    {
        for (std::size_t i = 0; i < kFanCount; ++i)
            fanRpm[i] = fanTarget(i);
        double loadW, lossW;
        heat(loadW, lossW);
        const double f = airflow();
        const double ambient = overTemp ? kHotAmbient : kAmbient;
        trayTemp = ambient + (loadW + lossW) / (kTrayG0 + kTrayG1 * f);
        psTemp = trayTemp + lossW / (kPsG0 + kPsG1 * f);
    }

    void step(std::int64_t dtMs)
    {
        const double dt = static_cast<double>(dtMs);
        for (std::size_t i = 0; i < kFanCount; ++i) {
            const double target = fanTarget(i);
            double tau = target > fanRpm[i] ? kSpinUpTauMs : kCoastTauMs;
            if (fanStall[i])
                tau = kStallTauMs;
            fanRpm[i] += (target - fanRpm[i]) * response(dt, tau);
            if (target == 0.0 && fanRpm[i] < 1.0)
                fanRpm[i] = 0.0;
            // The monitor runs on standby power: with the mainframe switched
            // on, fans that lost their supply count as failed too.
            if (power && nominal > 0 && fanRpm[i] < 0.5 * nominal)
                fanLowMs[i] += dt;
            else
                fanLowMs[i] = 0.0;
        }

        double loadW, lossW;
        heat(loadW, lossW);
        const double f = airflow();
        const double ambient = overTemp ? kHotAmbient : kAmbient;
        const double trayG = kTrayG0 + kTrayG1 * f;
        const double trayTarget = ambient + (loadW + lossW) / trayG;
        trayTemp += (trayTarget - trayTemp) * response(dt / 1000.0, kTrayC / trayG);
        const double psG = kPsG0 + kPsG1 * f;
        const double psTarget = trayTemp + lossW / psG;
        psTemp += (psTarget - psTemp) * response(dt / 1000.0, kPsC / psG);

        timeMs += dtMs;
        drawNoise();
    }

    void run(std::int64_t ms)
    {
        pendingMs += ms;
        while (pendingMs >= kStepMs) {
            // Long idle periods (a real-time model nobody asked for an
            // hour) are caught up in coarser steps.
            std::int64_t dt = kStepMs;
            if (pendingMs >= 36000 * kStepMs)
                dt = 600 * kStepMs;
            else if (pendingMs >= 600 * kStepMs)
                dt = 10 * kStepMs;
            step(dt);
            pendingMs -= dt;
        }
    }

    // Brings a real-time model up to the wall clock.
    void sync()
    {
        if (manual)
            return;
        const Clock::time_point now = Clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastWall).count();
        if (elapsed <= 0)
            return;
        lastWall += std::chrono::milliseconds(elapsed);
        // More than a day apart: the state has long settled.
        run(std::min<std::int64_t>(elapsed, 24 * 3600 * 1000LL));
    }

    // Runs f under the lock on a state brought up to date.
    template <class F>
    void update(F f)
    {
        std::lock_guard<std::mutex> lock(mutex);
        sync();
        f();
    }

    void powerOn()
    {
        if (!power)
            sysFailUntil = timeMs + kSysFailAfterResetMs;
        power = true;
    }
};

Model::Model(std::uint32_t seed)
    : d(new Impl)
{
    d->rng.seed(seed);
    for (double &s : d->fanSpread)
        s = d->noise() * kFanSpread;
    d->settle();
    d->drawNoise();
}

Model::~Model() = default;

void Model::setManualClock(bool manual)
{
    d->update([&] {
        d->manual = manual;
        d->lastWall = Clock::now();
    });
}

bool Model::manualClock() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->manual;
}

void Model::advance(std::int64_t ms)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->manual && ms > 0)
        d->run(ms);
}

void Model::setSeed(std::uint32_t seed)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->rng.seed(seed);
    d->drawNoise();
}

ModelState Model::state()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->sync();
    ModelState s;
    s.timeMs = d->timeMs;
    s.power = d->power;
    s.nominalFan = d->nominal;
    const bool on = d->supplyOn();
    bool anyBad = false;
    for (std::size_t i = 0; i < kOutputCount; ++i) {
        if (on) {
            const double nominal = kNominalVolts[i];
            double v = nominal * (1.0 + d->voltNoise[i]);
            if (d->outOfLimits[i])
                v += nominal * kOutOfLimitsOffset;
            s.volts[i] = v;
            s.amps[i] = kNominalAmps[i] * (v / nominal) * (1.0 + d->ampNoise[i]);
            s.outputOk[i] = std::fabs(v - nominal) <= kOutputLimit * std::fabs(nominal);
        }
        anyBad = anyBad || !s.outputOk[i];
    }
    for (std::size_t i = 0; i < kFanCount; ++i) {
        const double rpm = d->fanRpm[i];
        s.fans[i] = rpm > 0.0 ? std::max(0, static_cast<int>(std::lround(rpm + d->fanNoise[i]))) : 0;
        s.fanFail = s.fanFail || d->fanLowMs[i] >= kFanFailDelayMs;
    }
    s.fanTrayTemp = std::min(d->trayTemp, kSensorMax);
    s.powerSupplyTemp = std::min(d->psTemp, kSensorMax);
    s.inputFail = d->inputFail;
    s.outputFail = d->power && anyBad;
    s.sensorFail = s.fanTrayTemp >= kFanTraySensorLimit || s.powerSupplyTemp >= kPowerSupplySensorLimit;
    s.sysFail = d->sysFailForced || d->timeMs < d->sysFailUntil;
    return s;
}

void Model::reset()
{
    d->update([&] {
        d->powerOn();
        d->nominal = kDefaultFanSpeed;
    });
}

void Model::setPower(bool on)
{
    d->update([&] {
        if (on)
            d->powerOn();
        else
            d->power = false;
    });
}

bool Model::setNominalFan(int rpm)
{
    if (rpm != 0 && (rpm < kFanSpeedMin || rpm > kFanSpeedMax))
        return false;
    d->update([&] { d->nominal = rpm; });
    return true;
}

void Model::sysReset()
{
    d->update([&] {
        if (d->supplyOn())
            d->sysFailUntil = d->timeMs + kSysFailAfterResetMs;
    });
}

void Model::setFanStall(int fan, bool stalled)
{
    if (fan < 0 || fan >= kFanCount)
        return;
    d->update([&] { d->fanStall[static_cast<std::size_t>(fan)] = stalled; });
}

void Model::setOutputOutOfLimits(int channel, bool out)
{
    if (channel < 0 || channel >= kOutputCount)
        return;
    d->update([&] { d->outOfLimits[static_cast<std::size_t>(channel)] = out; });
}

void Model::setInputPowerFail(bool failed)
{
    d->update([&] { d->inputFail = failed; });
}

void Model::setOverTemperature(bool over)
{
    d->update([&] { d->overTemp = over; });
}

void Model::setSysFailAsserted(bool asserted)
{
    d->update([&] { d->sysFailForced = asserted; });
}

void Model::clearFaults()
{
    d->update([&] {
        d->fanStall.fill(false);
        d->outOfLimits.fill(false);
        d->inputFail = false;
        d->overTemp = false;
        d->sysFailForced = false;
    });
}

} // namespace cv4870emu
