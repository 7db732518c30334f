// Round indicator lamp: a sunken bezel drawn from shades of the background
// with the lamp inside, or a plain filled circle at small font sizes.
#include "cv5120fp_led.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPalette>

cv5120fp_led::cv5120fp_led(QString text, const QColor &onColor, const QColor &offColor)
    : QWidget(nullptr)
    , d_value(0)
    , d_onColor(onColor)
    , d_text(std::move(text))
{
    // Magenta is the marker for "no colour": show the window background.
    if (offColor == QColor(Qt::magenta))
        d_offColor = palette().color(QPalette::Window);
    else
        d_offColor = offColor;
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Maximum);
}

cv5120fp_led::~cv5120fp_led() = default;

void cv5120fp_led::toggleValue()
{
    d_value = d_value == 0 ? 1 : 0;
    repaint();
}

QSize cv5120fp_led::minimumSizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    const int h = fm.height();
    const int tw = fm.horizontalAdvance(d_text);
    return QSize(h + 1 + tw + ((h + 1) >> 1), h + 2);
}

void cv5120fp_led::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const int h = fontMetrics().height();

    const QColor bg = p.background().color();
    const QColor light = bg.lighter(150);
    const QColor dark = bg.darker(200);
    const QColor c = d_value != 0 ? d_onColor : d_offColor;

    // Lamp and label are centred as one block, 2 pixels to the right.
    const int x = ((width() - minimumSizeHint().width()) >> 1) + 2;

    p.drawText(QPoint(x + h + (h >> 1), h - 1), d_text);

    if (h < 10) {
        // Too small for a bezel: one filled circle outlined in the text colour.
        p.setBrush(QBrush(c, Qt::SolidPattern));
        p.drawChord(x, 0, h, h, 0, 5760);
        return;
    }

    // Sunken bezel: light upper-left, dark lower-right, background ring between.
    p.setPen(light);
    p.drawArc(x, 0, h, h, 720, 2880);
    p.drawArc(x + 2, 2, h - 4, h - 4, 720, 2880);
    p.setPen(dark);
    p.drawArc(x, 0, h, h, 3600, 2880);
    p.drawArc(x + 2, 2, h - 4, h - 4, 3600, 2880);
    p.setPen(bg);
    p.drawArc(x + 1, 1, h - 2, h - 2, 0, 5760);

    p.setPen(c);
    p.setBrush(QBrush(c, Qt::SolidPattern));
    p.drawChord(x + 3, 3, h - 6, h - 6, 0, 5760);
}
