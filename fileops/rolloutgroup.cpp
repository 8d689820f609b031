#include "fileops/rolloutgroup.h"

#include "config/names.h"
#include "config/releasecontrol.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>

std::optional<int> installationRolloutGroup(const QString &installation)
{
    const QString path = installation + Names::kUpdateDir + Names::kRolloutGroupFile;
    QFile kept(path);
    if (kept.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const int group = kept.read(16).trimmed().toInt(&ok);
        if (ok && group >= 0 && group < ReleaseControl::kRolloutGroups)
            return group;
    }
    const int group = static_cast<int>(QRandomGenerator::system()->bounded(ReleaseControl::kRolloutGroups));
    const QByteArray line = QByteArray::number(group) + '\n';
    QSaveFile out(path);
    if (!QDir().mkpath(installation + Names::kUpdateDir) || !out.open(QIODevice::WriteOnly)
        || out.write(line) != line.size() || !out.commit())
        return std::nullopt;
    return group;
}
