// Answers the modal dialogs of the connection flow from a script, so that
// connectMainframe() can run to its end inside a test.
//
// Every time a modal dialog is shown, the next step is taken from the
// script and carried out on QApplication::activeModalWidget() once the
// dialog's event loop runs. A step names the kind of dialog it expects
// and what to do there:
//   "choice"  the connection choice box      "none" the nothing-found question
//   "fail"    the probe-failed question      "list" the selection dialog
//   "address" the address dialog
// and the action: a button caption to click, "=text" to type into the
// address field and press OK, "row:N" to make row N current and press OK,
// "dbl:N" to double-click row N, "<escape>" or "<close>".
// A dialog that the script does not expect is ended with done(0) and noted
// in errors(), so a wrong turn of the flow fails the test instead of
// hanging it.
#ifndef CONNECT_SCRIPT_H
#define CONNECT_SCRIPT_H

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

#include "cv4870fp_select.h"

class ConnectScript : public QObject
{
public:
    struct Step
    {
        QString kind;
        QString action;
        std::function<void(QWidget *)> before; // runs first, e.g. to look at the dialog
    };

    // What a dialog looked like when the script reached it.
    struct Shown
    {
        QString kind;
        QString title;
        QString text;
        QStringList buttons; // message boxes: captions in button order
        QString defaultButton;
        bool hasEscape = false;
        QString field; // address dialog: the field's text
        QWidget *widget = nullptr;
        QWidget *parent = nullptr;
    };

    ConnectScript() { qApp->installEventFilter(this); }
    // Steps written as "kind:action", e.g. {"choice:Enter Address", "address:=10.0.0.1"}.
    explicit ConnectScript(const QStringList &steps) : ConnectScript()
    {
        for (const QString &step : steps) {
            const int colon = step.indexOf(QLatin1Char(':'));
            add(step.left(colon), step.mid(colon + 1));
        }
    }
    ~ConnectScript() override { qApp->removeEventFilter(this); }

    void add(const QString &kind, const QString &action, std::function<void(QWidget *)> before = nullptr)
    {
        m_steps.append(Step{kind, action, before});
    }
    const QList<Shown> &shown() const { return m_shown; }
    const QStringList &errors() const { return m_errors; }
    int stepsLeft() const { return m_steps.size(); }
    int progressDialogs() const { return m_progress.size(); }
    const QList<QPair<QString, QString>> &progress() const { return m_progress; }
    QStringList kinds() const
    {
        QStringList k;
        for (const Shown &s : m_shown)
            k << s.kind;
        return k;
    }

    static QString kindOf(QWidget *w)
    {
        if (qobject_cast<cv4870fp_enterAddress *>(w))
            return QStringLiteral("address");
        if (qobject_cast<cv4870fp_select *>(w))
            return QStringLiteral("list");
        if (QMessageBox *box = qobject_cast<QMessageBox *>(w)) {
            if (box->text().startsWith(QLatin1String("How to connect")))
                return QStringLiteral("choice");
            if (box->text().startsWith(QLatin1String("No Ostrel")))
                return QStringLiteral("none");
            if (box->text().startsWith(QLatin1String("Selected Ostrel")))
                return QStringLiteral("fail");
        }
        return QStringLiteral("other");
    }

    static QAbstractButton *button(QWidget *w, const QString &caption)
    {
        for (QAbstractButton *b : w->findChildren<QAbstractButton *>())
            if (b->text() == caption && b->isVisible())
                return b;
        return nullptr;
    }

    static QStringList messageBoxButtons(QMessageBox *box)
    {
        QStringList captions;
        for (QAbstractButton *b : box->buttons())
            captions << b->text();
        return captions;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            QWidget *w = static_cast<QWidget *>(watched);
            if (QProgressDialog *p = qobject_cast<QProgressDialog *>(w)) {
                m_progress.append(qMakePair(p->windowTitle(), p->labelText()));
            } else if (qobject_cast<QDialog *>(w) && w->isWindow() && w->isModal()) {
                QPointer<QWidget> shownWidget(w);
                QTimer::singleShot(0, this, [this, shownWidget] { act(shownWidget); });
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void act(QPointer<QWidget> expected)
    {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || w != expected) {
            m_errors << QStringLiteral("the shown dialog is not the active modal widget");
            if (!w)
                return;
        }
        Shown s;
        s.kind = kindOf(w);
        s.title = w->windowTitle();
        s.widget = w;
        s.parent = w->parentWidget();
        if (QMessageBox *box = qobject_cast<QMessageBox *>(w)) {
            s.text = box->text();
            s.buttons = messageBoxButtons(box);
            s.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
            s.hasEscape = box->escapeButton() != nullptr;
        }
        if (cv4870fp_enterAddress *a = qobject_cast<cv4870fp_enterAddress *>(w))
            s.field = a->d_ipAddr->text();
        m_shown.append(s);

        if (m_steps.isEmpty() || m_steps.first().kind != s.kind) {
            m_errors << QStringLiteral("unexpected %1 dialog \"%2\"").arg(s.kind, s.text);
            static_cast<QDialog *>(w)->done(0);
            return;
        }
        const Step step = m_steps.takeFirst();
        if (step.before)
            step.before(w);
        perform(w, step.action);
    }

    void perform(QWidget *w, const QString &action)
    {
        if (action == QLatin1String("<escape>")) {
            QTest::keyClick(w, Qt::Key_Escape);
        } else if (action == QLatin1String("<close>")) {
            w->close();
        } else if (action.startsWith(QLatin1Char('='))) {
            cv4870fp_enterAddress *a = qobject_cast<cv4870fp_enterAddress *>(w);
            a->d_ipAddr->setText(action.mid(1));
            button(w, QStringLiteral("OK"))->click();
        } else if (action.startsWith(QLatin1String("row:"))) {
            cv4870fp_select *dlg = qobject_cast<cv4870fp_select *>(w);
            dlg->d_tree->setCurrentItem(dlg->d_tree->topLevelItem(action.mid(4).toInt()));
            dlg->d_okButton->click();
        } else if (action.startsWith(QLatin1String("dbl:"))) {
            cv4870fp_select *dlg = qobject_cast<cv4870fp_select *>(w);
            QTreeWidgetItem *item = dlg->d_tree->topLevelItem(action.mid(4).toInt());
            // The view lays its rows out lazily; place them before aiming.
            dlg->d_tree->doItemsLayout();
            const QPoint pos = dlg->d_tree->visualItemRect(item).center();
            // As a real double-click: press, release, then the double-click
            // event (QTest::mouseDClick leaves the view in its pressed state).
            QWidget *viewport = dlg->d_tree->viewport();
            QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, pos);
            QMouseEvent dbl(QEvent::MouseButtonDblClick, pos, viewport->mapToGlobal(pos), Qt::LeftButton,
                            Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(viewport, &dbl);
        } else if (QAbstractButton *b = button(w, action)) {
            b->click();
        } else {
            m_errors << QStringLiteral("no button \"%1\"").arg(action);
            static_cast<QDialog *>(w)->done(0);
        }
        // A dialog still open after its step would stall the flow.
        if (w->isVisible()) {
            m_errors << QStringLiteral("%1 dialog still open after \"%2\"").arg(kindOf(w), action);
            static_cast<QDialog *>(w)->done(0);
        }
    }

    QList<Step> m_steps;
    QList<Shown> m_shown;
    QStringList m_errors;
    QList<QPair<QString, QString>> m_progress;
};

#endif // CONNECT_SCRIPT_H
