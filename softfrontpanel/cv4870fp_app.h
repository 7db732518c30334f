// The main window of the Ostrel 4870 soft front panel: adopts or opens the
// driver session, shows the mainframe's status, fans, temperatures and
// power-supply outputs, polls them every 500 ms and carries out the
// operator's commands.
#ifndef CV4870FP_APP_H
#define CV4870FP_APP_H

#include "cv5120fp_app.h"
#include "visatype.h"

class QLineEdit;
class QSpinBox;
class QTimer;

class cv4870fp_app : public cv5120fp_app
{
    Q_OBJECT
public:
    // Runs the connection flow; ends the process (status 0) when the
    // operator abandons it, otherwise returns with the panel complete.
    cv4870fp_app();
    ~cv4870fp_app() override;

    static constexpr int channelCount = 7;
    static constexpr int fanCount = 3;
    static constexpr int pollIntervalMs = 500;

public slots:
    void resetPressed() override;
    void ponPressed() override;
    void poffPressed() override;
    void sysResetPressed() override;
    // One poll: six driver queries in a fixed order, each result shown as
    // soon as it arrives; the first failing query stops polling for good.
    void updateStatus();
    // Sends the nominal fan speed; anything below 1200 RPM means off (0).
    void fanSpeedChanged();

protected:
    ViSession d_vi;
    int d_demo;
    cv5120fp_led *d_powerLed;
    cv5120fp_led *d_sysFailLed;
    cv5120fp_led *d_inFailLed;
    cv5120fp_led *d_outFailLed;
    cv5120fp_led *d_fanFailLed;
    cv5120fp_led *d_senseFailLed;
    QSpinBox *d_fanNomSpeedBox;
    QLineEdit *d_fanSpeed[fanCount];
    QLineEdit *d_outVolt[channelCount];
    QLineEdit *d_outAmp[channelCount];
    cv5120fp_led *d_outStatus[channelCount];
    QLineEdit *d_fanTemp;
    QLineEdit *d_psTemp;
    QTimer *d_timer;

private:
    QString hostText(const QString &descr);
    void addHardwareRows();
    void buildWorkArea();
    // Stops polling and reports when a poll query did not succeed.
    bool pollFailed(ViStatus status, const char *callText);
};

#endif // CV4870FP_APP_H
