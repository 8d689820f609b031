#include "platform/delayedstart.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTextCodec>

namespace {

// A word inside double quotes on a batch line: cmd.exe takes "&", "^" and
// blanks there literally, but expands "%" before it looks at quotes; "%%"
// is a batch file's literal percent sign.
QString batchQuoted(const QString &word)
{
    return QLatin1Char('"') + QString(word).replace(QLatin1Char('%'), QStringLiteral("%%")) + QLatin1Char('"');
}

QString backslashed(const QString &path)
{
    return QString(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

} // namespace

QByteArray batchScriptBytes(const QString &program, const QStringList &arguments, const QString &scriptPath)
{
    QString programLine = batchQuoted(backslashed(program));
    for (const QString &arg : arguments)
        programLine += QLatin1Char(' ') + batchQuoted(arg);
    const QStringList lines = {
        QStringLiteral("@echo off"),
        QStringLiteral("echo Starting in 1 second..."),
        // timeout refuses to run when its input is not a console (and some
        // systems lack it); ping's one-second gap between two echoes of the
        // loopback address then does the waiting.
        QStringLiteral("timeout /t 1 /nobreak >nul 2>&1 || ping -n 2 127.0.0.1 >nul"),
        programLine,
        QStringLiteral("del ") + batchQuoted(backslashed(scriptPath)),
    };
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += gbk->fromUnicode(line) + "\r\n";
    return bytes;
}

QString batchCommandArguments(const QString &scriptPath)
{
    return QStringLiteral("/c \"\"") + QDir::toNativeSeparators(scriptPath) + QStringLiteral("\"\"");
}

QString shellQuote(const QString &word)
{
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QByteArray shellScriptBytes(const QString &program, const QStringList &arguments, const QString &scriptPath)
{
    QString programLine = shellQuote(program);
    for (const QString &arg : arguments)
        programLine += QLatin1Char(' ') + shellQuote(arg);
    const QStringList lines = {
        QStringLiteral("#!/bin/sh"),
        QStringLiteral("echo Starting in 1 second..."),
        QStringLiteral("sleep 1"),
        programLine,
        QStringLiteral("rm -f ") + shellQuote(scriptPath),
    };
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

namespace {

bool startWithoutStreams(QProcess &process)
{
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

} // namespace

bool startDetached(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    return startWithoutStreams(process);
}

QString delayedScriptName(qint64 msecsSinceEpoch)
{
#ifdef Q_OS_WIN
    return QStringLiteral("delay_start_%1.bat").arg(msecsSinceEpoch);
#else
    return QStringLiteral("delay_start_%1.sh").arg(msecsSinceEpoch);
#endif
}

void delayedStart(const QString &program, const QStringList &arguments)
{
    const QString target = QDir::current().filePath(program);
    // A temp folder that does not exist reads as empty: the script would then
    // land in the file system's root.
    const QString tempDir = QDir::tempPath();
    const QString scriptPath = tempDir + QLatin1Char('/') + delayedScriptName(QDateTime::currentMSecsSinceEpoch());

    QFile script(scriptPath);
    if (tempDir.isEmpty() || !script.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning() << "无法创建批处理文件:" << scriptPath;
        startDetached(target, arguments);
        return;
    }
#ifdef Q_OS_WIN
    script.write(batchScriptBytes(target, arguments, scriptPath));
    script.close();
    QProcess shell;
    shell.setProgram(QStringLiteral("cmd.exe"));
    shell.setNativeArguments(batchCommandArguments(scriptPath));
    const bool started = startWithoutStreams(shell);
#else
    script.write(shellScriptBytes(target, arguments, scriptPath));
    script.close();
    const bool started = startDetached(QStringLiteral("/bin/sh"), {scriptPath});
#endif
    if (!started) {
        qWarning() << "无法启动批处理脚本:" << scriptPath;
        QFile::remove(scriptPath);
        startDetached(target, arguments);
    }
}
