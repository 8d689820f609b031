#include "tcpserverprocess.h"

#include "testinstall.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

void writeRelease(const QString &root, const QString &version, const QMap<QString, QByteArray> &files,
                  const QString &folder)
{
    QDir().mkpath(root + QLatin1Char('/') + folder);
    QFile ini(root + QStringLiteral("/update.ini"));
    if (ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        ini.write("[Version]\nVersion=" + version.toUtf8() + "\nFolder=" + folder.toUtf8() + "\n");
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + folder + QLatin1Char('/') + it.key();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(it.value());
    }
}

TcpServerProcess::~TcpServerProcess()
{
    stop();
}

bool TcpServerProcess::start(const QString &root, const QStringList &options)
{
    // A start that fails is tried once more: the harness, not the product,
    // is what failed then, and the first failure's cause is printed so it
    // is not lost.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (startOnce(root, options))
            return true;
        qWarning("tcpserver did not start (state %d, exit code %d, %s): %s", int(process.state()),
                 process.exitCode(), qPrintable(process.errorString()),
                 process.readAllStandardError().constData());
        stop();
    }
    return false;
}

bool TcpServerProcess::startOnce(const QString &root, const QStringList &options)
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(builtProgram(QStringLiteral("tcpserver")),
                  QStringList{QStringLiteral("--root"), root, QStringLiteral("--port"), QStringLiteral("0")} + options);
    // Generous: a loaded machine (or Wine) may take long to start a process.
    QDeadlineTimer deadline(60000);
    if (!process.waitForStarted(static_cast<int>(deadline.remainingTime())))
        return false;
    while (process.state() == QProcess::Running && !process.canReadLine() && !deadline.hasExpired())
        process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    const QByteArray first = process.readLine().trimmed();
    // "listening on 127.0.0.1:<port>"
    if (!first.startsWith("listening on ")) {
        if (!first.isEmpty())
            qWarning("tcpserver printed first: %s", first.constData());
        return false;
    }
    m_port = static_cast<quint16>(first.mid(first.lastIndexOf(':') + 1).toUInt());
    return m_port != 0;
}

void TcpServerProcess::stop()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

QStringList TcpServerProcess::lines()
{
    // Wait briefly for lines still in flight from the server.
    process.waitForReadyRead(200);
    while (process.canReadLine())
        seen.append(QString::fromUtf8(process.readLine()).trimmed());
    return seen;
}

int TcpServerProcess::count(const QString &prefix)
{
    int n = 0;
    for (const QString &line : lines())
        n += line.startsWith(prefix) ? 1 : 0;
    return n;
}
