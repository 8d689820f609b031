#include "tcpserverprocess.h"

#include "testinstall.h"

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
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(builtProgram(QStringLiteral("tcpserver")),
                  QStringList{QStringLiteral("--root"), root, QStringLiteral("--port"), QStringLiteral("0")} + options);
    if (!process.waitForStarted(10000))
        return false;
    while (process.state() == QProcess::Running && !process.canReadLine())
        process.waitForReadyRead(10000);
    const QByteArray first = process.readLine().trimmed();
    // "listening on 127.0.0.1:<port>"
    if (!first.startsWith("listening on "))
        return false;
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
