#include "ui/background.h"

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

void paintBackground(QWidget *widget)
{
    // Scaled once per window size: the TCP run repaints its window for every
    // progress step, and scaling the picture each time would cost more than
    // the transfer itself.
    const QString key = QStringLiteral("bk.png@%1x%2").arg(widget->width()).arg(widget->height());
    QPixmap scaled;
    if (!QPixmapCache::find(key, &scaled)) {
        ensureResources();
        scaled = QPixmap(QStringLiteral(":/res/bk.png"))
                     .scaled(widget->size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QPixmapCache::insert(key, scaled);
    }
    QPainter painter(widget);
    painter.drawPixmap(0, 0, scaled);
}
