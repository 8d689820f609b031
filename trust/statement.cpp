#include "trust/statement.h"

#include "http/md5manifest.h"
#include "trust/ed25519.h"
#include "trust/recordfields.h"

#include <QList>

namespace {

using RecordFields::parseDecimal;
using RecordFields::parseText;

const QByteArray kHeader = QByteArrayLiteral("release-statement\t1");
const QString kTimeFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ssZ");

StatementCheck failed(StatementFailure failure, const QString &detail)
{
    return {failure, detail};
}

std::optional<QDateTime> parseTime(const QByteArray &field)
{
    QDateTime time = QDateTime::fromString(QString::fromLatin1(field), kTimeFormat);
    if (!time.isValid())
        return std::nullopt;
    time.setTimeSpec(Qt::UTC);
    if (time.toString(kTimeFormat).toLatin1() != field)
        return std::nullopt;
    return time;
}

bool parseFileLine(const QList<QByteArray> &fields, ReleaseStatement &statement, QString *previousPath)
{
    if (fields.size() != 4)
        return false;
    const auto size = RecordFields::parseSize(fields.at(1));
    const auto digest = RecordFields::parseSha256(fields.at(2));
    const auto path = parseText(fields.at(3));
    if (!size || !digest || !path || !unsafePathReason(*path, {}).isEmpty() || *path <= *previousPath)
        return false;
    statement.files.insert(*path, {*size, *digest});
    *previousPath = *path;
    return true;
}

} // namespace

QByteArray serializeStatement(const ReleaseStatement &statement)
{
    QByteArray out = kHeader + '\n';
    out += "version\t" + statement.version.toUtf8() + '\n';
    out += "folder\t" + statement.folder.toUtf8() + '\n';
    out += "sequence\t" + QByteArray::number(statement.sequence) + '\n';
    if (statement.expires.isValid())
        out += "expires\t" + statement.expires.toUTC().toString(kTimeFormat).toLatin1() + '\n';
    if (statement.allowDowngrade)
        out += "downgrade\tallowed\n";
    if (statement.rollout < 100)
        out += "rollout\t" + QByteArray::number(statement.rollout) + '\n';
    for (auto it = statement.files.cbegin(); it != statement.files.cend(); ++it)
        out += "file\t" + QByteArray::number(it->size) + '\t' + it->sha256.toHex() + '\t' + it.key().toUtf8() + '\n';
    return out;
}

std::optional<ReleaseStatement> parseStatement(const QByteArray &bytes, StatementCheck *check)
{
    auto malformed = [check](int line) -> std::optional<ReleaseStatement> {
        if (check)
            *check = failed(StatementFailure::Malformed, QStringLiteral("line %1").arg(line));
        return std::nullopt;
    };
    if (!bytes.endsWith('\n'))
        return malformed(bytes.count('\n') + 1);
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeLast();

    // The fixed head, in order; "expires", "downgrade" and "rollout" may be
    // left out.
    const QByteArray keys[] = {"version", "folder", "sequence", "expires", "downgrade", "rollout"};
    ReleaseStatement statement;
    if (lines.isEmpty() || lines.first() != kHeader)
        return malformed(1);
    int index = 1;
    for (const QByteArray &key : keys) {
        const QList<QByteArray> fields = index < lines.size() ? lines.at(index).split('\t') : QList<QByteArray>();
        if (fields.value(0) != key) {
            if (key == "expires" || key == "downgrade" || key == "rollout")
                continue;
            return malformed(index + 1);
        }
        if (fields.size() != 2)
            return malformed(index + 1);
        const QByteArray &value = fields.at(1);
        bool ok = true;
        if (key == "version" || key == "folder") {
            const auto text = parseText(value);
            ok = text.has_value();
            (key == "version" ? statement.version : statement.folder) = text.value_or(QString());
        } else if (key == "sequence") {
            const auto sequence = parseDecimal(value);
            ok = sequence && *sequence > 0;
            statement.sequence = sequence.value_or(0);
        } else if (key == "downgrade") {
            ok = value == "allowed";
            statement.allowDowngrade = ok;
        } else if (key == "rollout") {
            const auto share = parseDecimal(value);
            ok = share && *share < 100;
            statement.rollout = static_cast<int>(share.value_or(100));
        } else {
            const auto time = parseTime(value);
            ok = time.has_value();
            statement.expires = time.value_or(QDateTime());
        }
        if (!ok)
            return malformed(index + 1);
        ++index;
    }
    QString previousPath;
    for (; index < lines.size(); ++index) {
        const QList<QByteArray> fields = lines.at(index).split('\t');
        if (fields.first() != "file" || !parseFileLine(fields, statement, &previousPath))
            return malformed(index + 1);
    }
    if (check)
        *check = StatementCheck();
    return statement;
}

int compareVersions(const QString &a, const QString &b)
{
    const auto isDigit = [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); };
    // Takes the run of digits or of anything else that starts at at.
    const auto nextRun = [&isDigit](const QString &text, int &at) {
        const int start = at;
        const bool digits = isDigit(text.at(at));
        while (at < text.size() && isDigit(text.at(at)) == digits)
            ++at;
        return text.mid(start, at - start);
    };
    int i = 0;
    int j = 0;
    while (i < a.size() && j < b.size()) {
        QString runA = nextRun(a, i);
        QString runB = nextRun(b, j);
        if (isDigit(runA.at(0)) && isDigit(runB.at(0))) {
            // Numbers of any length: without leading zeros the longer is
            // larger, equal lengths compare digit by digit.
            while (runA.size() > 1 && runA.startsWith(QLatin1Char('0')))
                runA.remove(0, 1);
            while (runB.size() > 1 && runB.startsWith(QLatin1Char('0')))
                runB.remove(0, 1);
            if (runA.size() != runB.size())
                return runA.size() < runB.size() ? -1 : 1;
        }
        const int order = runA.compare(runB);
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    return int(i < a.size()) - int(j < b.size());
}

StatementCheck checkStatement(const QByteArray &statementBytes, const QByteArray &signatureText,
                              const StatementExpectation &expected, ReleaseStatement *statement)
{
    const auto signature = Ed25519::decodeBase64(signatureText, Ed25519::kSignatureBytes);
    if (!signature)
        return failed(StatementFailure::Malformed, QStringLiteral("signature"));
    bool signedByKnownKey = false;
    for (const QByteArray &key : expected.publicKeys)
        signedByKnownKey = signedByKnownKey || Ed25519::verify(statementBytes, *signature, key);
    if (!signedByKnownKey)
        return failed(StatementFailure::UnknownKey, QString());

    StatementCheck check;
    const auto parsed = parseStatement(statementBytes, &check);
    if (!parsed)
        return check;
    if (parsed->version != expected.version)
        return failed(StatementFailure::WrongVersion, parsed->version + QStringLiteral(" != ") + expected.version);
    if (!expected.folder.isEmpty() && parsed->folder != expected.folder)
        return failed(StatementFailure::WrongVersion, parsed->folder + QStringLiteral(" != ") + expected.folder);
    if (parsed->sequence < expected.installedSequence)
        return failed(StatementFailure::Replayed,
                      QStringLiteral("%1 < %2").arg(parsed->sequence).arg(expected.installedSequence));
    if (!parsed->allowDowngrade && !expected.installedVersion.isEmpty()
        && compareVersions(parsed->version, expected.installedVersion) < 0)
        return failed(StatementFailure::Downgrade, parsed->version + QStringLiteral(" < ") + expected.installedVersion);
    if (parsed->expires.isValid() && parsed->expires <= expected.now)
        return failed(StatementFailure::Expired, parsed->expires.toString(Qt::ISODate));
    if (statement)
        *statement = *parsed;
    return StatementCheck();
}

StatementCheck checkStatementFile(const ReleaseStatement &statement, const QString &path, qint64 size,
                                  const QByteArray &sha256)
{
    const auto it = statement.files.constFind(path);
    if (it == statement.files.cend())
        return failed(StatementFailure::UnlistedFile, path);
    if (it->size != size || it->sha256 != sha256)
        return failed(StatementFailure::FileMismatch, path);
    return StatementCheck();
}
