#include "ui/placement.h"

#include <algorithm>

QPoint placeInside(const QSize &size, const QRect &available)
{
    const int x = available.left() + std::max(0, (available.width() - size.width()) / 2);
    const int y = available.top() + std::max(0, (available.height() - size.height()) / 2);
    return {x, y};
}
