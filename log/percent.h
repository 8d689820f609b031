#pragma once

#include <QtGlobal>

// How much of whole part is, in whole percent rounded down, as the windows
// and the log show progress: 0 when whole is not positive. Computed in 64
// bits, so sizes of several GiB do not overflow.
inline int percentOf(qint64 part, qint64 whole)
{
    return whole <= 0 ? 0 : static_cast<int>(part * 100 / whole);
}
