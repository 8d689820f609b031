#include "http/background.h"

#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QWidget>

// The resources live in the static core library; referencing their
// initialiser keeps the linker from dropping them from a program that
// paints a window.
static void initResources()
{
    Q_INIT_RESOURCE(res);
}

void paintBackground(QWidget *widget)
{
    static const QString key = QStringLiteral(":/res/bk.png");
    QPixmap picture;
    if (!QPixmapCache::find(key, &picture)) {
        initResources();
        picture.load(key);
        QPixmapCache::insert(key, picture);
    }
    QPainter painter(widget);
    painter.drawPixmap(widget->rect(), picture);
}
