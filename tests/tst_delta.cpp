// Binary patches: what decodes, what is refused and why, applying one file
// to another on disk, and the worker thread that does it for a run.
#include "delta/patchcodec.h"
#include "delta/patchfile.h"
#include "delta/patchindex.h"
#include "delta/patchsource.h"
#include "delta/patchworker.h"
#include "matchedpatch.h"
#include "support/testfiles.h"

#include <QtTest>

#include <zstd.h>

Q_DECLARE_METATYPE(Delta::PatchFailure)
Q_DECLARE_METATYPE(Delta::Method)

namespace {

QByteArray edited(QByteArray bytes)
{
    bytes.replace(bytes.size() / 3, 100, randomBytes(150, 7));
    bytes.remove(bytes.size() * 2 / 3, 64);
    return bytes + "tail";
}

QByteArray makeWith(Delta::Method method, const QByteArray &base, const QByteArray &target)
{
    return method == Delta::Method::Matched ? Delta::makeMatchedPatch(base, target) : Delta::makePatch(base, target);
}

// A method-2 patch from base to target of hand-made streams.
QByteArray matchedOf(const QByteArray &base, const QByteArray &target, const std::vector<Delta::Segment> &segments,
                     const QByteArray &diff, const QByteArray &extra)
{
    return Delta::encodeHeader(Delta::headerOf(base, target, Delta::Method::Matched))
        + Delta::packStreams(Delta::compressStream(Delta::encodeSegments(segments), 3), Delta::compressStream(diff, 3),
                             Delta::compressStream(extra, 3));
}

} // namespace

class TestDelta : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void refused_data();
    void refused();
    void patchFile();
    void worker_data();
    void worker();
    void index_data();
    void index();
};

void TestDelta::roundTrip_data()
{
    QTest::addColumn<Delta::Method>("method");
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("most"); // bytes the patch may take

    const QByteArray large = randomBytes(3 << 20, 1);
    const QByteArray program = randomBytes(1 << 20, 6);
    for (const auto method : {Delta::Method::ZstdPrefix, Delta::Method::Matched}) {
        const QByteArray name = method == Delta::Method::Matched ? "matched: " : "";
        QTest::newRow(name + "edited") << method << large << edited(large) << 4096;
        QTest::newRow(name + "identical") << method << large << large << 4096;
        QTest::newRow(name + "empty base") << method << QByteArray() << randomBytes(1000, 2) << 1200;
        QTest::newRow(name + "empty target") << method << randomBytes(1000, 3) << QByteArray() << 200;
        QTest::newRow(name + "both empty") << method << QByteArray() << QByteArray() << 200;
        // A move from the end to the start needs the window to span both files.
        QTest::newRow(name + "halves swapped") << method << large << large.mid(large.size() / 2) + large.left(large.size() / 2)
                                               << 4096;
    }
    // Mostly zeros in the difference stream: a fraction of what the other
    // method needs for the same pair.
    QTest::newRow("matched: shifted addresses") << Delta::Method::Matched << program << shiftedProgram(program, 400000, 1000)
                                                << 1000 + 8000;
}

void TestDelta::roundTrip()
{
    QFETCH(Delta::Method, method);
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, target);
    QFETCH(int, most);
    const QByteArray patch = makeWith(method, base, target);
    QVERIFY(patch.size() >= Delta::kHeaderSize);
    QCOMPARE(Delta::parseHeader(patch.constData(), patch.size())->method, method);
    Delta::PatchFailure failure = Delta::PatchFailure::Io;
    const auto result = Delta::applyPatch(base, patch, target.size(), &failure);
    QCOMPARE(failure, Delta::PatchFailure::None);
    QVERIFY(result && *result == target);
    // What the base holds costs next to nothing.
    QVERIFY2(patch.size() <= most, qPrintable(QString::number(patch.size())));
}

void TestDelta::refused_data()
{
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<qint64>("bound");
    QTest::addColumn<Delta::PatchFailure>("failure");

    const QByteArray base = randomBytes(20000, 4);
    const QByteArray target = edited(base);
    const QByteArray patch = Delta::makePatch(base, target);
    const qint64 size = target.size();
    auto with = [&](int at, char byte) {
        QByteArray p = patch;
        p[at] = byte;
        return p;
    };
    QByteArray changedBase = base;
    changedBase[5000] = static_cast<char>(changedBase[5000] ^ 1);
    QByteArray wrongTarget = patch;
    wrongTarget.replace(64, 32, QByteArray(32, 'x'));
    const QByteArray payload = patch.mid(Delta::kHeaderSize);
    // The same frame without the declared content size.
    QByteArray unsized = patch;
    {
        ZSTD_CCtx *c = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
        ZSTD_CCtx_refPrefix(c, base.constData(), base.size());
        QByteArray frame(int(ZSTD_compressBound(target.size())), '\0');
        frame.resize(int(ZSTD_compress2(c, frame.data(), frame.size(), target.constData(), target.size())));
        ZSTD_freeCCtx(c);
        unsized = patch.left(Delta::kHeaderSize) + frame;
    }

    QTest::newRow("base changed") << changedBase << patch << size << Delta::PatchFailure::BaseMismatch;
    QTest::newRow("base shorter") << base.left(base.size() - 1) << patch << size << Delta::PatchFailure::BaseMismatch;
    QTest::newRow("target over the bound") << base << patch << size - 1 << Delta::PatchFailure::TooLarge;
    QTest::newRow("no header") << base << patch.left(Delta::kHeaderSize - 1) << size << Delta::PatchFailure::Malformed;
    QTest::newRow("bad magic") << base << with(0, 'X') << size << Delta::PatchFailure::Malformed;
    QTest::newRow("other version") << base << with(8, 2) << size << Delta::PatchFailure::Malformed;
    QTest::newRow("unknown method") << base << with(12, 3) << size << Delta::PatchFailure::Malformed;
    QTest::newRow("reserved set") << base << with(14, 1) << size << Delta::PatchFailure::Malformed;
    QTest::newRow("no payload") << base << patch.left(Delta::kHeaderSize) << size << Delta::PatchFailure::Corrupt;
    QTest::newRow("payload cut") << base << patch.left(patch.size() - 3) << size << Delta::PatchFailure::Corrupt;
    QTest::newRow("trailing bytes") << base << patch + "x" << size << Delta::PatchFailure::Corrupt;
    QTest::newRow("two frames") << base << patch + payload << size << Delta::PatchFailure::Corrupt;
    QTest::newRow("legacy frame magic") << base << with(Delta::kHeaderSize, '\x27') << size
                                        << Delta::PatchFailure::Corrupt;
    QTest::newRow("no content size") << base << unsized << size << Delta::PatchFailure::Corrupt;
    QTest::newRow("target digest forged") << base << wrongTarget << size << Delta::PatchFailure::TargetMismatch;

    const QByteArray matched = Delta::makeMatchedPatch(base, target);
    const QByteArray zeros(base.size(), '\0');
    QByteArray lengthsPast = matched;
    lengthsPast[Delta::kHeaderSize + 7] = '\x40'; // the control stream's length, 2^62 bytes
    // The difference stream claims a window beyond the decoder's bound.
    QByteArray wideFrame(int(ZSTD_compressBound(zeros.size())) + 64, '\0');
    {
        ZSTD_CCtx *c = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, Delta::kMatchedWindowLog + 1);
        ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
        ZSTD_inBuffer in{zeros.constData(), size_t(zeros.size()), 0};
        ZSTD_outBuffer out{wideFrame.data(), size_t(wideFrame.size()), 0};
        ZSTD_compressStream2(c, &out, &in, ZSTD_e_continue);
        while (ZSTD_compressStream2(c, &out, &in, ZSTD_e_end) > 0) {
        }
        wideFrame.resize(int(out.pos));
        ZSTD_freeCCtx(c);
    }
    const QByteArray wideWindow = Delta::encodeHeader(Delta::headerOf(base, base, Delta::Method::Matched))
        + Delta::packStreams(Delta::compressStream(Delta::encodeSegments({{0, 0, quint64(base.size())}}), 3),
                             wideFrame, Delta::compressStream(QByteArray(), 3));
    const quint64 n = quint64(size);
    QTest::newRow("matched: copy past the base")
        << base << matchedOf(base, target, {{0, base.size() - 10, 20}, {n - 20, 0, 0}}, zeros.left(20), target) << size
        << Delta::PatchFailure::Corrupt;
    QTest::newRow("matched: seek before the base")
        << base << matchedOf(base, target, {{0, -1, n}}, QByteArray(size, '\0'), QByteArray()) << size
        << Delta::PatchFailure::Corrupt;
    QTest::newRow("matched: past the target")
        << base << matchedOf(base, target, {{n + 1, 0, 0}}, QByteArray(), target + "x") << size
        << Delta::PatchFailure::Corrupt;
    QTest::newRow("matched: empty segment")
        << base << matchedOf(base, target, {{0, 0, 0}, {n, 0, 0}}, QByteArray(), target) << size
        << Delta::PatchFailure::Corrupt;
    QTest::newRow("matched: segment after the target")
        << base << matchedOf(base, target, {{n, 0, 0}, {0, 0, 1}}, zeros.left(1), target) << size
        << Delta::PatchFailure::Corrupt;
    QTest::newRow("matched: extra bytes left over")
        << base << matchedOf(base, target, {{n, 0, 0}}, QByteArray(), target + "x") << size
        << Delta::PatchFailure::Corrupt;
    QTest::newRow("matched: stream cut") << base << matched.left(matched.size() - 3) << size
                                         << Delta::PatchFailure::Corrupt;
    QTest::newRow("matched: trailing bytes") << base << matched + "x" << size << Delta::PatchFailure::Corrupt;
    QTest::newRow("matched: lengths past the payload") << base << lengthsPast << size << Delta::PatchFailure::Corrupt;
    QTest::newRow("matched: window claim too large") << base << wideWindow << qint64(base.size())
                                                     << Delta::PatchFailure::Corrupt;
    // The same streams as the refused ones, well-formed: what they are
    // refused for is the one thing changed.
    QTest::newRow("matched: hand-made, digest checked")
        << base << matchedOf(base, target, {{n, 0, 0}}, QByteArray(), target.left(size - 1) + "x") << size
        << Delta::PatchFailure::TargetMismatch;
}

void TestDelta::refused()
{
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, patch);
    QFETCH(qint64, bound);
    QFETCH(Delta::PatchFailure, failure);
    Delta::PatchFailure got = Delta::PatchFailure::None;
    QVERIFY(!Delta::applyPatch(base, patch, bound, &got));
    QCOMPARE(got, failure);
}

void TestDelta::patchFile()
{
    QTemporaryDir dir;
    const QByteArray base = randomBytes(1 << 20, 5);
    const QByteArray target = edited(base);
    QVERIFY(writeTestFile(dir.filePath("base"), base));
    QVERIFY(writeTestFile(dir.filePath("patch"), Delta::makePatch(base, target)));
    QVERIFY(writeTestFile(dir.filePath("out"), "stale content, replaced"));
    QCOMPARE(Delta::applyPatchFile(dir.filePath("base"), dir.filePath("patch"), dir.filePath("out"), target.size()),
             Delta::PatchFailure::None);
    QCOMPARE(readTestFile(dir.filePath("out")), target);

    // A failure leaves no output behind.
    QVERIFY(writeTestFile(dir.filePath("base"), edited(base)));
    QCOMPARE(Delta::applyPatchFile(dir.filePath("base"), dir.filePath("patch"), dir.filePath("out"), target.size()),
             Delta::PatchFailure::BaseMismatch);
    QVERIFY(!QFile::exists(dir.filePath("out")));
    QCOMPARE(Delta::applyPatchFile(dir.filePath("missing"), dir.filePath("patch"), dir.filePath("out"), target.size()),
             Delta::PatchFailure::Io);

    // As a run builds it: checked by its digests, and not at all once the
    // run has stopped.
    const auto sha256 = [](const QByteArray &bytes) { return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256); };
    const QByteArray patch = readTestFile(dir.filePath("patch"));
    const PatchEntry entry{"/out", base.size(), sha256(base), target.size(), sha256(target), patch.size(), sha256(patch), {}};
    const QString md5 = QCryptographicHash::hash(target, QCryptographicHash::Md5).toHex();
    QVERIFY(writeTestFile(dir.filePath("base"), base));
    std::atomic<bool> stop{true};
    QCOMPARE(PatchSource::build(entry, dir.filePath("base"), dir.filePath("patch"), dir.filePath("out"), md5, stop),
             Delta::PatchFailure::Stopped);
    QVERIFY(!QFile::exists(dir.filePath("out")));
    stop = false;
    QCOMPARE(PatchSource::build(entry, dir.filePath("base"), dir.filePath("patch"), dir.filePath("out"), QString(32, '0'),
                                stop),
             Delta::PatchFailure::TargetMismatch);
    QVERIFY(!QFile::exists(dir.filePath("out")));
    QCOMPARE(PatchSource::build(entry, dir.filePath("base"), dir.filePath("patch"), dir.filePath("out"), md5, stop),
             Delta::PatchFailure::None);
    QCOMPARE(readTestFile(dir.filePath("out")), target);
}

// The first job is held until the caller's event loop lets it go, so a
// worker that ran jobs on the caller's thread would never deliver. The
// second is queued behind it; a cancel while the first runs stops it, and
// neither is delivered nor the second run.
void TestDelta::worker_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("delivered in order, on the caller's thread") << false;
    QTest::newRow("cancel while a job runs") << true;
}

void TestDelta::worker()
{
    QFETCH(bool, cancel);
    PatchWorker worker;
    QSemaphore started;
    QSemaphore released;
    std::atomic<bool> sawStop{false};
    std::atomic<int> ran{0};
    QStringList delivered;
    QThread *const caller = QThread::currentThread();
    worker.start([&](const std::atomic<bool> &stop) {
        ++ran;
        started.release();
        const bool away = QThread::currentThread() != caller;
        for (QDeadlineTimer deadline(60000); !deadline.hasExpired() && !stop.load() && !released.tryAcquire(1, 10);) {
        }
        sawStop = stop.load();
        return PatchWorker::Delivery([&, away] { delivered << QStringLiteral("first%1").arg(away ? "" : " here"); });
    });
    worker.start([&](const std::atomic<bool> &) {
        ++ran;
        return PatchWorker::Delivery([&] { delivered << "second"; });
    });
    QVERIFY(worker.isBusy());
    QTimer::singleShot(0, &worker, [&] {
        if (cancel && started.tryAcquire(1, 60000))
            worker.cancel();
        else
            released.release();
    });
    worker.wait();
    QVERIFY(!worker.isBusy());
    QCOMPARE(delivered, cancel ? QStringList() : QStringList({"first", "second"}));
    QCOMPARE(ran.load(), cancel ? 1 : 2);
    QCOMPARE(sawStop.load(), cancel);
    // A late delivery of a cancelled job is dropped, not run later.
    QCoreApplication::processEvents();
    QCOMPARE(delivered.size(), cancel ? 0 : 2);
}

void TestDelta::index_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("patches"); // -1: refused

    const QByteArray head = "patch-index\t1\nversion\t2.0\nfolder\tv2\n";
    const QByteArray a(64, 'a'), b(64, 'b'), md5(32, 'c');
    const auto line = [&](const QByteArray &path, const QByteArray &base, const QByteArray &digest = QByteArray(32, 'c')) {
        return "patch\t" + path + "\t10\t" + base + "\t20\t" + b + "\t5\t" + a + "\t" + digest + "\n";
    };
    QTest::newRow("none") << head << 0;
    QTest::newRow("two bases, two files") << head + line("/a.exe", a) + line("/a.exe", b) + line("/b.dll", a) << 3;
    QTest::newRow("bases out of order") << head + line("/a.exe", b) + line("/a.exe", a) << -1;
    QTest::newRow("pair twice") << head + line("/a.exe", a) + line("/a.exe", a) << -1;
    QTest::newRow("path climbs") << head + line("/../a.exe", a) << -1;
    QTest::newRow("hidden path") << head + line("/.git/a", a) << -1;
    QTest::newRow("digest in capitals") << head + line("/a.exe", QByteArray(64, 'A')) << -1;
    QTest::newRow("short md5") << head + line("/a.exe", a, "cc") << -1;
    QTest::newRow("no last line end") << head.chopped(1) << -1;
    QTest::newRow("other version") << QByteArray(head).replace("\t1\n", "\t2\n") << -1;
}

void TestDelta::index()
{
    QFETCH(QByteArray, text);
    QFETCH(int, patches);
    const auto index = parsePatchIndex(text);
    QCOMPARE(index.has_value(), patches >= 0);
    if (index) {
        QCOMPARE(index->patches.size(), patches);
        QCOMPARE(serializePatchIndex(*index), text);
    }
}

QTEST_GUILESS_MAIN(TestDelta)
#include "tst_delta.moc"
