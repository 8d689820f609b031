#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Where a window of size goes on a screen whose available area (without
// task bars, in the screen's own coordinates, origin included) is
// available: centred where it fits; where it does not, against the top or
// left edge, so that its title and its first controls stay on the screen
// and only the far side runs off it.
QPoint placeInside(const QSize &size, const QRect &available);
