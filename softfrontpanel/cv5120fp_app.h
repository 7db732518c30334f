// Framework of the soft front panels: the panel window base, the About
// dialog, the reporting of driver statuses and the window helpers.
#ifndef CV5120FP_APP_H
#define CV5120FP_APP_H

#include <QDialog>
#include <QIcon>
#include <QLabel>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "visatype.h"

class QCloseEvent;
class QShowEvent;
class QFormLayout;
class QPushButton;
class QVBoxLayout;
class cv5120fp_led;

// Model text that stands in message-box titles between "Ostrel " and the
// ending; empty in this program.
extern QString sfpModelName;

// Title of a framework message box: "Ostrel " + sfpModelName + ending.
QString cv5120fp_boxTitle(const char *ending);

// The 16 x 16 window icon shared by the panel and its dialogs.
extern const char *const cv5120fp_icon_xpm[];
QIcon cv5120fp_windowIcon();

// Places w in the middle of screen 0's available area (origin not added).
void centerOnDesktop(QWidget *w);

// Error box with the offer to exit; Yes ends the process with status 0.
void reportError(const QString &message);
// Warning box with a single OK button.
void reportWarning(const QString &message);

// The reporting pattern of every driver call site: nothing for status 0;
// otherwise the driver's text for the status goes into an error box
// ("<callText> failed due to [<text>]") or a warning box
// ("Warning: [<text>]"). Returns true when something was reported.
bool reportDriverStatus(ViStatus status, const char *callText);

class cv5120fp_About : public QDialog
{
    Q_OBJECT
public:
    cv5120fp_About(const char *sfpRevision, const char *driverRevision, const char *model, const char *copyright,
                   QWidget *parent);

    void addSerialNumbers(const QString &psSerial, const QString &fanSerial);
    void addHardwareInfo(const QString &label, const QString &value);

public slots:
    void next();
    void prev();

protected:
    int d_page;
    QFormLayout *d_softwareForm;
    QFormLayout *d_hardwareForm;
    QLabel d_driverRevLabel;
    QLabel d_sfpRevLabel;
    QPushButton *d_nextButton;
    QPushButton *d_prevButton;
    QStringList d_driverRevs;
    QStringList d_sfpRevs;
};

class cv5120fp_app : public QWidget
{
    Q_OBJECT
public:
    cv5120fp_app();
    ~cv5120fp_app() override;

    // The window itself while the base is being built, the work area after.
    QWidget *workArea();

protected:
    void closeEvent(QCloseEvent *e) override;
    // The first show centres the window again with its laid-out size.
    void showEvent(QShowEvent *e) override;

    cv5120fp_About *d_about;
    QPushButton *d_aboutButton;
    QWidget *d_workArea;
    bool d_built;
    QLabel *d_header;
    QLabel *d_vxiLogo;
    cv5120fp_led *d_activeLed;
    QPushButton *d_closeButton;
    QVBoxLayout *d_ledBox;
    QPushButton *d_resetButton;
    QPushButton *d_ponButton;
    QPushButton *d_poffButton;
    QPushButton *d_sysResetButton;
    bool d_shownOnce = false;

private slots:
    virtual void resetPressed();
    virtual void ponPressed();
    virtual void poffPressed();
    virtual void sysResetPressed();
};

#endif // CV5120FP_APP_H
