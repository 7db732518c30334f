// Round indicator lamp of the soft front panels, with an optional label.
#ifndef CV5120FP_LED_H
#define CV5120FP_LED_H

#include <QColor>
#include <QString>
#include <QWidget>

class QPainter;

class cv5120fp_led : public QWidget
{
    Q_OBJECT
public:
    // An off colour equal to Qt::magenta stands for the palette's window
    // colour, so such an LED shows only background while it is off.
    cv5120fp_led(QString text, const QColor &onColor, const QColor &offColor);
    ~cv5120fp_led() override;

    // Repaints at once, and only when the value changes.
    void setValue(int v)
    {
        if (d_value != v) {
            d_value = v;
            repaintLamp();
        }
    }
    // The off colour is visible only while the LED is off.
    void setOffColor(const QColor &c)
    {
        d_offColor = c;
        if (d_value == 0)
            repaintLamp();
    }

    int value() const { return d_value; }
    QColor onColor() const { return d_onColor; }
    QColor offColor() const { return d_offColor; }
    QString text() const { return d_text; }

    QSize minimumSizeHint() const override;

public slots:
    void toggleValue();

protected:
    void paintEvent(QPaintEvent *) override;

private:
    friend class tst_led_pixels;

    // Repaints at once after the lamp's colour changed (see the .cpp).
    void repaintLamp();

    // Draws the lamp (bezel and disc) with its square's top-left corner at
    // (x, y); the label is drawn apart.
    static void paintLamp(QPainter &p, int x, int y, int h, const QColor &bg, const QColor &c);
    // Draws the lamp at (x, 0) from the shared cache of drawn lamps; false,
    // with nothing drawn, where the copy would not give the same pixels.
    static bool paintCachedLamp(QPainter &p, int x, int h, const QColor &bg, const QColor &c);
    // Off: every lamp is drawn directly (the pixel tests compare both).
    static bool s_lampCache;
    static int lampCacheSize();
    static void clearLampCache();
    // The state of a repaint of the lamp alone, while one runs, and the
    // LED it is for (others may paint meanwhile, the usual way).
    enum class LampOnly { Off, Asked, Drawn, Refused };
    static LampOnly s_lampOnly;
    static const cv5120fp_led *s_lampOnlyLed;

    int d_value;
    QColor d_onColor;
    QColor d_offColor;
    QString d_text;
};

#endif // CV5120FP_LED_H
