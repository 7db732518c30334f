// Shared by the panel tests and benchmarks: a panel whose members are
// reachable, and a driver for the modal dialogs that the panel's
// construction and its reports open.
#ifndef PANEL_HARNESS_H
#define PANEL_HARNESS_H

#include <QAbstractButton>
#include <QApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QVector>

#include <cstdio>
#include <cstdlib>

#include "cv4870fp_app.h"
#include "cv4870fp_select.h"
#include "cv5120fp_led.h"

// Keeps the settings store that the connection flow writes in a temporary
// folder for as long as it lives.
class ScratchSettings
{
public:
    ScratchSettings()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
    }
    bool isValid() const { return m_dir.isValid(); }

private:
    QTemporaryDir m_dir;
};

// The panel as built by the program, with its members opened up.
class TestPanel : public cv4870fp_app
{
public:
    using cv4870fp_app::d_demo;
    using cv4870fp_app::d_fanFailLed;
    using cv4870fp_app::d_fanNomSpeedBox;
    using cv4870fp_app::d_fanSpeed;
    using cv4870fp_app::d_fanTemp;
    using cv4870fp_app::d_inFailLed;
    using cv4870fp_app::d_outAmp;
    using cv4870fp_app::d_outFailLed;
    using cv4870fp_app::d_outStatus;
    using cv4870fp_app::d_outVolt;
    using cv4870fp_app::d_powerLed;
    using cv4870fp_app::d_psTemp;
    using cv4870fp_app::d_senseFailLed;
    using cv4870fp_app::d_sysFailLed;
    using cv4870fp_app::d_timer;
    using cv4870fp_app::d_vi;
    using cv5120fp_app::d_about;
    using cv5120fp_app::d_activeLed;
    using cv5120fp_app::d_header;
    using cv5120fp_app::d_ponButton;
    using cv5120fp_app::d_poffButton;
    using cv5120fp_app::d_resetButton;
    using cv5120fp_app::d_sysResetButton;

    QVector<cv5120fp_led *> statusLeds() const
    {
        return {d_powerLed, d_sysFailLed, d_inFailLed, d_outFailLed, d_senseFailLed, d_fanFailLed};
    }

    // Rows of the About dialog's "Hardware Information" group: label, value.
    QVector<QPair<QString, QString>> hardwareRows() const
    {
        QVector<QPair<QString, QString>> rows;
        for (QGroupBox *box : d_about->findChildren<QGroupBox *>()) {
            if (box->title() != QLatin1String("Hardware Information"))
                continue;
            auto *form = qobject_cast<QFormLayout *>(box->layout());
            for (int r = 0; form && r < form->rowCount(); ++r) {
                QLayoutItem *l = form->itemAt(r, QFormLayout::LabelRole);
                QLayoutItem *f = form->itemAt(r, QFormLayout::FieldRole);
                auto *lw = l ? qobject_cast<QLabel *>(l->widget()) : nullptr;
                auto *fw = f ? qobject_cast<QLabel *>(f->widget()) : nullptr;
                rows.append({lw ? lw->text() : QString(), fw ? fw->text() : QString()});
            }
        }
        return rows;
    }
};

// Answers the modal dialogs as they come up: the connection choice box, the
// address dialog, and the report boxes (error boxes answered No, warning
// boxes OK). Every report box is recorded as "title|text".
class ModalDriver : public QObject
{
public:
    enum Choice { Demo, Address, Cancel };

    ModalDriver(Choice choice, const QString &address = QString(), int intervalMs = 5)
        : m_choice(choice), m_address(address)
    {
        connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
        m_timer.start(intervalMs);
    }

    QStringList reports;
    int choiceBoxes = 0;

private:
    void poll()
    {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || !w->isVisible())
            return;
        if (auto *addr = qobject_cast<cv4870fp_enterAddress *>(w)) {
            addr->d_ipAddr->setText(m_address);
            for (QPushButton *b : addr->findChildren<QPushButton *>())
                if (b->text() == QLatin1String("OK")) {
                    b->click();
                    return;
                }
            addr->accept();
            return;
        }
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box) {
            std::fprintf(stderr, "unexpected modal window: %s\n", qPrintable(w->windowTitle()));
            std::abort();
        }
        if (QAbstractButton *b = buttonWithText(box, QStringLiteral("Run In Demo Mode"))) {
            ++choiceBoxes;
            if (choiceBoxes > 1) { // a probe failed and the flow came back
                std::fprintf(stderr, "connection flow asked again\n");
                std::abort();
            }
            if (m_choice == Cancel)
                box->button(QMessageBox::Cancel)->click();
            else
                (m_choice == Demo ? b : buttonWithText(box, QStringLiteral("Enter Address")))->click();
            return;
        }
        if (buttonWithText(box, QStringLiteral("Try Again"))) {
            std::fprintf(stderr, "connection failed: %s\n", qPrintable(box->text()));
            std::abort();
        }
        reports.append(box->windowTitle() + QLatin1Char('|') + box->text());
        QAbstractButton *answer = box->button(QMessageBox::No);
        if (!answer)
            answer = box->button(QMessageBox::Ok);
        if (answer)
            answer->click();
        else
            box->reject();
    }

    static QAbstractButton *buttonWithText(QMessageBox *box, const QString &text)
    {
        for (QAbstractButton *b : box->buttons())
            if (b->text() == text)
                return b;
        return nullptr;
    }

    Choice m_choice;
    QString m_address;
    QTimer m_timer;
};

#endif // PANEL_HARNESS_H
