#include "guardholder.h"

#include "platform/instanceguard.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

#include <csignal>
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

bool startGuardHolder(QProcess &holder, const QString &exePath)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QLatin1String(kHoldVariable), InstanceGuard::keyFor(QFileInfo(exePath).absolutePath()));
    holder.setProcessEnvironment(env);
    holder.start(QCoreApplication::applicationFilePath(), QStringList());
    return holder.waitForReadyRead(10000) && holder.readAllStandardOutput() == "held\n";
}

void killGuardHolder(QProcess &holder)
{
    ::kill(static_cast<pid_t>(holder.processId()), SIGKILL);
    holder.waitForFinished(10000);
}
