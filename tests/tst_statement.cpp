// The release statement: its text format, the order of its checks against
// the configured keys, the installed sequence and the clock, the staged
// file rule, and the base64 forms of keys and signatures.
#include "trust/ed25519.h"
#include "trust/statement.h"

#include <QCryptographicHash>
#include <QtTest>

Q_DECLARE_METATYPE(StatementFailure)

namespace {

QByteArray sha(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

const QByteArray kHead = "release-statement\t1\nversion\t2.0\nfolder\t2.0\nsequence\t7\n";
const QByteArray kFileLine = "file\t3\t" + sha("abc").toHex() + "\t/bin/a.dll\n";

ReleaseStatement sample()
{
    ReleaseStatement s;
    s.version = QStringLiteral("2.0");
    s.folder = QStringLiteral("2.0");
    s.sequence = 7;
    s.rollout = 25;
    s.expires = QDateTime(QDate(2030, 1, 2), QTime(3, 4, 5), Qt::UTC);
    s.files.insert(QStringLiteral("/bin/a.dll"), {3, sha("abc")});
    s.files.insert(QStringLiteral("/数据/说明.txt"), {0, sha("")});
    return s;
}

} // namespace

class TestStatement : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip()
    {
        const ReleaseStatement s = sample();
        const auto parsed = parseStatement(serializeStatement(s));
        QVERIFY(parsed);
        QCOMPARE(parsed->version, s.version);
        QCOMPARE(parsed->folder, s.folder);
        QCOMPARE(parsed->sequence, s.sequence);
        QCOMPARE(parsed->expires, s.expires);
        QCOMPARE(parsed->rollout, s.rollout);
        QCOMPARE(parsed->files.keys(), s.files.keys());
        QCOMPARE(parsed->files.first().sha256, s.files.first().sha256);
        QCOMPARE(serializeStatement(*parsed), serializeStatement(s));
    }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::newRow("head only") << kHead << true;
        QTest::newRow("with file and expiry") << kHead + "expires\t2030-01-02T03:04:05Z\n" + kFileLine << true;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("no final line end") << kHead + kFileLine.chopped(1) << false;
        QTest::newRow("CR LF") << QByteArray(kHead).replace("\n", "\r\n") << false;
        QTest::newRow("other format version") << QByteArray(kHead).replace("statement\t1", "statement\t2") << false;
        QTest::newRow("keys out of order") << QByteArray(kHead).replace("version\t2.0\nfolder\t2.0", "folder\t2.0\nversion\t2.0")
                                           << false;
        QTest::newRow("unknown key") << kHead + "colour\tred\n" << false;
        QTest::newRow("key twice") << kHead + "sequence\t8\n" << false;
        QTest::newRow("sequence 0") << QByteArray(kHead).replace("\t7\n", "\t0\n") << false;
        QTest::newRow("sequence leading zero") << QByteArray(kHead).replace("\t7\n", "\t07\n") << false;
        QTest::newRow("sequence sign") << QByteArray(kHead).replace("\t7\n", "\t+7\n") << false;
        QTest::newRow("sequence too large") << QByteArray(kHead).replace("\t7\n", "\t99999999999999999999\n") << false;
        QTest::newRow("empty version") << QByteArray(kHead).replace("version\t2.0", "version\t") << false;
        QTest::newRow("expiry not UTC form") << kHead + "expires\t2030-01-02 03:04:05\n" << false;
        QTest::newRow("expiry no date") << kHead + "expires\t2030-02-30T00:00:00Z\n" << false;
        QTest::newRow("empty line") << kHead + "\n" + kFileLine << false;
        QTest::newRow("file field missing") << kHead + "file\t3\t/a\n" << false;
        QTest::newRow("file digest upper case") << kHead + QByteArray(kFileLine).replace(sha("abc").toHex(), sha("abc").toHex().toUpper())
                                                << false;
        QTest::newRow("file digest short") << kHead + "file\t3\tabcd\t/a\n" << false;
        QTest::newRow("file size negative") << kHead + QByteArray(kFileLine).replace("\t3\t", "\t-3\t") << false;
        QTest::newRow("file path leaves") << kHead + QByteArray(kFileLine).replace("/bin/a.dll", "/../a.dll") << false;
        QTest::newRow("file path absolute") << kHead + QByteArray(kFileLine).replace("/bin/a.dll", "bin/a.dll") << false;
        QTest::newRow("file twice") << kHead + kFileLine + kFileLine << false;
        QTest::newRow("files unsorted") << kHead + kFileLine + QByteArray(kFileLine).replace("/bin/a.dll", "/a.dll") << false;
        QTest::newRow("path not UTF-8") << kHead + QByteArray(kFileLine).replace("/bin/a.dll", "/\xff.dll") << false;
        QTest::newRow("path control char") << kHead + QByteArray(kFileLine).replace("/bin/a.dll", "/a\x01.dll") << false;
        QTest::newRow("downgrade allowed") << kHead + "downgrade\tallowed\n" + kFileLine << true;
        QTest::newRow("downgrade after expiry") << kHead + "expires\t2030-01-02T03:04:05Z\ndowngrade\tallowed\n" << true;
        QTest::newRow("downgrade before expiry") << kHead + "downgrade\tallowed\nexpires\t2030-01-02T03:04:05Z\n" << false;
        QTest::newRow("downgrade other value") << kHead + "downgrade\tyes\n" << false;
        QTest::newRow("rollout share") << kHead + "downgrade\tallowed\nrollout\t0\n" + kFileLine << true;
        QTest::newRow("rollout before downgrade") << kHead + "rollout\t5\ndowngrade\tallowed\n" << false;
        QTest::newRow("rollout of all is left out") << kHead + "rollout\t100\n" << false;
        QTest::newRow("rollout leading zero") << kHead + "rollout\t05\n" << false;
    }
    void parse()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        StatementCheck check;
        QCOMPARE(parseStatement(bytes, &check).has_value(), valid);
        QCOMPARE(check.failure, valid ? StatementFailure::None : StatementFailure::Malformed);
    }

    void check_data()
    {
        QTest::addColumn<QByteArray>("statement");
        QTest::addColumn<QByteArray>("signedBytes"); // what the signature covers
        QTest::addColumn<int>("signer");              // 0 first configured key, 1 second, 2 unknown
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<quint64>("installed");
        QTest::addColumn<StatementFailure>("expected");
        QTest::addColumn<QString>("floor"); // the installed version description's
        const QByteArray good = serializeStatement(sample());
        const QString v = QStringLiteral("2.0");
        QTest::newRow("good") << good << good << 0 << v << v << quint64(6) << StatementFailure::None << QString("1.9");
        QTest::newRow("rotated key") << good << good << 1 << v << QString() << quint64(7) << StatementFailure::None << QString("1.9");
        QTest::newRow("unknown key") << good << good << 2 << v << v << quint64(0) << StatementFailure::UnknownKey << QString("1.9");
        QTest::newRow("edited after signing") << QByteArray(good).replace("\t7\n", "\t8\n") << good << 0 << v << v
                                              << quint64(0) << StatementFailure::UnknownKey << QString("1.9");
        const QByteArray junk = "not a statement\n";
        QTest::newRow("signed junk") << junk << junk << 0 << v << v << quint64(0) << StatementFailure::Malformed << QString("1.9");
        QTest::newRow("other version") << good << good << 0 << QStringLiteral("3.0") << v << quint64(0)
                                       << StatementFailure::WrongVersion << QString("1.9");
        QTest::newRow("other folder") << good << good << 0 << v << QStringLiteral("3.0") << quint64(0)
                                      << StatementFailure::WrongVersion << QString("1.9");
        QTest::newRow("replayed") << good << good << 0 << v << v << quint64(8) << StatementFailure::Replayed << QString("1.9");
        QTest::newRow("below the installed version") << good << good << 0 << v << v << quint64(0)
                                                     << StatementFailure::Downgrade << QString("10.0");
        ReleaseStatement rollback = sample();
        rollback.allowDowngrade = true;
        const QByteArray allowed = serializeStatement(rollback);
        QTest::newRow("rollback the publisher allows") << allowed << allowed << 0 << v << v << quint64(0)
                                                       << StatementFailure::None << QString("10.0");
        ReleaseStatement old = sample();
        old.expires = QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC);
        const QByteArray expired = serializeStatement(old);
        QTest::newRow("expired") << expired << expired << 0 << v << v << quint64(0) << StatementFailure::Expired << QString("1.9");
    }
    void check()
    {
        QFETCH(QByteArray, statement);
        QFETCH(QByteArray, signedBytes);
        QFETCH(int, signer);
        QFETCH(QString, version);
        QFETCH(QString, folder);
        QFETCH(quint64, installed);
        QFETCH(StatementFailure, expected);
        QFETCH(QString, floor);
        const Ed25519::KeyPair keys[] = {Ed25519::generate(), Ed25519::generate(), Ed25519::generate()};
        const StatementExpectation expectation{{keys[0].publicKey, keys[1].publicKey}, version, folder, installed,
                                               QDateTime(QDate(2026, 12, 8), QTime(18, 0), Qt::UTC), floor};
        const QByteArray signature = Ed25519::sign(signedBytes, keys[signer].secretKey).toBase64() + '\n';
        ReleaseStatement accepted;
        const StatementCheck result = checkStatement(statement, signature, expectation, &accepted);
        QCOMPARE(result.failure, expected);
        QCOMPARE(accepted.sequence, expected == StatementFailure::None ? quint64(7) : quint64(0));
    }

    void signatureText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<StatementFailure>("expected");
        QTest::newRow("empty") << QByteArray() << StatementFailure::Malformed;
        QTest::newRow("not base64") << QByteArray("!!!!") << StatementFailure::Malformed;
        QTest::newRow("too short") << QByteArray(63, 'x').toBase64() << StatementFailure::Malformed;
        QTest::newRow("right size, wrong bytes") << QByteArray(64, 'x').toBase64() << StatementFailure::UnknownKey;
    }
    void signatureText()
    {
        QFETCH(QByteArray, text);
        QFETCH(StatementFailure, expected);
        const StatementExpectation expectation{{Ed25519::generate().publicKey}, "2.0", "2.0", 0, QDateTime()};
        QCOMPARE(checkStatement(serializeStatement(sample()), text, expectation, nullptr).failure, expected);
    }

    void stagedFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<StatementFailure>("expected");
        QTest::newRow("listed") << "/bin/a.dll" << qint64(3) << QByteArray("abc") << StatementFailure::None;
        QTest::newRow("flipped byte") << "/bin/a.dll" << qint64(3) << QByteArray("abd") << StatementFailure::FileMismatch;
        QTest::newRow("truncated") << "/bin/a.dll" << qint64(2) << QByteArray("abc") << StatementFailure::FileMismatch;
        QTest::newRow("unlisted") << "/bin/b.dll" << qint64(3) << QByteArray("abc") << StatementFailure::UnlistedFile;
        QTest::newRow("case differs") << "/BIN/a.dll" << qint64(3) << QByteArray("abc") << StatementFailure::UnlistedFile;
    }
    void stagedFile()
    {
        QFETCH(QString, path);
        QFETCH(qint64, size);
        QFETCH(QByteArray, content);
        QFETCH(StatementFailure, expected);
        QCOMPARE(checkStatementFile(sample(), path, size, sha(content)).failure, expected);
    }

    void versionOrder_data()
    {
        QTest::addColumn<QString>("lower");
        QTest::addColumn<QString>("higher");
        QTest::newRow("numbers, not text") << "1.9" << "1.10";
        QTest::newRow("major") << "2.0" << "10.0";
        QTest::newRow("prefix is lower") << "2.0" << "2.0.1";
        QTest::newRow("leading zeros") << "1.02" << "1.3";
        QTest::newRow("text runs") << "2.0-alpha" << "2.0-beta";
        QTest::newRow("longer than 64 bits") << "1.99999999999999999999" << "1.100000000000000000000";
    }
    void versionOrder()
    {
        QFETCH(QString, lower);
        QFETCH(QString, higher);
        QCOMPARE(compareVersions(lower, higher), -1);
        QCOMPARE(compareVersions(higher, lower), 1);
        QCOMPARE(compareVersions(lower, lower), 0);
    }

    void publicKeys_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count"); // -1: refused
        const QString a = QString::fromLatin1(QByteArray(32, 'a').toBase64());
        const QString b = QString::fromLatin1(QByteArray(32, 'b').toBase64());
        QTest::newRow("none") << QString() << 0;
        QTest::newRow("one") << a << 1;
        QTest::newRow("two, comma and blanks") << a + QStringLiteral(" , ") + b << 2;
        QTest::newRow("wrong size") << QString::fromLatin1(QByteArray(31, 'a').toBase64()) << -1;
        QTest::newRow("padding missing") << a.chopped(1) << -1;
        QTest::newRow("one bad of two") << a + QStringLiteral(",x") << -1;
    }
    void publicKeys()
    {
        QFETCH(QString, text);
        QFETCH(int, count);
        const auto keys = Ed25519::parsePublicKeys(text);
        QCOMPARE(keys ? keys->size() : -1, count);
    }
};

QTEST_GUILESS_MAIN(TestStatement)
#include "tst_statement.moc"
