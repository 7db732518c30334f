// Helpers shared by the GUI tests and the panel benchmarks: fonts of a
// given height, paint counting, a scratch settings store, a script that
// answers the modal dialogs while a test waits in a call, and a panel whose
// members are reachable.
#ifndef GUI_TEST_UTIL_H
#define GUI_TEST_UTIL_H

#include <QApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include "cv4870fp.h"
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

// The visible button with that caption, mnemonic left out.
inline QAbstractButton *buttonWithText(QWidget *w, const QString &text)
{
    for (QAbstractButton *b : w->findChildren<QAbstractButton *>())
        if (b->text().remove(QLatin1Char('&')) == text && (b->isVisible() || !w->isVisible()))
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

// Keeps the program's settings store in a temporary folder for as long as
// it lives; QSettings() reaches that store.
class ScratchSettings
{
public:
    ScratchSettings()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
        QCoreApplication::setOrganizationName(QString::fromLatin1(cv4870fp_settingsOrganization));
        QCoreApplication::setApplicationName(QString::fromLatin1(cv4870fp_settingsApplication));
    }
    bool isValid() const { return m_dir.isValid(); }

private:
    QTemporaryDir m_dir;
};

// Answers the modal dialogs from a script, so that a call that opens them
// can run to its end inside a test.
//
// Each modal dialog shown takes the next step, once its event loop runs.
// A step names the dialog it expects: "choice" (the connection choice box),
// "none" (nothing found), "fail" (probe failed), "list" (selection dialog),
// "address" (address dialog) or "box" (any other message box); and the
// action: a button caption, "=text" to type an address and press OK,
// "row:N" to make row N current and press OK, "dbl:N" to double-click row
// N, "<escape>" or "<close>". With answerBoxes, message boxes past the
// script are answered No, or else OK, and noted in reports as "title|text".
// A dialog that the script does not expect ends the program, so that a
// wrong turn fails the test instead of hanging it or going on elsewhere.
class DialogScript : public QObject
{
public:
    using Look = std::function<void(QWidget *)>; // runs before the action

    // What a dialog looked like when the script reached it.
    struct Shown
    {
        QString kind, title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QStringList buttons; // message boxes: captions in button order
        QString defaultButton;
        QString field; // address dialog: the field's text
        QStringList rows; // selection dialog: "address | module" per row
        QWidget *widget = nullptr;
        QWidget *parent = nullptr;
    };

    // Steps written as "kind:action", e.g. {"choice:Enter Address", "address:=10.0.0.1"}.
    explicit DialogScript(const QStringList &steps = {}, bool answerBoxes = false)
        : m_answerBoxes(answerBoxes)
    {
        qApp->installEventFilter(this);
        for (const QString &step : steps)
            add(step.section(QLatin1Char(':'), 0, 0), step.section(QLatin1Char(':'), 1));
    }
    ~DialogScript() override { qApp->removeEventFilter(this); }

    void add(const QString &kind, const QString &action, Look before = nullptr)
    {
        m_steps.append({kind, action, before});
    }
    const QList<Shown> &shown() const { return m_shown; }
    int stepsLeft() const { return m_steps.size(); }
    QStringList reports;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            QWidget *w = static_cast<QWidget *>(watched);
            // The search's progress dialog is not one to answer.
            if (qobject_cast<QDialog *>(w) && w->isWindow() && w->isModal() && !w->inherits("QProgressDialog")) {
                QPointer<QWidget> shownWidget(w);
                QTimer::singleShot(0, this, [this, shownWidget] { act(shownWidget); });
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    struct Step
    {
        QString kind, action;
        Look before;
    };

    static QString kindOf(QWidget *w)
    {
        if (qobject_cast<cv4870fp_enterAddress *>(w))
            return QStringLiteral("address");
        if (qobject_cast<cv4870fp_select *>(w))
            return QStringLiteral("list");
        const QString text = static_cast<QMessageBox *>(w)->text();
        return text.startsWith(QLatin1String("How to connect"))    ? QStringLiteral("choice")
               : text.startsWith(QLatin1String("No Ostrel"))       ? QStringLiteral("none")
               : text.startsWith(QLatin1String("Selected Ostrel")) ? QStringLiteral("fail")
                                                                   : QStringLiteral("box");
    }

    static void fail(const QString &what) { qFatal("dialog script: %s", qPrintable(what)); }

    void act(QPointer<QWidget> expected)
    {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || w != expected)
            return fail(QStringLiteral("the shown dialog is not the active modal widget"));
        Shown s;
        s.kind = kindOf(w);
        s.title = w->windowTitle();
        s.widget = w;
        s.parent = w->parentWidget();
        auto *box = qobject_cast<QMessageBox *>(w);
        auto *dlg = qobject_cast<cv4870fp_select *>(w);
        if (box) {
            s.text = box->text();
            s.icon = box->icon();
            for (QAbstractButton *b : box->buttons())
                s.buttons << b->text().remove(QLatin1Char('&'));
            s.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
        } else if (auto *a = qobject_cast<cv4870fp_enterAddress *>(w)) {
            s.field = a->d_ipAddr->text();
        }
        for (int i = 0; dlg && i < dlg->d_tree->topLevelItemCount(); ++i)
            s.rows << dlg->d_tree->topLevelItem(i)->text(0) + " | " + dlg->d_tree->topLevelItem(i)->text(1);
        m_shown.append(s);

        Step step;
        if (!m_steps.isEmpty() && m_steps.first().kind == s.kind)
            step = m_steps.takeFirst();
        else if (m_answerBoxes && s.kind == QLatin1String("box")) {
            reports << s.title + '|' + s.text;
            step.action = s.buttons.contains(QStringLiteral("No")) ? QStringLiteral("No") : QStringLiteral("OK");
        } else
            return fail(QStringLiteral("unexpected %1 dialog \"%2\"").arg(s.kind, s.text));
        if (step.before)
            step.before(w);
        QTreeWidgetItem *item = dlg ? dlg->d_tree->topLevelItem(step.action.mid(4).toInt()) : nullptr;
        if (step.action == QLatin1String("<escape>")) {
            QTest::keyClick(w, Qt::Key_Escape);
        } else if (step.action == QLatin1String("<close>")) {
            w->close();
        } else if (step.action.startsWith(QLatin1Char('='))) {
            qobject_cast<cv4870fp_enterAddress *>(w)->d_ipAddr->setText(step.action.mid(1));
            clickButton(w, QStringLiteral("OK"));
        } else if (dlg && step.action.startsWith(QLatin1String("row:"))) {
            dlg->d_tree->setCurrentItem(item);
            dlg->d_okButton->click();
        } else if (dlg && step.action.startsWith(QLatin1String("dbl:"))) {
            // The view lays its rows out lazily; place them before aiming.
            // As a real double-click: press, release, then the double-click
            // event (QTest::mouseDClick leaves the view in its pressed state).
            dlg->d_tree->doItemsLayout();
            QWidget *viewport = dlg->d_tree->viewport();
            const QPoint pos = dlg->d_tree->visualItemRect(item).center();
            QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, pos);
            QMouseEvent dbl(QEvent::MouseButtonDblClick, pos, viewport->mapToGlobal(pos), Qt::LeftButton,
                            Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(viewport, &dbl);
        } else if (QAbstractButton *b = buttonWithText(w, step.action)) {
            b->click();
        } else {
            return fail(QStringLiteral("no button \"%1\"").arg(step.action));
        }
        // A dialog still open after its step would stall the flow.
        if (w->isVisible())
            fail(QStringLiteral("%1 dialog still open after \"%2\"").arg(s.kind, step.action));
    }

    bool m_answerBoxes;
    QList<Step> m_steps;
    QList<Shown> m_shown;
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

    QVector<cv5120fp_led *> statusLeds() const
    {
        return {d_powerLed, d_sysFailLed, d_inFailLed, d_outFailLed, d_senseFailLed, d_fanFailLed};
    }
    void press(const QString &caption) { clickButton(this, caption); }
    QStringList hardwareRows() const { return formRows(d_about, QStringLiteral("Hardware Information")); }
};

// The connection flow's answers for a panel connected to address, or in
// demo mode when address is empty; later boxes are answered and noted.
inline QStringList connectSteps(const QString &address)
{
    if (address.isEmpty())
        return {QStringLiteral("choice:Run In Demo Mode")};
    return {QStringLiteral("choice:Enter Address"), QStringLiteral("address:=") + address};
}

#endif // GUI_TEST_UTIL_H
