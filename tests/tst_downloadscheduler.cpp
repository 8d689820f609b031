// The download scheduler in-process with a scripted transport (lanes, the
// next file, retries, a file's next source, cancel, one end), and the rule
// that says which failures are worth another attempt.
#include "fileops/downloadscheduler.h"
#include "http/replyrules.h"

#include <QtTest>

Q_DECLARE_METATYPE(FailureCause)
Q_DECLARE_METATYPE(FailureVerdict)

namespace {

// A transport that answers each attempt with the next word of its file's
// script ("ok", or a failure), before attemptDue returns; a script that is
// used up answers "ok".
struct ScriptedTransport
{
    DownloadScheduler scheduler;
    QVector<QStringList> scripts;
    QStringList attempts; // "item/source/number@lane", in the order started

    explicit ScriptedTransport(const QStringList &perFile)
    {
        for (const QString &script : perFile)
            scripts.append(script.split(' ', Qt::SkipEmptyParts));
        QObject::connect(&scheduler, &DownloadScheduler::attemptDue, [this](const DownloadScheduler::Attempt &a) {
            attempts.append(QStringLiteral("%1/%2/%3@%4").arg(a.item).arg(a.source).arg(a.number).arg(a.lane));
            const QString word = scripts[a.item].isEmpty() ? QStringLiteral("ok") : scripts[a.item].takeFirst();
            scheduler.attemptEnded(a.lane, endOf(word));
        });
    }
    static AttemptEnd endOf(const QString &word)
    {
        if (word == "cut")
            return AttemptEnd::failure(FailureCause::Cut, word);
        if (word == "404")
            return AttemptEnd::failure(FailureCause::Missing, word);
        if (word == "disk")
            return AttemptEnd::failure(FailureCause::DiskFull, word);
        return AttemptEnd::success();
    }
};

QString endName(DownloadScheduler::End end)
{
    switch (end) {
    case DownloadScheduler::End::Done:
        return "done";
    case DownloadScheduler::End::Failed:
        return "failed";
    case DownloadScheduler::End::Cancelled:
        return "cancelled";
    case DownloadScheduler::End::Stopped:
        break;
    }
    return "stopped";
}

} // namespace

class TestDownloadScheduler : public QObject
{
    Q_OBJECT
private slots:
    void verdicts_data()
    {
        QTest::addColumn<FailureCause>("cause");
        QTest::addColumn<FailureVerdict>("verdict");
        QTest::newRow("cut") << FailureCause::Cut << FailureVerdict::Retry;
        QTest::newRow("timed out") << FailureCause::TimedOut << FailureVerdict::Retry;
        QTest::newRow("refused") << FailureCause::Refused << FailureVerdict::Retry;
        QTest::newRow("server error") << FailureCause::ServerError << FailureVerdict::Retry;
        QTest::newRow("missing") << FailureCause::Missing << FailureVerdict::NextSource;
        QTest::newRow("denied") << FailureCause::Denied << FailureVerdict::NextSource;
        QTest::newRow("bad answer") << FailureCause::BadAnswer << FailureVerdict::NextSource;
        QTest::newRow("digest mismatch") << FailureCause::DigestMismatch << FailureVerdict::NextSource;
        QTest::newRow("disk full") << FailureCause::DiskFull << FailureVerdict::EndRun;
        QTest::newRow("write failed") << FailureCause::WriteFailed << FailureVerdict::EndRun;
        QTest::newRow("cancelled") << FailureCause::Cancelled << FailureVerdict::EndRun;
    }
    void verdicts()
    {
        QFETCH(FailureCause, cause);
        QFETCH(FailureVerdict, verdict);
        QCOMPARE(verdictFor(cause), verdict);
    }

    // What an HTTP request's failure is, from Qt's error and the status.
    void replyCauses_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("status");
        QTest::addColumn<FailureCause>("cause");
        QTest::newRow("503") << int(QNetworkReply::ServiceUnavailableError) << 503 << FailureCause::ServerError;
        QTest::newRow("500 before Qt names it") << int(QNetworkReply::NoError) << 500 << FailureCause::ServerError;
        QTest::newRow("429") << int(QNetworkReply::UnknownContentError) << 429 << FailureCause::ServerError;
        QTest::newRow("404") << int(QNetworkReply::ContentNotFoundError) << 404 << FailureCause::Missing;
        QTest::newRow("410") << int(QNetworkReply::ContentGoneError) << 410 << FailureCause::Missing;
        QTest::newRow("403") << int(QNetworkReply::ContentAccessDenied) << 403 << FailureCause::Denied;
        QTest::newRow("416") << int(QNetworkReply::UnknownContentError) << 416 << FailureCause::BadAnswer;
        QTest::newRow("200, encoded") << int(QNetworkReply::NoError) << 200 << FailureCause::BadAnswer;
        QTest::newRow("302 not followed") << int(QNetworkReply::InsecureRedirectError) << 302 << FailureCause::BadAnswer;
        QTest::newRow("refused") << int(QNetworkReply::ConnectionRefusedError) << 0 << FailureCause::Refused;
        QTest::newRow("no such host") << int(QNetworkReply::HostNotFoundError) << 0 << FailureCause::Refused;
        QTest::newRow("closed mid-body") << int(QNetworkReply::RemoteHostClosedError) << 200 << FailureCause::Cut;
        QTest::newRow("network lost") << int(QNetworkReply::TemporaryNetworkFailureError) << 0 << FailureCause::Cut;
        QTest::newRow("proxy closed") << int(QNetworkReply::ProxyConnectionClosedError) << 0 << FailureCause::Cut;
        QTest::newRow("socket time-out") << int(QNetworkReply::TimeoutError) << 0 << FailureCause::TimedOut;
        QTest::newRow("certificate refused") << int(QNetworkReply::SslHandshakeFailedError) << 0
                                             << FailureCause::Denied;
    }
    void replyCauses()
    {
        QFETCH(int, error);
        QFETCH(int, status);
        QFETCH(FailureCause, cause);
        QCOMPARE(replyFailureCause(QNetworkReply::NetworkError(error), status), cause);
    }

    // Scripts per file; attempts as "file/source/number@lane".
    void runs_data()
    {
        QTest::addColumn<QStringList>("scripts");
        QTest::addColumn<int>("lanes");
        QTest::addColumn<QList<int>>("sources");
        QTest::addColumn<QStringList>("attempts");
        QTest::addColumn<QString>("end");
        QTest::addColumn<int>("failedItem");
        QTest::newRow("in order over two lanes") << QStringList{"", "", ""} << 2 << QList<int>()
                                                 << QStringList{"0/0/0@0", "1/0/0@1", "2/0/0@0"} << "done" << -1;
        QTest::newRow("never more lanes than files")
            << QStringList{""} << 6 << QList<int>() << QStringList{"0/0/0@0"} << "done" << -1;
        QTest::newRow("cut twice, then whole")
            << QStringList{"cut cut", ""} << 1 << QList<int>()
            << QStringList{"0/0/0@0", "0/0/1@0", "0/0/2@0", "1/0/0@0"} << "done" << -1;
        QTest::newRow("retries used up")
            << QStringList{"cut cut cut cut", ""} << 1 << QList<int>()
            << QStringList{"0/0/0@0", "0/0/1@0", "0/0/2@0", "0/0/3@0"} << "failed" << 0;
        QTest::newRow("missing: the next source at once")
            << QStringList{"404"} << 1 << QList<int>{2} << QStringList{"0/0/0@0", "0/1/0@0"} << "done" << -1;
        QTest::newRow("retries used up: the next source")
            << QStringList{"cut cut cut cut"} << 1 << QList<int>{2}
            << QStringList{"0/0/0@0", "0/0/1@0", "0/0/2@0", "0/0/3@0", "0/1/0@0"} << "done" << -1;
        QTest::newRow("no source left") << QStringList{"", "404 ", ""} << 1 << QList<int>{1, 1, 1}
                                        << QStringList{"0/0/0@0", "1/0/0@0"} << "failed" << 1;
        QTest::newRow("full disk: no other source tried")
            << QStringList{"disk"} << 1 << QList<int>{2} << QStringList{"0/0/0@0"} << "failed" << 0;
        QTest::newRow("no files") << QStringList() << 3 << QList<int>() << QStringList() << "done" << -1;
    }
    void runs()
    {
        QFETCH(QStringList, scripts);
        QFETCH(int, lanes);
        QFETCH(QList<int>, sources);
        QFETCH(QStringList, attempts);
        QFETCH(QString, end);
        QFETCH(int, failedItem);
        ScriptedTransport transport(scripts);
        transport.scheduler.setRetryPolicy({3, 0});
        QSignalSpy finished(&transport.scheduler, &DownloadScheduler::finished);
        QStringList names;
        for (int i = 0; i < scripts.size(); ++i)
            names.append(QStringLiteral("f%1").arg(i));
        transport.scheduler.start(names, lanes, sources.toVector());
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(endName(finished.at(0).at(0).value<DownloadScheduler::End>()), end);
        QCOMPARE(transport.attempts, attempts);
        QCOMPARE(transport.scheduler.failedItem(), failedItem);
        if (failedItem >= 0)
            QVERIFY(!transport.scheduler.lastFailure().detail.isEmpty());
        QCOMPARE(transport.scheduler.doneCount(), end == "done" ? scripts.size() : failedItem);
    }

    // Files that need no fetching end inside attemptDue: a long run of them
    // passes without the stack growing with each.
    void manyDoneAtOnce()
    {
        QStringList files;
        for (int i = 0; i < 200000; ++i)
            files.append(QString());
        ScriptedTransport transport(files);
        QSignalSpy finished(&transport.scheduler, &DownloadScheduler::finished);
        transport.scheduler.start(files, 1);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(transport.scheduler.doneCount(), 200000);
    }

    // Cancel ends the pause before a retry at once, and nothing is
    // started after it, nor does a late report count.
    void cancelDuringPause()
    {
        ScriptedTransport transport({"cut", ""});
        transport.scheduler.setRetryPolicy({3, 3600000});
        QSignalSpy paused(&transport.scheduler, &DownloadScheduler::retryPaused);
        QSignalSpy finished(&transport.scheduler, &DownloadScheduler::finished);
        transport.scheduler.start({"a", "b"}, 1);
        QCOMPARE(paused.count(), 1);
        QCOMPARE(finished.count(), 0);
        transport.scheduler.cancel();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).value<DownloadScheduler::End>(), DownloadScheduler::End::Cancelled);
        transport.scheduler.attemptEnded(0, AttemptEnd::success());
        QCoreApplication::processEvents();
        QCOMPARE(transport.attempts, QStringList{"0/0/0@0"});
        QCOMPARE(transport.scheduler.doneCount(), 0);
        QCOMPARE(finished.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDownloadScheduler)
#include "tst_downloadscheduler.moc"
