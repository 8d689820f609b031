#include "ui/background.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QWidget>

static void initResources()
{
    Q_INIT_RESOURCE(res);
}

void ensureResources()
{
    static const bool ready = (initResources(), true);
    Q_UNUSED(ready)
}

void useUpdaterWindowIcon()
{
    static const bool done = (ensureResources(), QApplication::setWindowIcon(QIcon(QStringLiteral(":/res/logo.ico"))), true);
    Q_UNUSED(done)
}

void paintBackground(QWidget *widget)
{
    // Scaled once per window size: the TCP run repaints its window for every
    // progress step, and scaling the picture each time would cost more than
    // the transfer itself. Scaled to the device's pixels: a picture of the
    // window's logical size would be enlarged again, jagged, on a screen
    // with a scale factor.
    const qreal ratio = widget->devicePixelRatioF();
    const QSize pixels = widget->size() * ratio;
    const QString key = QStringLiteral("bk.png@%1x%2@%3").arg(pixels.width()).arg(pixels.height()).arg(ratio);
    QPixmap scaled;
    if (!QPixmapCache::find(key, &scaled)) {
        ensureResources();
        scaled = QPixmap(QStringLiteral(":/res/bk.png")).scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        scaled.setDevicePixelRatio(ratio);
        QPixmapCache::insert(key, scaled);
    }
    QPainter painter(widget);
    painter.drawPixmap(0, 0, scaled);
}
