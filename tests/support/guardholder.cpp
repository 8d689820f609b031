#include "guardholder.h"

#include "platform/instanceguard.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

#include <cstdio>

namespace {
const char kHoldVariable[] = "UPDATER_HOLD_GUARD";
}

bool holdGuardIfAsked(int argc, char **argv)
{
    const QByteArray key = qgetenv(kHoldVariable);
    if (key.isEmpty())
        return false;
    QCoreApplication app(argc, argv);
    if (InstanceGuard::tryAcquire(QString::fromUtf8(key))) {
        std::printf("held\n");
        std::fflush(stdout);
        QThread::sleep(120);
    }
    return true;
}

bool startGuardHolder(QProcess &holder, const QString &exePath, const QString &program,
                      const QProcessEnvironment &holderEnv)
{
    QProcessEnvironment env = holderEnv.isEmpty() ? QProcessEnvironment::systemEnvironment() : holderEnv;
    env.insert(QLatin1String(kHoldVariable), InstanceGuard::keyFor(QFileInfo(exePath).absolutePath()));
    holder.setProcessEnvironment(env);
    holder.start(program.isEmpty() ? QCoreApplication::applicationFilePath() : program, QStringList());
    // Trimmed: text-mode standard output ends the line with CR LF on Windows.
    return holder.waitForReadyRead(10000) && holder.readAllStandardOutput().trimmed() == "held";
}

void killGuardHolder(QProcess &holder)
{
    // SIGKILL on Unix, TerminateProcess (as "taskkill /f") on Windows.
    holder.kill();
    holder.waitForFinished(10000);
}
