#include "currentrelease.h"

#include "releasesigner.h"

#include "config/names.h"
#include "trust/statement.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {

QString readSetting(const QString &iniPath, const QString &key)
{
    return QFileInfo(iniPath).isFile() ? QSettings(iniPath, QSettings::IniFormat).value(key).toString() : QString();
}

// Offers the release in request.folder as the current one.
QString republish(const PublishRequest &request, bool rollback, QString *versionOut)
{
    const QString out = request.outDir + QLatin1Char('/');
    const QString currentIni = out + Names::kUpdateIniFile;
    // The release's own description; the current release of an output
    // folder published before those were kept has only update.ini.
    QString description = out + request.folder + QStringLiteral(".ini");
    if (!QFileInfo(description).isFile() && readSetting(currentIni, Names::kVersionFolderKey) == request.folder)
        description = currentIni;
    const QString version = readSetting(description, Names::kVersionVersionKey);
    if (version.isEmpty())
        return QStringLiteral("no release %1 in %2 (no %3 naming its version)").arg(request.folder, request.outDir,
                                                                                     request.folder + ".ini");
    const QString releaseDir = out + request.folder;
    QFile manifestFile(releaseDir + QLatin1Char('/') + Names::kMd5File);
    if (!manifestFile.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read ") + manifestFile.fileName();
    const QByteArray manifest = manifestFile.readAll();

    const QString statementPath = releaseDir + QLatin1Char('/') + Names::kStatementFile;
    const bool wasSigned = QFileInfo::exists(statementPath);
    if (request.secretKeyFile.isEmpty()) {
        // Its old statement would name an old sequence, which every client
        // that installed a later release refuses.
        if (wasSigned)
            return QStringLiteral("release %1 is signed: give --key to sign it again").arg(request.folder);
    } else {
        QByteArray secretKey;
        const QString keyError = readSecretKeyFile(request.secretKeyFile, &secretKey);
        if (!keyError.isEmpty())
            return keyError;
        StatementTerms terms{request.expires, request.allowDowngrade || rollback, request.rules.rollout};
        // Read and closed before it is replaced: Windows replaces no open file.
        QFile statementFile(statementPath);
        const QByteArray old = statementFile.open(QIODevice::ReadOnly) ? statementFile.readAll() : QByteArray();
        statementFile.close();
        if (const auto before = parseStatement(old)) {
            terms.allowDowngrade = terms.allowDowngrade || before->allowDowngrade;
            if (!terms.expires.isValid())
                terms.expires = before->expires;
        }
        const QString signError =
            writeSignedStatement(request.outDir, releaseDir, version, request.folder, secretKey, terms);
        if (!signError.isEmpty())
            return signError;
    }
    if (versionOut)
        *versionOut = version;
    return writeVersionFile(currentIni, releaseIniText(version, request.folder, manifest, request.rules));
}

} // namespace

QString changeRollout(const PublishRequest &request)
{
    PublishRequest current = request;
    const QString currentIni = request.outDir + QLatin1Char('/') + Names::kUpdateIniFile;
    current.folder = readSetting(currentIni, Names::kVersionFolderKey);
    // The new share; the release's other rules stay.
    current.rules.minimumVersion = readSetting(currentIni, Names::kVersionMinRequiredKey);
    current.rules.steppingStone = readSetting(currentIni, Names::kVersionSteppingStoneKey);
    if (current.folder.isEmpty())
        return QStringLiteral("no current release in ") + request.outDir;
    return republish(current, false, nullptr);
}

QString makeReleaseCurrent(const PublishRequest &request, QString *version)
{
    return republish(request, true, version);
}
