#include "config/releasecontrol.h"

#include "trust/statement.h"

namespace ReleaseControl {

std::optional<int> parseRollout(const QString &text)
{
    if (text.isEmpty())
        return kWholeRollout;
    if (text.size() > 3 || (text.size() > 1 && text.startsWith(QLatin1Char('0'))))
        return std::nullopt;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const int value = text.toInt();
    return value <= kWholeRollout ? std::optional<int>(value) : std::nullopt;
}

bool appliesTo(const QString &installedVersion, const QString &minimumVersion)
{
    return minimumVersion.isEmpty() || installedVersion.isEmpty() || compareVersions(installedVersion, minimumVersion) >= 0;
}

bool takesRelease(int group, int percent)
{
    return group >= 0 && group < percent;
}

} // namespace ReleaseControl
