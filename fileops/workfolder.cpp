#include "fileops/workfolder.h"

#include "fileops/pathpolicy.h"
#include "platform/hiddenfile.h"

#include <QDir>
#include <QFileInfo>

namespace WorkFolder {

namespace {

const QString kMarker = QStringLiteral(".update-work");

} // namespace

State stateOf(const QString &installation, const QString &folder)
{
    const QFileInfo info(folder);
    if (!info.exists() && !info.isSymLink())
        return State::Absent;
    const QString inst = QDir::cleanPath(installation) + QLatin1Char('/');
    const QString path = QDir::cleanPath(folder);
    if (!path.startsWith(inst) || !PathPolicy::isFreeOfLinks(inst, path.mid(inst.size())) || !info.isDir())
        return State::Foreign;
    const QDir dir(path);
    if (dir.exists(kMarker))
        return State::Own;
    return dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty()
        ? State::Own
        : State::Foreign;
}

bool claim(const QString &installation, const QString &folder)
{
    if (stateOf(installation, folder) == State::Foreign || !QDir().mkpath(folder))
        return false;
    return createHiddenFile(QDir::cleanPath(folder) + QLatin1Char('/') + kMarker);
}

bool remove(const QString &installation, const QString &folder)
{
    switch (stateOf(installation, folder)) {
    case State::Absent:
        return true;
    case State::Own:
        return QDir(folder).removeRecursively();
    case State::Foreign:
        break;
    }
    return false;
}

} // namespace WorkFolder
