// Round indicator lamp: a sunken bezel drawn from shades of the background
// with the lamp inside, or a plain filled circle at small font sizes.
//
// Drawing the arcs and the chord takes most of a repaint, and a panel shows
// few distinct lamps, so a lamp is drawn once into an image per colour, size,
// background (or outline) colour and device pixel ratio, and later repaints
// copy that image. This gives the same pixels as drawing on the widget only
// where every pixel of the lamp is either drawn in an opaque colour or left
// alone, and where the image lands on whole device pixels; elsewhere the
// lamp is drawn directly, as it always was.
#include "cv5120fp_led.h"

#include <QCache>
#include <QHash>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>

#include <cmath>

bool cv5120fp_led::s_lampCache = true;
cv5120fp_led::LampOnly cv5120fp_led::s_lampOnly = cv5120fp_led::LampOnly::Off;
const cv5120fp_led *cv5120fp_led::s_lampOnlyLed = nullptr;

namespace {

// Free pixels around the lamp's square in a cached image, so that nothing a
// stroke reaches past the square is cut off.
constexpr int kMargin = 2;
// The cache's bound, in bytes of image data.
constexpr int kCacheBytes = 1 << 20;
// Largest device pixel ratio served from the cache.
constexpr int kMaxScale = 4;

// The square a cached lamp image covers, for the lamp at (x, 0).
QRect lampSquare(int x, int h)
{
    return QRect(x - kMargin, -kMargin, h + 1 + 2 * kMargin, h + 1 + 2 * kMargin);
}

struct LampKey
{
    int h;
    int scale;
    QRgb lamp;
    QRgb surround; // the background (bezel) or the outline colour
    int hints;
    bool operator==(const LampKey &o) const
    {
        return h == o.h && scale == o.scale && lamp == o.lamp && surround == o.surround && hints == o.hints;
    }
};

uint qHash(const LampKey &k, uint seed = 0)
{
    uint hash = seed;
    for (const uint part : {uint(k.h), uint(k.scale), k.lamp, k.surround, uint(k.hints)})
        hash = hash * 31u + ::qHash(part);
    return hash;
}

QCache<LampKey, QImage> &lampCache()
{
    static QCache<LampKey, QImage> cache(kCacheBytes);
    return cache;
}

} // namespace

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
    repaintLamp();
}

// A change of the lamp's colour changes the pixels of the lamp and nothing
// else. A repaint of the whole widget has its parents paint the background
// below it first (a group box lays out its title for that), and that costs
// more than the lamp. Where the lamp comes from the cache, its image
// replaces every pixel the lamp covers and leaves the others alone, so it
// can be drawn over what the last paint left: the widget is repainted as
// opaque, only in the lamp's square.
//
// That holds while nothing below the widget, nor the widget itself, waits
// for a repaint. Such a repaint is carried out together with this one, and
// as it covers the widget's area, which always reaches past the square, it
// shows in the paint event's region: the lamp is then not drawn, and the
// whole widget is repainted the usual way at once. A window is always
// repainted the usual way.
void cv5120fp_led::repaintLamp()
{
    const bool opaque = testAttribute(Qt::WA_OpaquePaintEvent);
    const QColor &c = d_value != 0 ? d_onColor : d_offColor;
    if (!s_lampCache || opaque || isWindow() || !isVisible() || !updatesEnabled() || c.alpha() != 255) {
        repaint();
        return;
    }
    const int h = fontMetrics().height();
    const int x = ((width() - minimumSizeHint().width()) >> 1) + 2;
    const QRect square = lampSquare(x, h) & rect();
    if (square.isEmpty() || square == rect()) {
        repaint();
        return;
    }
    s_lampOnly = LampOnly::Asked;
    s_lampOnlyLed = this;
    setAttribute(Qt::WA_OpaquePaintEvent, true);
    repaint(square);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    const bool drawn = s_lampOnly == LampOnly::Drawn;
    s_lampOnly = LampOnly::Off;
    s_lampOnlyLed = nullptr;
    if (!drawn)
        repaint();
}

QSize cv5120fp_led::minimumSizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    const int h = fm.height();
    const int tw = fm.horizontalAdvance(d_text);
    return QSize(h + 1 + tw + ((h + 1) >> 1), h + 2);
}

void cv5120fp_led::paintEvent(QPaintEvent *e)
{
    QPainter p(this);
    const int h = fontMetrics().height();

    const QColor bg = p.background().color();
    const QColor c = d_value != 0 ? d_onColor : d_offColor;

    // Lamp and label are centred as one block, 2 pixels to the right.
    const int x = ((width() - minimumSizeHint().width()) >> 1) + 2;

    if (s_lampOnlyLed == this) {
        // The lamp alone over the last paint, or nothing (see repaintLamp).
        if (s_lampOnly != LampOnly::Refused && lampSquare(x, h).contains(e->region().boundingRect()) &&
            paintCachedLamp(p, x, h, bg, c))
            s_lampOnly = LampOnly::Drawn;
        else
            s_lampOnly = LampOnly::Refused;
        return;
    }

    p.drawText(QPoint(x + h + (h >> 1), h - 1), d_text);

    if (!s_lampCache || !paintCachedLamp(p, x, h, bg, c))
        paintLamp(p, x, 0, h, bg, c);
}

bool cv5120fp_led::paintCachedLamp(QPainter &p, int x, int h, const QColor &bg, const QColor &c)
{
    // Whole device pixels only: a translation and the same whole scale on
    // both axes.
    const QTransform t = p.deviceTransform();
    const qreal scale = t.m11();
    if (t.type() > QTransform::TxScale || t.m22() != scale || scale < 1 || scale > kMaxScale ||
        scale != std::floor(scale) || t.dx() != std::floor(t.dx()) || t.dy() != std::floor(t.dy()))
        return false;
    if (p.opacity() != 1.0 || p.compositionMode() != QPainter::CompositionMode_SourceOver)
        return false;
    // Every pixel of the lamp drawn opaque, so the image's pixels replace
    // what is below them as drawing does. A small lamp is outlined with
    // the painter's pen, which must be a plain one.
    const QPen pen = p.pen();
    const QColor surround = h < 10 ? pen.color() : bg;
    const bool plainPen = pen.style() == Qt::SolidLine && pen.brush().style() == Qt::SolidPattern &&
                          pen.widthF() == 1.0 && !pen.isCosmetic() && pen.capStyle() == Qt::SquareCap &&
                          pen.joinStyle() == Qt::BevelJoin;
    if (!c.isValid() || !surround.isValid() || c.alpha() != 255 || surround.alpha() != 255 || (h < 10 && !plainPen))
        return false;

    const int s = static_cast<int>(scale);
    const LampKey key{h, s, c.rgba(), surround.rgba(), static_cast<int>(p.renderHints())};
    QCache<LampKey, QImage> &cache = lampCache();
    const QImage *lamp = cache.object(key);
    if (!lamp) {
        const int side = (h + 1 + 2 * kMargin) * s;
        auto *img = new QImage(side, side, QImage::Format_ARGB32_Premultiplied);
        img->setDevicePixelRatio(s);
        img->fill(Qt::transparent);
        {
            QPainter ip(img);
            ip.setRenderHints(p.renderHints());
            ip.setPen(pen);
            paintLamp(ip, kMargin, kMargin, h, bg, c);
        }
        const int bytes = static_cast<int>(img->sizeInBytes());
        if (!cache.insert(key, img, bytes))
            return false; // larger than the whole cache: the image is gone
        lamp = img;
    }
    p.drawImage(QPoint(x - kMargin, -kMargin), *lamp);
    return true;
}

int cv5120fp_led::lampCacheSize()
{
    return lampCache().size();
}

void cv5120fp_led::clearLampCache()
{
    lampCache().clear();
}

void cv5120fp_led::paintLamp(QPainter &p, int x, int y, int h, const QColor &bg, const QColor &c)
{
    if (h < 10) {
        // Too small for a bezel: one filled circle outlined in the text colour.
        p.setBrush(QBrush(c, Qt::SolidPattern));
        p.drawChord(x, y, h, h, 0, 5760);
        return;
    }

    const QColor light = bg.lighter(150);
    const QColor dark = bg.darker(200);

    // Sunken bezel: light upper-left, dark lower-right, background ring between.
    p.setPen(light);
    p.drawArc(x, y, h, h, 720, 2880);
    p.drawArc(x + 2, y + 2, h - 4, h - 4, 720, 2880);
    p.setPen(dark);
    p.drawArc(x, y, h, h, 3600, 2880);
    p.drawArc(x + 2, y + 2, h - 4, h - 4, 3600, 2880);
    p.setPen(bg);
    p.drawArc(x + 1, y + 1, h - 2, h - 2, 0, 5760);

    p.setPen(c);
    p.setBrush(QBrush(c, Qt::SolidPattern));
    p.drawChord(x + 3, y + 3, h - 6, h - 6, 0, 5760);
}
