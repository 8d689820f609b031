#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

// Writes a release folder as the release publisher lays it out:
// root/update.ini ([Version] Version, Folder) and every file of `files`
// (relative path -> content) below root/folder.
void writeRelease(const QString &root, const QString &version, const QMap<QString, QByteArray> &files,
                  const QString &folder = QStringLiteral("files"));

// The reference TCP update server (build/bin/tcpserver) as a real process on
// 127.0.0.1, on a port the system chose. Stopped by the destructor.
class TcpServerProcess
{
public:
    TcpServerProcess() = default;
    ~TcpServerProcess();
    TcpServerProcess(const TcpServerProcess &) = delete;
    TcpServerProcess &operator=(const TcpServerProcess &) = delete;

    // Starts the server on root with extra command-line options; true once
    // it listens (one failed start is retried, its cause printed).
    bool start(const QString &root, const QStringList &options = {});
    void stop();
    quint16 port() const { return m_port; }

    // Lines the server printed so far (one per connection and request).
    QStringList lines();
    // How many of them start with prefix.
    int count(const QString &prefix);

private:
    bool startOnce(const QString &root, const QStringList &options);

    QProcess process;
    quint16 m_port = 0;
    QStringList seen;
};
