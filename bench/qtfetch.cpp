// The floor under the transport of a whole HTTP update: Qt's own HTTP client
// fetching the files of a list, as many at a time as update.exe asks for,
// each body written to its file, and nothing else (no check, no journal, no
// apply). perfile_update.py shows it beside update.exe and the pipeline.
// Usage: qtfetch LIST PARALLEL, where each line of LIST is "URL<tab>FILE".
// Exits 1 when any request fails.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <cstdio>
#include <functional>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: qtfetch LIST PARALLEL\n");
        return 2;
    }
    QFile listFile(QString::fromLocal8Bit(argv[1]));
    if (!listFile.open(QIODevice::ReadOnly))
        return 2;
    QList<QByteArray> lines = listFile.readAll().split('\n');
    lines.removeAll(QByteArray());
    QNetworkAccessManager manager;
    int next = 0;
    int left = lines.size();
    int failed = 0;
    std::function<void()> startNext = [&] {
        if (next >= lines.size())
            return;
        const QList<QByteArray> fields = lines.at(next++).split('\t');
        const QString target = QString::fromUtf8(fields.value(1));
        QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(QString::fromUtf8(fields.value(0)))));
        QObject::connect(reply, &QNetworkReply::finished, &app, [&, reply, target] {
            QDir().mkpath(QFileInfo(target).absolutePath());
            QFile out(target);
            if (reply->error() != QNetworkReply::NoError || !out.open(QIODevice::WriteOnly)
                || out.write(reply->readAll()) < 0)
                ++failed;
            reply->deleteLater();
            if (--left == 0)
                app.quit();
            else
                startNext();
        });
    };
    for (int i = 0; i < qMax(1, atoi(argv[2])); ++i)
        startNext();
    if (left > 0)
        app.exec();
    return failed == 0 ? 0 : 1;
}
