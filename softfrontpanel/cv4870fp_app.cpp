#include "cv4870fp_app.h"

#include <QChar>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdlib>
#include <cstring>

#include "cv4870.h"
#include "cv4870fp.h"
#include "cv4870fp_select.h"
#include "cv5120fp_led.h"
#include "visa.h"

namespace {

// Output names, and where each output starts in the "Power Supply" grid:
// positives in the left half, negatives in the right half with -24 V on top.
const char *const channelName[cv4870fp_app::channelCount] = {"+24 V",  "+12 V", "+5 V", "-2 V",
                                                             "-5.2 V", "-12 V", "-24 V"};
const int channelRow[cv4870fp_app::channelCount] = {1, 2, 3, 4, 3, 2, 1};
const int channelColumn[cv4870fp_app::channelCount] = {0, 0, 0, 5, 5, 5, 5};

const char sfpRevision[] = "4.3.1.10391";
const char model[] = "4870";
const int hostBufLen = 256;
const int fanSpeedOffValue = 1150; // spin box minimum, shown as "OFF"

// Shown in the About dialog when the mainframe did not tell.
QString unknownText()
{
    return cv4870fp_app::tr("unknown");
}

// A real degree sign on every platform, whatever the local code page.
QString degreesText(int celsius)
{
    return QStringLiteral("%1 ").arg(celsius) + QChar(0x00B0) + QLatin1Char('C');
}

// Fixed two decimals with a point, independent of the locale.
QString fixed2(double v)
{
    return QString::number(v, 'f', 2);
}

// Text of a driver buffer that may not have been terminated.
QString bufferText(char *buf, int size)
{
    buf[size - 1] = '\0';
    return QString::fromLatin1(buf);
}

// Host part of "TCPIP[board]::host::port::SOCKET"; the whole string when it
// has no such part.
QString hostOfResource(const QString &descr)
{
    const QStringList parts = descr.split(QStringLiteral("::"));
    if (parts.size() >= 2 && !parts.at(1).isEmpty())
        return parts.at(1);
    return descr;
}

// An operator's command: nothing at all in demo mode, otherwise one driver
// call whose failure is reported. Commands never touch the poll timer.
template <typename Call>
void runCommand(int demo, Call call, const char *callText)
{
    if (demo)
        return;
    reportDriverStatus(call(), callText);
}

} // namespace

cv4870fp_app::cv4870fp_app()
    : cv5120fp_app()
    , d_vi(VI_NULL)
    , d_demo(0)
    , d_powerLed(nullptr)
    , d_sysFailLed(nullptr)
    , d_inFailLed(nullptr)
    , d_outFailLed(nullptr)
    , d_fanFailLed(nullptr)
    , d_senseFailLed(nullptr)
    , d_fanNomSpeedBox(nullptr)
    , d_fanSpeed()
    , d_outVolt()
    , d_outAmp()
    , d_outStatus()
    , d_fanTemp(nullptr)
    , d_psTemp(nullptr)
    , d_timer(nullptr)
{
    // The dialog carries the connection result; this window is its owner,
    // not its parent.
    cv4870fp_select *sel = new cv4870fp_select(this);
    sel->setWindowIcon(windowIcon());
    centerOnDesktop(sel);
    if (sel->connectMainframe() == 0)
        std::exit(0);
    d_demo = sel->d_demo != 0 ? 1 : 0;
    d_vi = sel->d_session;
    const QString descr = sel->descr();
    delete sel;

    d_activeLed->setValue(d_demo ? 0 : 1);

    setWindowTitle(tr("Ostrel 4870 Soft Front Panel: ") + hostText(descr));
    d_header->setText(QStringLiteral("<html>Ostrel 4870") + QStringLiteral("<br>") + QStringLiteral("<font size='2'>") +
                      QStringLiteral("VXI-1 Rev.4 Mainframe") + QStringLiteral("</font></html>"));

    // The library's own revision needs no session; its status does not matter.
    char libRev[CV4870_DRIVER_REVISION_BUFLEN];
    std::memset(libRev, 0, sizeof libRev);
    cv4870_revision_query(VI_NULL, libRev, VI_NULL);
    libRev[sizeof libRev - 1] = '\0';
    d_about = new cv5120fp_About(sfpRevision, libRev, model, cv4870fp_copyright, this);
    d_about->setWindowIcon(windowIcon());
    connect(d_aboutButton, &QPushButton::clicked, d_about, &QWidget::show);

    if (!d_demo)
        addHardwareRows();

    buildWorkArea();

    // Created last, so no poll can run before the panel is complete. In demo
    // mode the timer runs with nothing connected.
    d_timer = new QTimer(this);
    if (!d_demo)
        connect(d_timer, &QTimer::timeout, this, &cv4870fp_app::updateStatus);
    d_timer->start(pollIntervalMs);
}

// Destroying the children may take the focus from the spin box, whose
// editingFinished() must then not reach a panel that is half destroyed (nor
// send a fan speed while the program ends).
cv4870fp_app::~cv4870fp_app()
{
    if (d_fanNomSpeedBox)
        disconnect(d_fanNomSpeedBox, nullptr, this, nullptr);
}

// The host shown in the title. In real mode a session that the connection
// flow did not leave open is opened here from the resource string.
QString cv4870fp_app::hostText(const QString &descr)
{
    if (d_demo)
        return QString::fromLatin1(cv4870fp_demoAddress);

    if (d_vi == VI_NULL) {
        QByteArray rsrc = descr.toLatin1();
        reportDriverStatus(cv4870_init(rsrc.data(), VI_TRUE, VI_FALSE, &d_vi),
                           "cv4870_init(sel->descr().toLatin1().data(), 1, 0, &d_vi)");
    }

    char host[hostBufLen];
    std::memset(host, 0, sizeof host);
    const ViStatus status = viGetAttribute(d_vi, VI_ATTR_TCPIP_HOSTNAME, host);
    const QString name = bufferText(host, sizeof host);
    if (status < VI_SUCCESS || name.isEmpty())
        return hostOfResource(descr);
    return name;
}

// Serial numbers and firmware revision of the connected mainframe.
void cv4870fp_app::addHardwareRows()
{
    char drvRev[CV4870_REVISION_BUFLEN];
    char fwRev[CV4870_REVISION_BUFLEN];
    std::memset(drvRev, 0, sizeof drvRev);
    std::memset(fwRev, 0, sizeof fwRev);
    const bool revFailed =
        reportDriverStatus(cv4870_revision_query(d_vi, drvRev, fwRev), "cv4870_revision_query(d_vi, drvRev, fwRev)");

    ViInt32 psSerNum = 0;
    ViInt32 fanSerNum = 0;
    const bool serFailed = reportDriverStatus(cv4870_getSerialNumber(d_vi, &psSerNum, &fanSerNum),
                                              "cv4870_getSerialNumber(d_vi, &psSerNum, &fanSerNum)");

    if (serFailed)
        d_about->addSerialNumbers(unknownText(), unknownText());
    else
        d_about->addSerialNumbers(QString::number(psSerNum), QString::number(fanSerNum));

    const QString firmware = bufferText(fwRev, sizeof fwRev);
    d_about->addHardwareInfo(tr("Firmware Revision:"), revFailed || firmware.isEmpty() ? unknownText() : firmware);
}

void cv4870fp_app::buildWorkArea()
{
    QVBoxLayout *vbox = new QVBoxLayout;
    workArea()->setLayout(vbox);
    QHBoxLayout *hbox = new QHBoxLayout;
    vbox->addLayout(hbox);

    // System status lines.
    QGroupBox *statusBox = new QGroupBox(tr("System Status"));
    hbox->addWidget(statusBox);
    QGridLayout *statusGrid = new QGridLayout(statusBox);
    struct
    {
        cv5120fp_led **led;
        QString label;
        QColor onColor;
        QString toolTip;
        int row;
        int column;
    } const statusLeds[] = {
        {&d_powerLed, tr("Power:"), Qt::green, tr("Shows whether the main power switch of VXI mainframe is OFF or ON."),
         0, 0},
        {&d_sysFailLed, tr("SysFail:"), Qt::red, tr("Shows the status of VXI sysFail signal line."), 0, 2},
        {&d_inFailLed, tr("Input Fail:"), Qt::red, tr("Shows whether any input failure (e.g. power fail) is detected."),
         1, 0},
        {&d_outFailLed, tr("Output Fail:"), Qt::red, tr("Shows whether any output voltage failure is detected."), 1, 2},
        {&d_senseFailLed, tr("Sensor Fail:"), Qt::red,
         tr("Shows whether temperature of the external sensors is too high."), 2, 0},
        {&d_fanFailLed, tr("Fan Fail:"), Qt::red, tr("Shows whether any fan tray failure is detected."), 2, 2},
    };
    for (const auto &s : statusLeds) {
        *s.led = new cv5120fp_led(QString(), s.onColor, Qt::magenta);
        (*s.led)->setToolTip(s.toolTip);
        statusGrid->addWidget(new QLabel(s.label), s.row, s.column, Qt::AlignRight);
        statusGrid->addWidget(*s.led, s.row, s.column + 1);
    }

    // Fans.
    QGroupBox *fanBox = new QGroupBox(tr("Fans"));
    hbox->addWidget(fanBox);
    QGridLayout *fanGrid = new QGridLayout(fanBox);
    fanGrid->addWidget(new QLabel(tr("Nominal Fan Speed:")), 0, 0, Qt::AlignRight);
    d_fanNomSpeedBox = new QSpinBox;
    d_fanNomSpeedBox->setRange(fanSpeedOffValue, CV4870_FAN_SPEED_MAX);
    d_fanNomSpeedBox->setSuffix(tr(" RPM"));
    d_fanNomSpeedBox->setValue(1200);
    d_fanNomSpeedBox->setSingleStep(50);
    d_fanNomSpeedBox->setSpecialValueText(tr("OFF"));
    // At least 70 pixels, and no narrower than its widest text ("3600 RPM"):
    // the window opens at its minimum size, which would cut the unit off.
    d_fanNomSpeedBox->setMinimumWidth(qMax(70, d_fanNomSpeedBox->sizeHint().width()));
    d_fanNomSpeedBox->setToolTip(
        tr("Specifies the nominal fans speed.\nPossible values are:\nOFF (0) - fans are off;\nFrom 1200 to 3600 - "
           "nominal fans speed in RPM;\n\nNote: After modification, you should press 'Enter' to send new value to "
           "the Mainframe."));
    fanGrid->addWidget(d_fanNomSpeedBox, 0, 1);
    connect(d_fanNomSpeedBox, &QSpinBox::editingFinished, this, &cv4870fp_app::fanSpeedChanged);
    for (int n = 1; n <= fanCount; ++n) {
        fanGrid->addWidget(new QLabel(tr("Actual Speed Fan #%1:").arg(n)), n, 0, Qt::AlignRight);
        QLineEdit *speed = new QLineEdit(tr("0 RPM"));
        speed->setReadOnly(true);
        speed->setToolTip(tr("Returns the actual speed of fan #%1 in RPM.").arg(n));
        fanGrid->addWidget(speed, n, 1);
        d_fanSpeed[n - 1] = speed;
    }

    // Temperatures.
    QGroupBox *tempBox = new QGroupBox(tr("Temperature"));
    hbox->addWidget(tempBox);
    QGridLayout *tempGrid = new QGridLayout(tempBox);
    tempGrid->addWidget(new QLabel(tr("Fan Tray:")), 0, 0, Qt::AlignRight);
    d_fanTemp = new QLineEdit;
    d_fanTemp->setMinimumWidth(50);
    d_fanTemp->setReadOnly(true);
    d_fanTemp->setToolTip(tr("Shows the measured temperature (in degrees C) in the fan tray of 4870 VXI Mainframe."));
    tempGrid->addWidget(d_fanTemp, 0, 1);
    tempGrid->addWidget(new QLabel(tr("Power Supply:")), 1, 0, Qt::AlignRight);
    d_psTemp = new QLineEdit;
    d_psTemp->setReadOnly(true);
    d_psTemp->setToolTip(
        tr("Shows the measured temperature (in degrees C) in the power supply unit of 4870 VXI Mainframe."));
    tempGrid->addWidget(d_psTemp, 1, 1);
    d_fanTemp->setText(degreesText(20));
    d_psTemp->setText(degreesText(20));

    // Power-supply outputs, two halves of four columns each.
    QGroupBox *psBox = new QGroupBox(tr("Power Supply"));
    vbox->addWidget(psBox);
    QGridLayout *psGrid = new QGridLayout(psBox);
    const QString headers[] = {tr("Channel"), tr("Voltage"), tr("Current"), tr("Status")};
    for (int half = 0; half < 2; ++half)
        for (int c = 0; c < 4; ++c)
            psGrid->addWidget(new QLabel(headers[c]), 0, half * 5 + c, Qt::AlignCenter);
    for (int i = 0; i < channelCount; ++i) {
        const QString name = QString::fromLatin1(channelName[i]);
        const int r = channelRow[i];
        const int b = channelColumn[i];
        psGrid->addWidget(new QLabel(name), r, b, Qt::AlignCenter);

        d_outVolt[i] = new QLineEdit(name);
        d_outVolt[i]->setReadOnly(true);
        d_outVolt[i]->setToolTip(tr("Shows the actual voltage on %1 line.").arg(name));
        psGrid->addWidget(d_outVolt[i], r, b + 1);

        d_outAmp[i] = new QLineEdit(tr("0.0 A"));
        d_outAmp[i]->setReadOnly(true);
        d_outAmp[i]->setToolTip(tr("Shows the actual current flowing on %1 line.").arg(name));
        psGrid->addWidget(d_outAmp[i], r, b + 2);

        d_outStatus[i] = new cv5120fp_led(QString(), Qt::green, Qt::magenta);
        d_outStatus[i]->setToolTip(
            tr("Shows the actual status of %1 line.\nIf voltage is switched off, the LED will be OFF;\nIf voltage "
               "is switched ON and the actual voltage is within specified limits, the LED will lit green.\nIf "
               "voltage is switched ON but the actual voltage is out of specified limits, the LED will lit red.\n")
                .arg(name));
        psGrid->addWidget(d_outStatus[i], r, b + 3, Qt::AlignCenter);
    }
    psGrid->addWidget(new QLabel(QStringLiteral("       ")), 1, 4, Qt::AlignCenter);
}

bool cv4870fp_app::pollFailed(ViStatus status, const char *callText)
{
    if (status == VI_SUCCESS)
        return false;
    // Stopped before the box opens, so its event loop cannot run another poll.
    d_timer->stop();
    reportDriverStatus(status, callText);
    return true;
}

void cv4870fp_app::updateStatus()
{
    ViBoolean pon = 0, inFail = 0, outFail = 0, fanFail = 0, senseFail = 0, sysFail = 0;
    if (pollFailed(cv4870_getStatus(d_vi, &pon, &inFail, &outFail, &fanFail, &senseFail, &sysFail),
                   "cv4870_getStatus(d_vi, &pon, &inFail, &outFail, &fanFail, &senseFail, &sysFail)"))
        return;
    d_powerLed->setValue(pon);
    d_inFailLed->setValue(inFail);
    d_outFailLed->setValue(outFail);
    d_fanFailLed->setValue(fanFail);
    d_senseFailLed->setValue(senseFail);
    d_sysFailLed->setValue(sysFail);

    ViReal64 outVolt[channelCount] = {};
    if (pollFailed(cv4870_getOutputVoltages(d_vi, outVolt, outVolt + 1, outVolt + 2, outVolt + 3, outVolt + 4,
                                            outVolt + 5, outVolt + 6),
                   "cv4870_getOutputVoltages(d_vi, outVolt, outVolt+1, outVolt+2, outVolt+3, outVolt+4, "
                   "outVolt+5, outVolt+6)"))
        return;
    ViReal64 outAmp[channelCount] = {};
    if (pollFailed(cv4870_getOutputCurrents(d_vi, outAmp, outAmp + 1, outAmp + 2, outAmp + 3, outAmp + 4, outAmp + 5,
                                            outAmp + 6),
                   "cv4870_getOutputCurrents(d_vi, outAmp, outAmp+1, outAmp+2, outAmp+3, outAmp+4, outAmp+5, "
                   "outAmp+6)"))
        return;
    ViBoolean outStatus[channelCount] = {};
    if (pollFailed(cv4870_getOutputStates(d_vi, outStatus, outStatus + 1, outStatus + 2, outStatus + 3, outStatus + 4,
                                          outStatus + 5, outStatus + 6),
                   "cv4870_getOutputStates(d_vi, outStatus, outStatus+1, outStatus+2, outStatus+3, outStatus+4, "
                   "outStatus+5, outStatus+6)"))
        return;
    // An output that is not on within its limits is a fault (red) while main
    // power is on and merely switched off (grey) while it is off.
    const QColor offColor = pon ? QColor(Qt::red) : QColor(Qt::lightGray);
    for (int i = 0; i < channelCount; ++i) {
        d_outVolt[i]->setText(QStringLiteral("%1 V").arg(fixed2(outVolt[i])));
        d_outAmp[i]->setText(QStringLiteral("%1 A").arg(fixed2(outAmp[i])));
        d_outStatus[i]->setOffColor(offColor);
        d_outStatus[i]->setValue(outStatus[i]);
    }

    ViInt32 fanNomSpeed = 0;
    ViInt32 fanSpeed[fanCount] = {};
    if (pollFailed(cv4870_getFanSpeed(d_vi, &fanNomSpeed, fanSpeed, fanSpeed + 1, fanSpeed + 2),
                   "cv4870_getFanSpeed(d_vi, &fanNomSpeed, fanSpeed, fanSpeed+1, fanSpeed+2)"))
        return;
    // Left alone while the operator may be editing it; 0 clamps to "OFF".
    if (!d_fanNomSpeedBox->hasFocus())
        d_fanNomSpeedBox->setValue(fanNomSpeed);
    for (int k = 0; k < fanCount; ++k)
        d_fanSpeed[k]->setText(QStringLiteral("%1 RPM").arg(fanSpeed[k]));

    ViInt32 fanTemp = 0, psTemp = 0;
    if (pollFailed(cv4870_getTemperature(d_vi, &fanTemp, &psTemp), "cv4870_getTemperature(d_vi, &fanTemp, &psTemp)"))
        return;
    d_fanTemp->setText(degreesText(fanTemp));
    d_psTemp->setText(degreesText(psTemp));
}

void cv4870fp_app::resetPressed()
{
    runCommand(
        d_demo, [this] { return cv4870_reset(d_vi); }, "cv4870_reset(d_vi)");
}

void cv4870fp_app::ponPressed()
{
    runCommand(
        d_demo, [this] { return cv4870_setMainPowerState(d_vi, VI_TRUE); }, "cv4870_setMainPowerState(d_vi, VI_TRUE)");
}

void cv4870fp_app::poffPressed()
{
    runCommand(
        d_demo, [this] { return cv4870_setMainPowerState(d_vi, VI_FALSE); },
        "cv4870_setMainPowerState(d_vi, VI_FALSE)");
}

void cv4870fp_app::sysResetPressed()
{
    runCommand(
        d_demo, [this] { return cv4870_setVXIsysReset(d_vi); }, "cv4870_setVXIsysReset(d_vi)");
}

void cv4870fp_app::fanSpeedChanged()
{
    int val = d_fanNomSpeedBox->value();
    if (val < CV4870_FAN_SPEED_MIN)
        val = CV4870_FAN_SPEED_OFF;
    runCommand(
        d_demo, [this, val] { return cv4870_setFanSpeed(d_vi, val); }, "cv4870_setFanSpeed(d_vi, val)");
}
