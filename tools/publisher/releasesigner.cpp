#include "releasesigner.h"

#include "config/names.h"
#include "http/md5manifest.h"
#include "trust/ed25519.h"
#include "trust/statement.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const QString kSequenceFile = QStringLiteral("release.sequence");

bool writeWhole(QSaveFile &file, const QByteArray &bytes)
{
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

} // namespace

QString createKeyFile(const QString &secretKeyPath, QByteArray *publicKeyText)
{
    const Ed25519::KeyPair pair = Ed25519::generate();
    if (pair.secretKey.isEmpty())
        return QStringLiteral("no random source for a key");
    QFile file(secretKeyPath);
    // NewOnly: a key that signed releases is never replaced by accident.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return QStringLiteral("cannot create %1 (it must not exist yet): %2").arg(secretKeyPath, file.errorString());
    // Narrowed while still empty, so the key is never readable by others.
    const QByteArray text = pair.secretKey.toBase64() + '\n';
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || file.write(text) != text.size()
        || !file.flush()) {
        file.remove();
        return QStringLiteral("cannot write ") + secretKeyPath;
    }
    *publicKeyText = pair.publicKey.toBase64();
    return QString();
}

QString readSecretKeyFile(const QString &path, QByteArray *secretKey)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the key file %1: %2").arg(path, file.errorString());
    const auto key = Ed25519::decodeBase64(file.read(1024), Ed25519::kSecretKeyBytes);
    if (!key)
        return QStringLiteral("not a secret key file: ") + path;
    *secretKey = *key;
    return QString();
}

QString writeSignedStatement(const QString &outDir, const QString &releaseDir, const QString &version,
                             const QString &folder, const QByteArray &secretKey, const StatementTerms &terms)
{
    const QString sequencePath = outDir + QLatin1Char('/') + kSequenceFile;
    quint64 last = 0;
    if (QFileInfo::exists(sequencePath)) {
        QFile file(sequencePath);
        bool ok = false;
        if (file.open(QIODevice::ReadOnly))
            last = file.read(64).trimmed().toULongLong(&ok);
        // Starting again at 1 would make every client refuse the release.
        if (!ok)
            return QStringLiteral("cannot read the sequence number in ") + sequencePath;
    }

    ReleaseStatement statement;
    statement.version = version;
    statement.folder = folder;
    statement.sequence = last + 1;
    statement.expires = terms.expires;
    statement.allowDowngrade = terms.allowDowngrade;
    statement.rollout = terms.rollout;
    QStringList files;
    listFilesRecursive(releaseDir, QString(), files);
    // A release signed again (a new share, made current again) lists its
    // files, not the statement it had.
    files.removeAll(QLatin1Char('/') + Names::kStatementFile);
    files.removeAll(QLatin1Char('/') + Names::kStatementSignatureFile);
    for (const QString &relative : qAsConst(files)) {
        const QString path = releaseDir + relative;
        const auto digest = sha256OfFile(path);
        if (!digest)
            return QStringLiteral("cannot read ") + path;
        statement.files.insert(relative, {QFileInfo(path).size(), *digest});
    }
    const QByteArray bytes = serializeStatement(statement);
    const QByteArray signature = Ed25519::sign(bytes, secretKey).toBase64() + '\n';

    QSaveFile statementFile(releaseDir + QLatin1Char('/') + Names::kStatementFile);
    QSaveFile signatureFile(releaseDir + QLatin1Char('/') + Names::kStatementSignatureFile);
    QSaveFile sequenceFile(sequencePath);
    for (auto [file, content] : {std::pair{&statementFile, bytes}, std::pair{&signatureFile, signature},
                                 std::pair{&sequenceFile, QByteArray::number(statement.sequence) + '\n'}}) {
        if (!writeWhole(*file, content))
            return QStringLiteral("cannot write ") + file->fileName();
    }
    return QString();
}
