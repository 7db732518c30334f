// Helpers shared by the GUI tests and the panel benchmarks: fonts of a
// given height, a panel whose members are reachable, and answering the
// modal dialogs that come up while a test waits in a call.
#ifndef GUI_TEST_UTIL_H
#define GUI_TEST_UTIL_H

#include <QApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "cv4870fp_app.h"
#include "cv4870fp_select.h"
#include "cv5120fp_led.h"

// Sets *font to a copy of the application font whose line height is
// exactly h pixels; false when no pixel size gives that height.
inline bool fontWithHeight(int h, QFont *font)
{
    QFont f = QApplication::font();
    for (int px = 4; px <= 60; ++px) {
        f.setPixelSize(px);
        if (QFontMetrics(f).height() == h) {
            *font = f;
            return true;
        }
    }
    return false;
}

// Makes f the application font for the lifetime of the scope.
class AppFontScope
{
public:
    explicit AppFontScope(const QFont &f)
        : d_saved(QApplication::font())
    {
        QApplication::setFont(f);
    }
    ~AppFontScope() { QApplication::setFont(d_saved); }
    AppFontScope(const AppFontScope &) = delete;
    AppFontScope &operator=(const AppFontScope &) = delete;

private:
    QFont d_saved;
};

// Counts the paint events of the widgets it watches.
class PaintCounter : public QObject
{
public:
    QHash<QObject *, int> paints;
    void watch(QWidget *w)
    {
        w->installEventFilter(this);
        paints[w] = 0;
    }

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints[o];
        return false;
    }
};

inline QAbstractButton *buttonWithText(QWidget *w, const QString &text)
{
    for (QAbstractButton *b : w->findChildren<QAbstractButton *>())
        if (b->text() == text)
            return b;
    return nullptr;
}

inline void clickButton(QWidget *w, const QString &text)
{
    if (QAbstractButton *b = buttonWithText(w, text))
        b->click();
}

// Rows of the form in the group box of that title as "label=value".
inline QStringList formRows(QWidget *root, const QString &title)
{
    QStringList rows;
    for (QGroupBox *box : root->findChildren<QGroupBox *>()) {
        auto *form = qobject_cast<QFormLayout *>(box->layout());
        for (int r = 0; form && box->title() == title && r < form->rowCount(); ++r)
            rows << qobject_cast<QLabel *>(form->itemAt(r, QFormLayout::LabelRole)->widget())->text() + '=' +
                        qobject_cast<QLabel *>(form->itemAt(r, QFormLayout::FieldRole)->widget())->text();
    }
    return rows;
}

// Runs this test program again with arg on the offscreen platform; returns
// its exit code (-1 when it crashed or hung) and its standard output.
inline int runChild(const char *arg, QByteArray *out)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // It ends from inside a call: what it holds then is no leak.
    env.insert(QStringLiteral("LSAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(arg)});
    const bool ended = child.waitForFinished(60000) && child.exitStatus() == QProcess::NormalExit;
    *out = child.readAllStandardOutput();
    if (!ended)
        std::fprintf(stderr, "%s", child.readAllStandardError().constData());
    return ended ? child.exitCode() : -1;
}

// Looks at the active modal window from a timer while the test waits in
// a call that opens one; handle() returns true when done.
class ModalPoller : public QObject
{
public:
    explicit ModalPoller(int intervalMs)
    {
        connect(&d_timer, &QTimer::timeout, this, [this] {
            QWidget *w = QApplication::activeModalWidget();
            if (w && w->isVisible() && handle(w))
                d_timer.stop();
        });
        d_timer.start(intervalMs);
    }

protected:
    virtual bool handle(QWidget *w) = 0;
    QTimer d_timer;
};

// Answers the next message box and records what it showed.
class ModalAnswer : public ModalPoller
{
public:
    struct Seen
    {
        bool shown = false;
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QWidget *parent = nullptr;
    };

    // answer: the button to click; QMessageBox::NoButton rejects the box.
    explicit ModalAnswer(QMessageBox::StandardButton answer)
        : ModalPoller(10)
        , d_answer(answer)
    {}
    const Seen &seen() const { return d_seen; }
    int boxes() const { return d_boxes; }

private:
    bool handle(QWidget *w) override
    {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box)
            return false;
        ++d_boxes;
        d_seen = {true, box->windowTitle(), box->text(), box->icon(), box->standardButtons(), box->parentWidget()};
        if (QAbstractButton *b = box->button(d_answer))
            b->click();
        else
            box->reject();
        return true;
    }

    QMessageBox::StandardButton d_answer;
    Seen d_seen;
    int d_boxes = 0;
};

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
    using cv5120fp_app::d_ponButton;

    QVector<cv5120fp_led *> statusLeds() const
    {
        return {d_powerLed, d_sysFailLed, d_inFailLed, d_outFailLed, d_senseFailLed, d_fanFailLed};
    }
    void press(const QString &caption) { clickButton(this, caption); }
    QStringList hardwareRows() const { return formRows(d_about, QStringLiteral("Hardware Information")); }
};

// Answers the panel's modal dialogs as they come up: the connection choice
// box, the address dialog, and the report boxes (error boxes answered No,
// warning boxes OK). Every report box is recorded as "title|text".
class ModalDriver : public ModalPoller
{
public:
    enum Choice { Demo, Address, Cancel };

    ModalDriver(Choice choice, const QString &address = QString(), int intervalMs = 5)
        : ModalPoller(intervalMs)
        , m_choice(choice)
        , m_address(address)
    {}

    QStringList reports;
    int choiceBoxes = 0;

private:
    static void fail(const char *what, const QString &detail)
    {
        std::fprintf(stderr, "%s: %s\n", what, qPrintable(detail));
        std::abort();
    }
    bool handle(QWidget *w) override
    {
        if (auto *addr = qobject_cast<cv4870fp_enterAddress *>(w)) {
            addr->d_ipAddr->setText(m_address);
            addr->accept();
            return false;
        }
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box)
            fail("unexpected modal window", w->windowTitle());
        if (QAbstractButton *demo = buttonWithText(box, QStringLiteral("Run In Demo Mode"))) {
            if (++choiceBoxes > 1) // a probe failed and the flow came back
                fail("connection flow asked again", box->text());
            if (m_choice == Cancel)
                box->button(QMessageBox::Cancel)->click();
            else
                (m_choice == Demo ? demo : buttonWithText(box, QStringLiteral("Enter Address")))->click();
        } else if (buttonWithText(box, QStringLiteral("Try Again"))) {
            fail("connection failed", box->text());
        } else {
            reports.append(box->windowTitle() + QLatin1Char('|') + box->text());
            QAbstractButton *answer = box->button(QMessageBox::No);
            if (!answer && !(answer = box->button(QMessageBox::Ok)))
                box->reject();
            else
                answer->click();
        }
        return false;
    }

    Choice m_choice;
    QString m_address;
};

#endif // GUI_TEST_UTIL_H
