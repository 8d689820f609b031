#include "config/iniedit.h"
#include "trust/stagedrelease.h"

#include "config/names.h"
#include "fileops/filedigest.h"
#include "fileops/filewalk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>


namespace {

// A statement lists every file of a release in about a hundred bytes each.
constexpr qint64 kStatementLimit = 64 << 20;
constexpr qint64 kSignatureLimit = 1024;

std::optional<QByteArray> readSmallFile(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > limit)
        return std::nullopt;
    return file.readAll();
}

StatementCheck failed(StatementFailure failure, const QString &detail)
{
    return {failure, detail};
}

StatementCheck checkFile(const ReleaseStatement &statement, const QString &listedAs, const QString &path)
{
    const auto digest = sha256OfFile(path);
    if (!digest)
        return failed(StatementFailure::FileMismatch, listedAs);
    return checkStatementFile(statement, listedAs, QFileInfo(path).size(), *digest);
}

} // namespace

quint64 installedSequence(const QString &installation)
{
    const auto bytes = readSmallFile(installation + Names::kUpdateDir + Names::kStatementFile, kStatementLimit);
    const auto statement = bytes ? parseStatement(*bytes) : std::nullopt;
    return statement ? statement->sequence : 0;
}

StatementCheck checkStagedRelease(const StagedRelease &release, const QVector<QByteArray> &publicKeys,
                                  const QDateTime &now, ReleaseStatement *accepted)
{
    const QString statementPath = release.staging + Names::kStatementFile;
    const QString signaturePath = release.staging + Names::kStatementSignatureFile;
    const auto statementBytes = readSmallFile(statementPath, kStatementLimit);
    const auto signature = readSmallFile(signaturePath, kSignatureLimit);
    QFile::remove(statementPath);
    QFile::remove(signaturePath);
    if (publicKeys.isEmpty())
        return StatementCheck();
    if (!statementBytes || !signature)
        return failed(StatementFailure::Missing, statementBytes ? Names::kStatementSignatureFile : Names::kStatementFile);

    // The version description the apply installs names the release too:
    // the downloaded one (HTTP) wins over a staged one (TCP), as in the apply.
    const QString httpDescription = release.installation + Names::kUpdateDir + Names::kUpdateTmpIniFile;
    const QString tcpDescription = release.staging + Names::kUpdateIniFile;
    const bool tcpRoad = !release.downloaded.description;
    const QSettings description(IniEdit::settingsPath(tcpRoad ? tcpDescription : httpDescription), QSettings::IniFormat);
    const QString describedVersion = description.value(Names::kVersionVersionKey).toString();
    // The installed version description is the floor that survives a
    // reinstall, which brings no recorded statement.
    const QSettings installed(IniEdit::settingsPath(release.installation + Names::kUpdateDir + Names::kUpdateIniFile), QSettings::IniFormat);
    StatementExpectation expected{publicKeys,
                                  release.announcedVersion,
                                  description.value(Names::kVersionFolderKey).toString(),
                                  installedSequence(release.installation),
                                  now,
                                  installed.value(Names::kVersionVersionKey).toString()};
    if (expected.version.isEmpty())
        expected.version = describedVersion;
    ReleaseStatement statement;
    StatementCheck check = checkStatement(*statementBytes, *signature, expected, &statement);
    if (!check.ok())
        return check;
    if (describedVersion != statement.version)
        return failed(StatementFailure::WrongVersion, describedVersion + QStringLiteral(" != ") + statement.version);

    // Every staged file (but the TCP road's version description, which lies
    // outside the release folder and was checked above) must be listed;
    // an unlisted one refuses the release before any file is read.
    QStringList staged;
    listFilesRecursive(QDir::cleanPath(release.staging), QString(), staged);
    const QString tcpDescriptionEntry = QLatin1Char('/') + Names::kUpdateIniFile;
    if (tcpRoad && !statement.files.contains(tcpDescriptionEntry))
        staged.removeAll(tcpDescriptionEntry);
    staged.sort();
    for (const QString &relative : qAsConst(staged)) {
        if (!statement.files.contains(relative))
            return failed(StatementFailure::UnlistedFile, relative);
    }
    for (const QString &relative : qAsConst(staged)) {
        check = checkFile(statement, relative, release.staging + relative.mid(1));
        if (!check.ok())
            return check;
    }
    // The HTTP road keeps the release's manifest beside the staging folder.
    const QString manifest = release.installation + Names::kUpdateDir + Names::kMd5TmpFile;
    if (release.downloaded.manifest) {
        check = checkFile(statement, QLatin1Char('/') + Names::kMd5File, manifest);
        if (!check.ok())
            return check;
    }

    const QString record = release.staging + Names::kUpdateDir + Names::kStatementFile;
    QSaveFile recordFile(record);
    if (!QDir().mkpath(QFileInfo(record).path()) || !recordFile.open(QIODevice::WriteOnly)
        || recordFile.write(*statementBytes) != statementBytes->size() || !recordFile.commit())
        return failed(StatementFailure::Unrecorded, record);
    if (accepted)
        *accepted = statement;
    return StatementCheck();
}
