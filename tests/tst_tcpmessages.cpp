// Wire formats of the TCP update protocol, checked against byte vectors
// written out by hand (never produced by the code under test), and the
// framing of a received byte stream.
#include "tcp/messages.h"

#include <QtTest>

using namespace TcpProtocol;

namespace {

// Bytes from a hex text; blanks are ignored.
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray zeros(int n)
{
    return QByteArray(n, '\0');
}

// A text field as the protocol lays it out: the bytes, then NUL up to width.
QByteArray field(const QByteArray &bytes, int width)
{
    return bytes + zeros(width - bytes.size());
}

QByteArray message(const char *headerHex, const QByteArray &payload)
{
    return hex(headerHex) + payload;
}

} // namespace

class TestTcpMessages : public QObject
{
    Q_OBJECT
private slots:
    void versionCheckRequest();
    void textFieldsAreCutAndPadded_data();
    void textFieldsAreCutAndPadded();
    void fileRequest();
    void steppingStoneTags_data();
    void steppingStoneTags();
    void replyHeaderField_data();
    void replyHeaderField();
    void heartbeat();
    void versionReply_data();
    void versionReply();
    void versionReplyEntries();
    void entryNames_data();
    void entryNames();
    void productNames_data();
    void productNames();
    void fileData_data();
    void fileData();
    void serverSide();
    void framing_data();
    void framing();
    void frameBound();
};

void TestTcpMessages::versionCheckRequest()
{
    const QByteArray payload = encodeVersionCheckRequest(VersionCheckRequest{QStringLiteral("1.2.3"), QStringLiteral("1"), 2});
    const QByteArray expected = field("1.2.3", 32) + field("1", 32) + hex("02000000") + zeros(16);
    QCOMPARE(payload.size(), 84);
    QCOMPARE(payload, expected);

    MessageHeader header;
    header.length = 84;
    header.type = VersionCheck;
    header.productType = 2;
    QCOMPARE(encodeHeader(header), hex("78563412 54000000 02000000 02000000 00000000"));
    QCOMPARE(encodeMessage(VersionCheck, 2, payload), hex("78563412 54000000 02000000 02000000 00000000") + expected);

    // An empty client identifier goes out as "Vantorelle".
    const QByteArray anonymous = encodeVersionCheckRequest(VersionCheckRequest{QStringLiteral("1"), QString(), 1});
    QCOMPARE(anonymous.mid(32, 32), field("Vantorelle", 32));

    // Declaring stepping stones fills the first 4 reserved bytes only.
    const QByteArray declaring = encodeVersionCheckRequest(VersionCheckRequest{QStringLiteral("1.2.3"), QStringLiteral("1"), 2, true});
    QCOMPARE(declaring, expected.left(68) + "STEP" + zeros(12));
}

void TestTcpMessages::textFieldsAreCutAndPadded_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("expected"); // the 32-byte version field

    QTest::newRow("short") << QStringLiteral("2.0") << field("2.0", 32);
    QTest::newRow("31 bytes fit") << QString(31, QLatin1Char('a')) << field(QByteArray(31, 'a'), 32);
    QTest::newRow("40 bytes: first 31 and NUL") << QString(40, QLatin1Char('b')) << field(QByteArray(31, 'b'), 32);
    // Eleven three-byte characters are 33 bytes: the cut at 31 falls inside
    // the eleventh.
    QTest::newRow("cut inside a character") << QString(11, QChar(0x7248))
                                            << field(QString(11, QChar(0x7248)).toUtf8().left(31), 32);
    QTest::newRow("empty") << QString() << zeros(32);
}

void TestTcpMessages::textFieldsAreCutAndPadded()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, expected);
    const QByteArray payload = encodeVersionCheckRequest(VersionCheckRequest{text, QStringLiteral("1"), 1});
    QCOMPARE(payload.left(32), expected);
    QCOMPARE(payload.size(), 84);
}

void TestTcpMessages::fileRequest()
{
    const QByteArray payload = encodeFileRequest(FileRequest{QStringLiteral("bin/plugins"), QStringLiteral("codec.dll")});
    QCOMPARE(payload, field("bin/plugins", 128) + field("codec.dll", 32) + zeros(16));

    const QByteArray longOnes = encodeFileRequest(FileRequest{QString(200, QLatin1Char('p')), QString(50, QLatin1Char('n'))});
    QCOMPARE(longOnes.size(), 176);
    QCOMPARE(longOnes.left(128), field(QByteArray(127, 'p'), 128));
    QCOMPARE(longOnes.mid(128, 32), field(QByteArray(31, 'n'), 32));

    const QByteArray stone = encodeFileRequest(FileRequest{QStringLiteral("bin/plugins"), QStringLiteral("codec.dll")},
                                               ReleaseChoice::SteppingStone);
    QCOMPARE(stone, field("bin/plugins", 128) + field("codec.dll", 32) + "STEP" + zeros(12));
}

void TestTcpMessages::steppingStoneTags_data()
{
    QTest::addColumn<bool>("fileRequest"); // else a version check
    QTest::addColumn<QByteArray>("reserved"); // the bytes received after the fields
    QTest::addColumn<bool>("tagged");
    for (const bool file : {false, true}) {
        const auto row = [file](const char *name) -> QTestData & {
            return QTest::newRow(qPrintable(QString(file ? "file request: " : "version check: ") + name)) << file;
        };
        row("zero, as older clients send") << zeros(16) << false;
        row("tag") << QByteArray("STEP") + zeros(12) << true;
        row("tag, the rest not read") << QByteArray("STEP") + QByteArray(12, 'x') << true;
        row("another tag") << QByteArray("STEQ") + zeros(12) << false;
        row("lower case") << QByteArray("step") + zeros(12) << false;
        row("tag one byte late") << zeros(1) + "STEP" + zeros(11) << false;
        row("cut inside the tag") << QByteArray("STE") << false;
        row("no reserved bytes") << QByteArray() << false;
    }
}

void TestTcpMessages::steppingStoneTags()
{
    QFETCH(bool, fileRequest);
    QFETCH(QByteArray, reserved);
    QFETCH(bool, tagged);
    if (fileRequest) {
        ReleaseChoice release = tagged ? ReleaseChoice::Newest : ReleaseChoice::SteppingStone;
        const FileRequest id = decodeFileRequest(field("dir", 128) + field("a.dll", 32) + reserved, &release);
        QCOMPARE(id, (FileRequest{QStringLiteral("dir"), QStringLiteral("a.dll")}));
        QCOMPARE(release, tagged ? ReleaseChoice::SteppingStone : ReleaseChoice::Newest);
    } else {
        const VersionCheckRequest request = decodeVersionCheckRequest(field("1.0", 32) + field("1", 32) + hex("05000000") + reserved);
        QCOMPARE(request.version, QStringLiteral("1.0"));
        QCOMPARE(request.productType, 5);
        QCOMPARE(request.knowsSteppingStones, tagged);
    }
}

// A version reply's header field as a client reads it: the staged share,
// the stepping stone's flag, or neither (a server that predates both, or a
// value of another meaning).
void TestTcpMessages::replyHeaderField_data()
{
    QTest::addColumn<quint32>("reserved");
    QTest::addColumn<int>("rollout");
    QTest::addColumn<bool>("steppingStone");
    QTest::newRow("none") << 0u << 100 << false;
    QTest::newRow("share") << 0x5200001Eu << 30 << false;
    QTest::newRow("halt") << 0x52000000u << 0 << false;
    QTest::newRow("share of 100") << 0x52000064u << 100 << false;
    QTest::newRow("stepping stone") << 0x53000000u << 100 << true;
    QTest::newRow("stepping stone flag with a share") << 0x5300001Eu << 100 << false;
    QTest::newRow("share flag among more top bits") << 0x7200001Eu << 100 << false;
    QTest::newRow("percent without a flag") << 30u << 100 << false;
}

void TestTcpMessages::replyHeaderField()
{
    QFETCH(quint32, reserved);
    QFETCH(int, rollout);
    QFETCH(bool, steppingStone);
    QCOMPARE(rolloutOfField(reserved), rollout);
    QCOMPARE(isSteppingStoneField(reserved), steppingStone);
}

void TestTcpMessages::heartbeat()
{
    QCOMPARE(encodeHeartbeat(0x0102030405060708LL), hex("0807060504030201"));
    QCOMPARE(encodeHeartbeat(-1), hex("ffffffffffffffff"));
}

void TestTcpMessages::versionReply_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("needUpdate");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("productName");
    QTest::addColumn<int>("files");

    const QByteArray fixed = hex("01") + field("2.0.1", 32) + hex("03000000") + QByteArray(16, '\x5a');
    const QByteArray entry = field("sub", 128) + field("a.dll", 32) + QByteArray(20, '\x33');

    QTest::newRow("shorter than 57 bytes") << fixed.left(56) << false << QString() << QString() << 0;
    QTest::newRow("exactly 57 bytes, count 3") << fixed + hex("03000000") << true << "2.0.1" << "quiet pond" << 0;
    QTest::newRow("count 0 ignores entries") << fixed + hex("00000000") + entry << true << "2.0.1" << "quiet pond" << 0;
    QTest::newRow("count 2, both whole") << fixed + hex("02000000") + entry + entry << true << "2.0.1" << "quiet pond" << 2;
    QTest::newRow("count 2, second cut short") << fixed + hex("02000000") + entry + entry.left(179) << true << "2.0.1"
                                               << "quiet pond" << 1;
    QTest::newRow("count far beyond payload") << fixed + hex("ffffffff") + entry << true << "2.0.1" << "quiet pond" << 1;
    QTest::newRow("needUpdate any non-zero byte")
        << hex("80") + fixed.mid(1) + hex("00000000") << true << "2.0.1" << "quiet pond" << 0;
    QTest::newRow("no update") << hex("00") + fixed.mid(1) + hex("00000000") << false << "2.0.1" << "quiet pond" << 0;
    QTest::newRow("version without NUL") << hex("01") + QByteArray(32, 'v') + hex("01000000") + zeros(16) + hex("00000000")
                                         << true << QString(32, QLatin1Char('v')) << "Pelican" << 0;
}

void TestTcpMessages::versionReply()
{
    QFETCH(QByteArray, payload);
    const VersionInfo info = decodeVersionReply(payload);
    QTEST(info.needUpdate, "needUpdate");
    QTEST(info.version, "version");
    QTEST(info.productName, "productName");
    QTEST(static_cast<int>(info.files.size()), "files");
}

void TestTcpMessages::versionReplyEntries()
{
    const QByteArray payload = hex("01") + field("3", 32) + hex("01000000") + zeros(16) + hex("02000000")
                               + field("", 128) + field("update.ini", 32) + zeros(20)
                               + field("plugins/\xe4\xb8\xad", 128) + field("x.dll", 32) + QByteArray(20, '\xff');
    const VersionInfo info = decodeVersionReply(payload);
    QCOMPARE(info.files.size(), 2);
    QCOMPARE(info.files.at(0).raw.size(), 180);
    QCOMPARE(info.files.at(0).filePath(), QString());
    QCOMPARE(info.files.at(0).fileName(), QStringLiteral("update.ini"));
    QCOMPARE(info.files.at(1).filePath(), QStringLiteral("plugins/中"));
    QCOMPARE(info.files.at(1).fileName(), QStringLiteral("x.dll"));
}

// Names that are not UTF-8 would read back as other names; they are shown
// escaped, as sent.
void TestTcpMessages::entryNames_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("undecodable");
    QTest::newRow("ASCII") << QByteArray("plugins") << QByteArray("a.dll") << QString();
    QTest::newRow("UTF-8") << QByteArray("数据") << QByteArray("说明.txt") << QString();
    QTest::newRow("name byte") << QByteArray("sub") << QByteArray("a\xff.dll") << "sub/a\\xff.dll";
    QTest::newRow("path cut inside a character") << QByteArray("ab\xe6\x95") << QByteArray("x") << "ab\\xe6\\x95/x";
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << QByteArray("x") << "\\xed\\xa0\\x80/x";
}

void TestTcpMessages::entryNames()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, name);
    const FileEntry entry{field(path, 128) + field(name, 32) + zeros(20)};
    QTEST(entry.undecodableName(), "undecodable");
}

void TestTcpMessages::productNames_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("0") << 0 << "Unknown";
    QTest::newRow("1") << 1 << "Pelican";
    QTest::newRow("2") << 2 << "Marigolds";
    QTest::newRow("3") << 3 << "quiet pond";
    QTest::newRow("4") << 4 << "lanternly";
    QTest::newRow("5") << 5 << "Halberdine";
    QTest::newRow("6") << 6 << "Orchidwell";
    QTest::newRow("7") << 7 << "Unknown";
    QTest::newRow("-1") << -1 << "Unknown";
}

void TestTcpMessages::productNames()
{
    QFETCH(int, code);
    QTEST(productName(code), "name");
}

void TestTcpMessages::fileData_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::addColumn<uint>("total");
    QTest::addColumn<uint>("chunkSize");
    QTest::addColumn<bool>("isLast");
    QTest::addColumn<QByteArray>("data");

    const QByteArray fixed = field("sub/dir", 128) + field("a.bin", 32) + hex("10270000") + hex("05000000");
    QTest::newRow("with data") << fixed + hex("01") + hex("deadbeef") + "hello" << "sub/dir" << "a.bin" << 10000u << 5u
                               << true << QByteArray("hello");
    QTest::newRow("exactly 173 bytes") << fixed + hex("00") + zeros(4) << "sub/dir" << "a.bin" << 10000u << 5u << false
                                       << QByteArray();
    // chunkSize is taken as sent, not checked against the data.
    QTest::newRow("chunkSize not checked") << fixed + hex("02") + zeros(4) + "xy" << "sub/dir" << "a.bin" << 10000u << 5u
                                           << true << QByteArray("xy");
    QTest::newRow("shorter than 173 bytes") << (fixed + hex("01") + zeros(4)).left(172) << QString() << QString() << 0u
                                            << 0u << false << QByteArray();
}

void TestTcpMessages::fileData()
{
    QFETCH(QByteArray, payload);
    const FileDataChunk chunk = decodeFileData(payload);
    QTEST(chunk.filePath, "path");
    QTEST(chunk.fileName, "name");
    QTEST(static_cast<uint>(chunk.totalSize), "total");
    QTEST(static_cast<uint>(chunk.chunkSize), "chunkSize");
    QTEST(chunk.isLast, "isLast");
    QTEST(chunk.data, "data");
}

void TestTcpMessages::serverSide()
{
    VersionReplyContent reply;
    reply.needUpdate = true;
    reply.version = QStringLiteral("2.0");
    reply.productCode = 6;
    reply.files = {FileRequest{QString(), QStringLiteral("md5.txt")}, FileRequest{QStringLiteral("sub"), QStringLiteral("a")}};
    QCOMPARE(encodeVersionReply(reply), hex("01") + field("2.0", 32) + hex("06000000") + zeros(16) + hex("02000000")
                                            + field("", 128) + field("md5.txt", 32) + zeros(20)
                                            + field("sub", 128) + field("a", 32) + zeros(20));

    FileDataChunk chunk;
    chunk.filePath = QStringLiteral("sub");
    chunk.fileName = QStringLiteral("a");
    chunk.totalSize = 0x01020304;
    chunk.chunkSize = 3;
    chunk.isLast = true;
    chunk.unread = 7;
    QCOMPARE(encodeFileDataPrefix(chunk),
             field("sub", 128) + field("a", 32) + hex("04030201") + hex("03000000") + hex("01") + hex("07000000"));

    const VersionCheckRequest request = decodeVersionCheckRequest(field("1.0", 32) + field("1", 32) + hex("05000000") + zeros(16));
    QCOMPARE(request.version, QStringLiteral("1.0"));
    QCOMPARE(request.clientId, QStringLiteral("1"));
    QCOMPARE(request.productType, 5);
    // A short request reads as if padded with NUL bytes.
    QCOMPARE(decodeFileRequest(field("dir", 128) + "nam"), (FileRequest{QStringLiteral("dir"), QStringLiteral("nam")}));
}

void TestTcpMessages::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QStringList>("expected"); // "type:payload-hex" per message, "!magic" for a dropped buffer

    const QByteArray heartbeatReply = message("78563412 00000000 01800000 00000000 00000000", QByteArray());
    const QByteArray error = message("78563412 00000000 ffff0000 09000000 09000000", QByteArray());
    const QByteArray unknown = message("78563412 02000000 04800000 00000000 00000000", hex("abcd"));
    const QByteArray data = message("78563412 03000000 03800000 00000000 00000000", hex("010203"));

    QTest::newRow("one message") << QList<QByteArray>{data} << QStringList{"32771:010203"};
    QTest::newRow("two messages in one read") << QList<QByteArray>{heartbeatReply + data}
                                              << QStringList{"32769:", "32771:010203"};
    QTest::newRow("split inside the header") << QList<QByteArray>{data.left(7), data.mid(7)} << QStringList{"32771:010203"};
    QTest::newRow("split inside the payload") << QList<QByteArray>{data.left(21), data.mid(21, 1), data.mid(22)}
                                              << QStringList{"32771:010203"};
    QTest::newRow("byte by byte, then more") << [&] {
        QList<QByteArray> reads;
        for (char c : error)
            reads.append(QByteArray(1, c));
        reads.append(data);
        return reads;
    }() << QStringList{"65535:", "32771:010203"};
    QTest::newRow("unknown type handed out, next follows") << QList<QByteArray>{unknown + data}
                                                           << QStringList{"32772:abcd", "32771:010203"};
    QTest::newRow("magic in the wrong byte order drops all") << QList<QByteArray>{hex("12345678") + data.mid(4) + data}
                                                             << QStringList{"!magic"};
    QTest::newRow("after a dropped buffer new data counts") << QList<QByteArray>{hex("0000000000000000000000000000000000000000"), data}
                                                            << QStringList{"!magic", "32771:010203"};
    QTest::newRow("length near 4 GiB is refused") << QList<QByteArray>{hex("78563412 ffffffff 03800000 00000000 00000000") + "x"}
                                             << QStringList{"!long"};
}

void TestTcpMessages::framing()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QStringList, expected);

    FrameReader reader;
    QStringList got;
    for (const QByteArray &bytes : reads) {
        reader.append(bytes);
        MessageHeader header;
        QByteArray payload;
        for (bool more = true; more;) {
            switch (reader.next(header, payload)) {
            case FrameReader::Status::NeedMore:
                more = false;
                break;
            case FrameReader::Status::BadMagic:
                got << QStringLiteral("!magic");
                more = false;
                break;
            case FrameReader::Status::TooLong:
                got << QStringLiteral("!long");
                more = false;
                break;
            case FrameReader::Status::Message:
                got << QStringLiteral("%1:%2").arg(header.type).arg(QString::fromLatin1(payload.toHex()));
                break;
            }
        }
    }
    QCOMPARE(got, expected);
    QCOMPARE(reader.buffered(), 0);
}

void TestTcpMessages::frameBound()
{
    FrameReader reader(16);
    const QByteArray atLimit = message("78563412 10000000 03800000 00000000 00000000", QByteArray(16, 'a'));
    const QByteArray overLimit = message("78563412 11000000 03800000 00000000 00000000", QByteArray(17, 'a'));
    MessageHeader header;
    QByteArray payload;

    reader.append(atLimit);
    QCOMPARE(reader.next(header, payload), FrameReader::Status::Message);
    QCOMPARE(payload, QByteArray(16, 'a'));

    // Refused from the header alone, before the payload is there.
    reader.append(overLimit.left(20));
    QCOMPARE(reader.next(header, payload), FrameReader::Status::TooLong);
    QCOMPARE(reader.buffered(), 0);

    QCOMPARE(kMaxPayload, 64u * 1024u * 1024u);
}

QTEST_GUILESS_MAIN(TestTcpMessages)
#include "tst_tcpmessages.moc"
