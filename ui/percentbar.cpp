#include "ui/percentbar.h"

#include <QImage>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace {

// WCAG's level for normal text: the percentage is small and anti-aliased.
constexpr double kMinContrast = 4.5;

// sRGB channel value (0..255) to linear light.
double linear(int v)
{
    const double c = v / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(int r, int g, int b)
{
    // Every repaint weighs each pixel under the text: a table, not pow().
    static const std::array<double, 256> table = [] {
        std::array<double, 256> t{};
        for (int v = 0; v < 256; ++v)
            t[v] = linear(v);
        return t;
    }();
    return 0.2126 * table[r] + 0.7152 * table[g] + 0.0722 * table[b];
}

double luminance(const QColor &c)
{
    const QColor rgb = c.toRgb();
    return luminance(rgb.red(), rgb.green(), rgb.blue());
}

// The colour of median luminance among the pixels of background where mask
// is mostly opaque inside [left, right); invalid when there are none. What
// the style left transparent counts as the window colour behind it. Both
// images are ARGB32 premultiplied and of one size.
QColor medianUnderText(const QImage &background, const QImage &mask, int left, int right, const QColor &window)
{
    std::vector<std::pair<double, QRgb>> samples;
    const int from = std::max(left, 0);
    const int to = std::min(right, mask.width());
    for (int y = 0; y < mask.height(); ++y) {
        const auto *maskLine = reinterpret_cast<const QRgb *>(mask.constScanLine(y));
        const auto *line = reinterpret_cast<const QRgb *>(background.constScanLine(y));
        for (int x = from; x < to; ++x) {
            if (qAlpha(maskLine[x]) <= 128)
                continue;
            const QRgb p = line[x];
            const int a = qAlpha(p);
            const int r = qRed(p) + window.red() * (255 - a) / 255;
            const int g = qGreen(p) + window.green() * (255 - a) / 255;
            const int b = qBlue(p) + window.blue() * (255 - a) / 255;
            samples.emplace_back(luminance(r, g, b), qRgb(r, g, b));
        }
    }
    if (samples.empty())
        return QColor();
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    return QColor(samples[samples.size() / 2].second);
}

} // namespace

PercentBar::PercentBar(QWidget *parent)
    : QProgressBar(parent)
{
}

double PercentBar::contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor PercentBar::readableOn(const QColor &background, const QColor &preferred)
{
    if (contrast(preferred, background) >= kMinContrast)
        return preferred;
    return contrast(Qt::black, background) >= contrast(Qt::white, background) ? QColor(Qt::black) : QColor(Qt::white);
}

void PercentBar::paintEvent(QPaintEvent *)
{
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    option.textVisible = false;

    // Groove and chunk go to an image first: the text colours are chosen
    // from what was actually painted, whatever the style.
    const qreal ratio = devicePixelRatioF();
    QImage canvas(size() * ratio, QImage::Format_ARGB32_Premultiplied);
    canvas.setDevicePixelRatio(ratio);
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        style()->drawControl(QStyle::CE_ProgressBar, &option, &painter, this);
    }

    // Drawn centred, a text wider than the bar would lose both its ends.
    const QString whole = text();
    const bool drawn = isTextVisible() && !whole.isEmpty() && orientation() == Qt::Horizontal;
    const int room = style()->subElementRect(QStyle::SE_ProgressBarContents, &option, this).width();
    const QString label = drawn ? fontMetrics().elidedText(whole, Qt::ElideMiddle, room) : whole;
    elided = label != whole;
    const QString tip = elided ? whole : QString();
    if (toolTip() != tip)
        setToolTip(tip);
    if (drawn) {
        QImage mask(canvas.size(), QImage::Format_ARGB32_Premultiplied);
        mask.setDevicePixelRatio(ratio);
        mask.fill(Qt::transparent);
        {
            QPainter painter(&mask);
            painter.setFont(font());
            painter.setPen(Qt::black);
            painter.drawText(rect(), Qt::AlignCenter, label);
        }
        // The chunk's edge splits the text into two parts, each drawn in
        // the colour that reads on the median of what lies beneath it.
        const QRect contents = style()->subElementRect(QStyle::SE_ProgressBarContents, &option, this);
        const qint64 span = qint64(maximum()) - minimum();
        const qint64 done = span <= 0 ? 0 : std::clamp<qint64>(qint64(value()) - minimum(), 0, span);
        int filled = span <= 0 ? 0 : int(contents.width() * done / span);
        if (invertedAppearance() != (layoutDirection() == Qt::RightToLeft))
            filled = contents.width() - filled; // the chunk grows from the right
        const int split = qRound((contents.left() + filled) * ratio);
        const QColor window = palette().color(QPalette::Window);
        const QColor preferred = palette().color(QPalette::Text);
        const QColor leftUnder = medianUnderText(canvas, mask, 0, split, window);
        const QColor rightUnder = medianUnderText(canvas, mask, split, canvas.width(), window);

        QPainter painter(&canvas);
        painter.setFont(font());
        const auto drawPart = [&](int left, int right, const QColor &under) {
            if (!under.isValid())
                return;
            painter.save();
            painter.setClipRect(QRectF(left / ratio, 0, (right - left) / ratio, height()));
            painter.setPen(readableOn(under, preferred));
            painter.drawText(rect(), Qt::AlignCenter, label);
            painter.restore();
        };
        drawPart(0, split, leftUnder);
        drawPart(split, canvas.width(), rightUnder);
    }
    QPainter(this).drawImage(0, 0, canvas);
}
