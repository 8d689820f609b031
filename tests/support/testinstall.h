#pragma once

#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// File name of a program on this platform: base plus ".exe" on Windows.
// update.exe carries its suffix everywhere.
QString programName(const QString &base);

// Path of a program built beside update.exe (update.exe, fakehost, tools).
QString builtProgram(const QString &name);

// Publishes the folder src as release `version` into out/ with the
// publisher tool (out/update.ini, out/<folder>/ and its md5.txt).
bool runPublisher(const QString &src, const QString &out, const QString &version, const QString &folder);

// The line update.exe prints in console mode, line end included.
QByteArray consoleLine(bool success, bool update, const QString &error = QString());

// Result of one run of a program.
struct RunResult
{
    int exitCode = -1;
    bool finished = false;
    QByteArray out;
    QByteArray err;
};

// A throw-away installation in a temp folder: update.exe and the fake host
// program copied in, system.cfg written from the given groups.
class TestInstall
{
public:
    using Settings = QMap<QString, QMap<QString, QString>>;

    // folderName: the installation is a folder of that name inside the
    // temp folder (for names with blanks or non-ASCII characters).
    explicit TestInstall(const QString &folderName = QString());
    // Copies a program built beside update.exe into the installation.
    bool addProgram(const QString &builtName, const QString &relative);
    bool isValid() const { return dir.isValid(); }
    QString path() const { return root; }
    QString filePath(const QString &relative) const;

    // The usual settings: HostExe=host, UpdateExe=update.exe, Temp, Backup,
    // HttpEnable=0 and no TCP server. Callers override what they need.
    static Settings defaultSettings();
    // The text of a system.cfg with these groups.
    static QByteArray configText(const Settings &settings);
    void writeConfig(const Settings &settings);
    void writeFile(const QString &relative, const QByteArray &content);
    QByteArray readFile(const QString &relative) const;

    // Runs update.exe of this installation and waits up to timeoutMs;
    // whileRunning, when given, is called again and again until it ends.
    RunResult runUpdater(const QStringList &arguments, int timeoutMs = 30000,
                         const std::function<void()> &whileRunning = {}) const;
    // Waits until the fake host has written n start lines (or timeoutMs).
    int waitForHostStarts(int n, int timeoutMs = 10000) const;
    int hostStarts() const;

private:
    QTemporaryDir dir;
    QString root;
};

// Relative path (with "/") -> MD5 hex of every file below root, hidden ones
// included, the updater's guard file excepted. Paths listed in skip
// (relative, prefix match) are left out.
QMap<QString, QString> hashTree(const QString &root, const QStringList &skip = {});
