// Helpers shared by the GUI tests.
#ifndef GUI_TEST_UTIL_H
#define GUI_TEST_UTIL_H

#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

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
    explicit AppFontScope(const QFont &f) : d_saved(QApplication::font()) { QApplication::setFont(f); }
    ~AppFontScope() { QApplication::setFont(d_saved); }
    AppFontScope(const AppFontScope &) = delete;
    AppFontScope &operator=(const AppFontScope &) = delete;

private:
    QFont d_saved;
};

// Answers the next application-modal message box from inside its own
// event loop and records what the box showed.
class ModalAnswer : public QObject
{
public:
    struct Seen
    {
        bool shown = false;
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QWidget *parent = nullptr;
    };

    // answer: the button to click; QMessageBox::NoButton closes the box
    // with Escape-like rejection instead.
    explicit ModalAnswer(QMessageBox::StandardButton answer) : d_answer(answer)
    {
        d_timer.setInterval(10);
        connect(&d_timer, &QTimer::timeout, this, &ModalAnswer::poll);
        d_timer.start();
    }

    const Seen &seen() const { return d_seen; }
    int boxes() const { return d_boxes; }

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            // Give up after a generous while so a missing box cannot hang the test.
            if (++d_tries > 1000)
                d_timer.stop();
            return;
        }
        ++d_boxes;
        d_seen.shown = true;
        d_seen.title = box->windowTitle();
        d_seen.text = box->text();
        d_seen.icon = box->icon();
        d_seen.buttons = box->standardButtons();
        d_seen.parent = box->parentWidget();
        d_timer.stop();
        if (d_answer == QMessageBox::NoButton)
            box->reject();
        else if (QAbstractButton *b = box->button(d_answer))
            b->click();
        else
            box->reject();
    }

    QMessageBox::StandardButton d_answer;
    QTimer d_timer;
    Seen d_seen;
    int d_tries = 0;
    int d_boxes = 0;
};

#endif // GUI_TEST_UTIL_H
