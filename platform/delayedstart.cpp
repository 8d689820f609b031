#include "platform/delayedstart.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTextCodec>

QByteArray batchScriptBytes(const QString &program, const QStringList &arguments, const QString &scriptPath)
{
    QString programLine = QLatin1Char('"') + QString(program).replace(QLatin1Char('/'), QLatin1Char('\\')) + QLatin1Char('"');
    for (const QString &arg : arguments)
        programLine += QStringLiteral(" \"") + arg + QLatin1Char('"');
    const QStringList lines = {
        QStringLiteral("@echo off"),
        QStringLiteral("echo Starting in 1 second..."),
        QStringLiteral("timeout /t 1 /nobreak >nul"),
        programLine,
        QStringLiteral("del \"") + QString(scriptPath).replace(QLatin1Char('/'), QLatin1Char('\\')) + QLatin1Char('"'),
    };
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += gbk->fromUnicode(line) + "\r\n";
    return bytes;
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

bool startDetached(const QString &program, const QStringList &arguments)
{
#ifdef Q_OS_WIN
    return QProcess::startDetached(program, arguments);
#else
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
#endif
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
    const QString shell = QStringLiteral("cmd.exe");
    const QStringList shellArgs = {QStringLiteral("/c"), QDir::toNativeSeparators(scriptPath)};
#else
    script.write(shellScriptBytes(target, arguments, scriptPath));
    script.close();
    const QString shell = QStringLiteral("/bin/sh");
    const QStringList shellArgs = {scriptPath};
#endif
    if (!startDetached(shell, shellArgs)) {
        qWarning() << "无法启动批处理脚本:" << scriptPath;
        QFile::remove(scriptPath);
        startDetached(target, arguments);
    }
}
