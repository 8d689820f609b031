#include "platform/delayedstart.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTextCodec>

#ifdef Q_OS_WIN
#include <QDateTime>
#else
#include "platform/privatefolder.h"

#include <QTemporaryFile>
#endif

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

#ifdef Q_OS_WIN

QString delayedScriptName(qint64 msecsSinceEpoch)
{
    return QStringLiteral("delay_start_%1.bat").arg(msecsSinceEpoch);
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
    script.write(batchScriptBytes(target, arguments, scriptPath));
    script.close();
    QProcess shell;
    shell.setProgram(QStringLiteral("cmd.exe"));
    shell.setNativeArguments(batchCommandArguments(scriptPath));
    if (!startWithoutStreams(shell)) {
        qWarning() << "无法启动批处理脚本:" << scriptPath;
        QFile::remove(scriptPath);
        startDetached(target, arguments);
    }
}

#else

void delayedStart(const QString &program, const QStringList &arguments)
{
    const QString target = QDir::current().filePath(program);
    // Created new (never an existing name, never through a link or FIFO)
    // under an unpredictable name, in a folder no other user can write: no
    // one else can choose what the shell runs.
    const QString folder = privateRuntimeFolder();
    QTemporaryFile script(folder + QStringLiteral("delay_start_XXXXXX.sh"));
    script.setAutoRemove(false);
    if (folder.isEmpty() || !script.open()) {
        qWarning() << "无法创建批处理文件:" << script.fileTemplate();
        startDetached(target, arguments);
        return;
    }
    const QString scriptPath = script.fileName();
    script.write(shellScriptBytes(target, arguments, scriptPath));
    script.close();
    if (!startDetached(QStringLiteral("/bin/sh"), {scriptPath})) {
        qWarning() << "无法启动批处理脚本:" << scriptPath;
        QFile::remove(scriptPath);
        startDetached(target, arguments);
    }
}

#endif
