// Answers the modal dialogs of the connection flow from a script, so that
// connectMainframe() can run to its end inside a test.
//
// Each modal dialog shown takes the next step, once its event loop runs.
// A step names the dialog it expects: "choice" (the connection choice box),
// "none" (nothing found), "fail" (probe failed), "list" (selection dialog),
// "address" (address dialog); and the action: a button caption, "=text" to
// type an address and press OK, "row:N" to make row N current and press OK,
// "dbl:N" to double-click row N, "<escape>" or "<close>".
// An unexpected dialog is ended with done(0) and noted in errors(), so a
// wrong turn of the flow fails the test instead of hanging it.
#ifndef CONNECT_SCRIPT_H
#define CONNECT_SCRIPT_H

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

#include "cv4870fp_select.h"

class ConnectScript : public QObject
{
public:
    using Look = std::function<void(QWidget *)>; // runs before the action

    // What a dialog looked like when the script reached it.
    struct Shown
    {
        QString kind, title, text;
        QStringList buttons; // message boxes: captions in button order
        QString defaultButton;
        QString field; // address dialog: the field's text
        QStringList rows; // selection dialog: "address | module" per row
        QWidget *widget = nullptr;
        QWidget *parent = nullptr;
    };

    // Steps written as "kind:action", e.g. {"choice:Enter Address", "address:=10.0.0.1"}.
    explicit ConnectScript(const QStringList &steps = {})
    {
        qApp->installEventFilter(this);
        for (const QString &step : steps)
            add(step.section(QLatin1Char(':'), 0, 0), step.section(QLatin1Char(':'), 1));
    }
    ~ConnectScript() override { qApp->removeEventFilter(this); }

    void add(const QString &kind, const QString &action, Look before = nullptr)
    {
        m_steps.append({kind, action, before});
    }
    const QList<Shown> &shown() const { return m_shown; }
    // Empty when every step was taken and every dialog was the one expected.
    QString errors() const
    {
        QStringList e = m_errors;
        if (!m_steps.isEmpty())
            e << QStringLiteral("%1 steps left").arg(m_steps.size());
        return e.join(QLatin1String("; "));
    }

    static QString kindOf(QWidget *w)
    {
        if (qobject_cast<cv4870fp_enterAddress *>(w))
            return QStringLiteral("address");
        if (qobject_cast<cv4870fp_select *>(w))
            return QStringLiteral("list");
        const QString text = qobject_cast<QMessageBox *>(w) ? static_cast<QMessageBox *>(w)->text() : QString();
        if (text.startsWith(QLatin1String("How to connect")))
            return QStringLiteral("choice");
        if (text.startsWith(QLatin1String("No Ostrel")))
            return QStringLiteral("none");
        if (text.startsWith(QLatin1String("Selected Ostrel")))
            return QStringLiteral("fail");
        return QStringLiteral("other");
    }

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

    static QAbstractButton *button(QWidget *w, const QString &caption)
    {
        for (QAbstractButton *b : w->findChildren<QAbstractButton *>())
            if (b->text() == caption && b->isVisible())
                return b;
        return nullptr;
    }

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
            for (QAbstractButton *b : box->buttons())
                s.buttons << b->text();
            s.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
        } else if (cv4870fp_enterAddress *a = qobject_cast<cv4870fp_enterAddress *>(w)) {
            s.field = a->d_ipAddr->text();
        } else if (cv4870fp_select *dlg = qobject_cast<cv4870fp_select *>(w)) {
            for (int i = 0; i < dlg->d_tree->topLevelItemCount(); ++i)
                s.rows << dlg->d_tree->topLevelItem(i)->text(0) + " | " + dlg->d_tree->topLevelItem(i)->text(1);
        }
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
        cv4870fp_select *dlg = qobject_cast<cv4870fp_select *>(w);
        QTreeWidgetItem *item = dlg ? dlg->d_tree->topLevelItem(action.mid(4).toInt()) : nullptr;
        if (action == QLatin1String("<escape>")) {
            QTest::keyClick(w, Qt::Key_Escape);
        } else if (action == QLatin1String("<close>")) {
            w->close();
        } else if (action.startsWith(QLatin1Char('='))) {
            qobject_cast<cv4870fp_enterAddress *>(w)->d_ipAddr->setText(action.mid(1));
            button(w, QStringLiteral("OK"))->click();
        } else if (dlg && action.startsWith(QLatin1String("row:"))) {
            dlg->d_tree->setCurrentItem(item);
            dlg->d_okButton->click();
        } else if (dlg && action.startsWith(QLatin1String("dbl:"))) {
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
        } else if (QAbstractButton *b = button(w, action)) {
            b->click();
        } else {
            m_errors << QStringLiteral("no button \"%1\"").arg(action);
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
};

#endif // CONNECT_SCRIPT_H
