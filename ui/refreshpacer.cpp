#include "ui/refreshpacer.h"

#include <QtGlobal>

#include <utility>

RefreshPacer::RefreshPacer(int intervalMs, Clock givenClock)
    : interval(intervalMs)
    , clock(std::move(givenClock))
{
    monotonic.start();
}

qint64 RefreshPacer::now() const
{
    return clock ? clock() : monotonic.elapsed();
}

bool RefreshPacer::due()
{
    if (untilDue() > 0)
        return false;
    shown();
    return true;
}

void RefreshPacer::shown()
{
    last = now();
    anyShown = true;
}

int RefreshPacer::untilDue() const
{
    if (!anyShown || interval <= 0)
        return 0;
    return int(qBound<qint64>(0, last + interval - now(), interval));
}
