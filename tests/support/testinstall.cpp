#include "testinstall.h"

#include "testfiles.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTest>

QString programName(const QString &base)
{
    return base.endsWith(QLatin1String(".exe")) ? base : base + QLatin1String(UPDATER_EXE_SUFFIX);
}

QString builtProgram(const QString &name)
{
    return QStringLiteral(UPDATER_BIN_DIR "/") + programName(name);
}

bool runPublisher(const QString &src, const QString &out, const QString &version, const QString &folder)
{
    QProcess publisher;
    publisher.start(builtProgram(QStringLiteral("publisher")), {src, out, version, folder});
    return publisher.waitForFinished(60000) && publisher.exitStatus() == QProcess::NormalExit
        && publisher.exitCode() == 0;
}

TestInstall::TestInstall(const QString &folderName)
    : root(folderName.isEmpty() ? dir.path() : dir.path() + QLatin1Char('/') + folderName)
{
    QDir().mkpath(root);
    addProgram(QStringLiteral("update.exe"), QStringLiteral("update.exe"));
    addProgram(QStringLiteral("fakehost"), programName(QStringLiteral("host")));
}

bool TestInstall::addProgram(const QString &builtName, const QString &relative)
{
    QDir().mkpath(QFileInfo(filePath(relative)).absolutePath());
    return QFile::copy(builtProgram(builtName), filePath(relative));
}

QString TestInstall::filePath(const QString &relative) const
{
    return root + QLatin1Char('/') + relative;
}

TestInstall::Settings TestInstall::defaultSettings()
{
    Settings s;
    s[QStringLiteral("Update")][QStringLiteral("HostExe")] = programName(QStringLiteral("host"));
    s[QStringLiteral("Update")][QStringLiteral("UpdateExe")] = QStringLiteral("update.exe");
    s[QStringLiteral("Update")][QStringLiteral("UpdateHelperExe")] = programName(QStringLiteral("updatehelper"));
    s[QStringLiteral("Update")][QStringLiteral("HttpEnable")] = QStringLiteral("0");
    s[QStringLiteral("General")][QStringLiteral("Version")] = QStringLiteral("1.0.0");
    s[QStringLiteral("Paths")][QStringLiteral("Temp")] = QStringLiteral("UpdateTemp/");
    s[QStringLiteral("Paths")][QStringLiteral("Backup")] = QStringLiteral("Backup/");
    s[QStringLiteral("Project")][QStringLiteral("Type")] = QStringLiteral("1");
    return s;
}

QByteArray TestInstall::configText(const Settings &settings)
{
    QByteArray text;
    for (auto g = settings.cbegin(); g != settings.cend(); ++g) {
        text += '[' + g.key().toUtf8() + "]\n";
        for (auto k = g.value().cbegin(); k != g.value().cend(); ++k)
            text += k.key().toUtf8() + '=' + k.value().toUtf8() + '\n';
    }
    return text;
}

void TestInstall::writeConfig(const Settings &settings)
{
    writeFile(QStringLiteral("system.cfg"), configText(settings));
}

void TestInstall::writeFile(const QString &relative, const QByteArray &content)
{
    writeTestFile(filePath(relative), content);
}

QByteArray TestInstall::readFile(const QString &relative) const
{
    return readTestFile(filePath(relative));
}

RunResult TestInstall::runUpdater(const QStringList &arguments, int timeoutMs,
                                  const std::function<void()> &whileRunning) const
{
    RunResult result;
    QProcess process;
    process.setWorkingDirectory(root);
    process.start(filePath(QStringLiteral("update.exe")), arguments);
    if (!process.waitForStarted(10000))
        return result;
    if (whileRunning) {
        QDeadlineTimer deadline(timeoutMs);
        while (!(result.finished = process.waitForFinished(100)) && !deadline.hasExpired())
            whileRunning();
    } else {
        result.finished = process.waitForFinished(timeoutMs);
    }
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

int TestInstall::hostStarts() const
{
    return readFile(QStringLiteral("host_started.txt")).count('\n');
}

int TestInstall::waitForHostStarts(int n, int timeoutMs) const
{
    static_cast<void>(QTest::qWaitFor([&] { return hostStarts() >= n; }, timeoutMs));
    return hostStarts();
}

QByteArray consoleLine(bool success, bool update, const QString &error)
{
    return R"({"errormsg":")" + error.toUtf8() + R"(","success":)" + (success ? "true" : "false") + R"(,"update":)"
        + (update ? "true" : "false") + "}\n";
}

QMap<QString, QString> hashTree(const QString &root, const QStringList &skip)
{
    QMap<QString, QString> tree;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = path.mid(root.size());
        // The running updater's guard, not part of the installation's content.
        bool skipped = rel == QLatin1String("/.update_guard.lock");
        for (const QString &prefix : skip)
            skipped = skipped || rel.startsWith(prefix);
        if (skipped)
            continue;
        QFile file(path);
        QCryptographicHash hash(QCryptographicHash::Md5);
        if (file.open(QIODevice::ReadOnly))
            hash.addData(&file);
        tree.insert(rel, QString::fromLatin1(hash.result().toHex()));
    }
    return tree;
}
