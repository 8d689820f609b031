// The one rule set for places and names: containment on real folders (links
// resolved) and the name rules.
#include "fileops/installlayout.h"
#include "fileops/pathpolicy.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using PathPolicy::NameProblem;
using PathPolicy::ReleaseNameProblem;
Q_DECLARE_METATYPE(NameProblem)
Q_DECLARE_METATYPE(ReleaseNameProblem)

class TestPathPolicy : public QObject
{
    Q_OBJECT
private slots:
    void inside_data();
    void inside();
    void names_data();
    void names();
    void releaseNames_data();
    void releaseNames();
    void shownPaths_data();
    void shownPaths();
};

void TestPathPolicy::inside_data()
{
    QTest::addColumn<QString>("folder"); // below a temp root holding app/, app/sub/, outside/
    QTest::addColumn<QString>("path");   // and the links app/out -> outside, applink -> app
    QTest::addColumn<bool>("inside");

    QTest::newRow("existing child") << "app" << "app/sub" << true;
    QTest::newRow("child not yet created") << "app" << "app/Temp/x" << true;
    QTest::newRow("itself") << "app" << "app/." << false;
    QTest::newRow("parent") << "app/sub" << "app" << false;
    QTest::newRow("escape by ..") << "app" << "app/../outside" << false;
    QTest::newRow("name sharing the prefix") << "app" << "app2" << false;
    QTest::newRow("below a folder not yet created") << "app/Temp" << "app/Temp/d/x" << true;
    QTest::newRow("folder not yet created itself") << "app/Temp" << "app/Temp/" << false;
    QTest::newRow("folder not yet created, escape by ..") << "app/Temp" << "app/Temp/../../outside" << false;
    QTest::newRow("folder not yet created, doubled slash") << "app/Temp/" << "app/Temp//d/x" << true;
    QTest::newRow("folder not yet created, doubled slash and ..") << "app/Temp/" << "app/Temp//../x" << false;
#ifndef Q_OS_WIN
    // QFile::link makes shortcut files on Windows, which are no links to the
    // file system; symbolic links there need rights a test does not have.
    QTest::newRow("link leading out") << "app" << "app/out/x" << false;
    QTest::newRow("folder reached through a link") << "applink" << "app/sub" << true;
    QTest::newRow("folder not yet created below a link") << "app/out/Temp" << "app/out/Temp/x" << true;
    QTest::newRow("path to a folder not yet created through a link") << "app/Temp" << "applink/Temp/x" << true;
#endif
    QTest::newRow("empty path") << "app" << "" << false;
    QTest::newRow("empty folder") << "" << "app/sub" << false;
}

void TestPathPolicy::inside()
{
    QFETCH(QString, folder);
    QFETCH(QString, path);
    QTemporaryDir tmp;
    const QString root = tmp.path() + '/';
    QVERIFY(QDir().mkpath(root + "app/sub") && QDir().mkpath(root + "outside"));
#ifndef Q_OS_WIN
    QVERIFY(QFile::link(root + "outside", root + "app/out") && QFile::link(root + "app", root + "applink"));
#endif
    const auto place = [&](const QString &relative) { return relative.isEmpty() ? QString() : root + relative; };
    QTEST(PathPolicy::isStrictlyInside(place(folder), place(path)), "inside");
}

void TestPathPolicy::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<NameProblem>("problem");
    QTest::addColumn<bool>("plain");
    QTest::addColumn<bool>("portable");

    QTest::newRow("file") << "update.exe" << NameProblem::None << true << true;
    QTest::newRow("nested, dots in names") << "plugins/x..y/codec.v2.dll" << NameProblem::None << false << false;
    QTest::newRow("hidden-style name") << ".config" << NameProblem::None << true << true;
    QTest::newRow("parent") << ".." << NameProblem::DotLevel << false << false;
    QTest::newRow("parent inside") << "a/../../evil.dll" << NameProblem::DotLevel << false << false;
    QTest::newRow("dot") << "a/./b" << NameProblem::DotLevel << false << false;
    QTest::newRow("backslash") << "..\\evil.dll" << NameProblem::Backslash << false << false;
    QTest::newRow("drive letter") << "C:/Windows/evil.dll" << NameProblem::Colon << false << false;
    QTest::newRow("stream") << "a.dll:payload" << NameProblem::Colon << false << false;
    QTest::newRow("nul") << QString("a") + QChar(0) + "b" << NameProblem::ControlCharacter << false << false;
    QTest::newRow("newline before a colon") << "a\nb:c" << NameProblem::ControlCharacter << false << false;
    QTest::newRow("device name, any case, any extension") << "bin/cOm1 .tar.gz" << NameProblem::WindowsName << false << false;
    QTest::newRow("device name alone") << "NUL" << NameProblem::WindowsName << false << false;
    QTest::newRow("device-like names") << "CONSOLE/com10/lpt0.txt/xnul" << NameProblem::None << false << false;
    QTest::newRow("trailing dot") << "readme." << NameProblem::WindowsName << false << false;
    QTest::newRow("trailing space") << "docs /a.txt" << NameProblem::WindowsName << false << false;
    QTest::newRow("absolute") << "/etc/passwd" << NameProblem::EmptyLevel << false << false;
    QTest::newRow("folder") << "sub/" << NameProblem::EmptyLevel << false << false;
    QTest::newRow("not ASCII") << QString::fromUtf8("说明.txt") << NameProblem::None << true << false;
    QTest::newRow("blank") << "read me.txt" << NameProblem::None << true << false;
    QTest::newRow("100 characters") << QString(100, 'a') << NameProblem::None << true << true;
    QTest::newRow("101 characters") << QString(101, 'a') << NameProblem::None << true << false;
    QTest::newRow("empty") << "" << NameProblem::EmptyLevel << false << false;
}

void TestPathPolicy::names()
{
    QFETCH(QString, name);
    QTEST(PathPolicy::relativeNameProblem(name), "problem");
    QTEST(PathPolicy::isPlainFileName(name), "plain");
    QTEST(PathPolicy::isPortableFileName(name), "portable");
}

void TestPathPolicy::releaseNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<ReleaseNameProblem>("problem");

    QTest::newRow("plain") << "bin/app.dll" << ReleaseNameProblem::None;
    QTest::newRow("dots inside names") << "a.b/c..d" << ReleaseNameProblem::None;
    QTest::newRow("unsafe") << "a/../b" << ReleaseNameProblem::Unsafe;
    QTest::newRow("hidden file") << ".env" << ReleaseNameProblem::Hidden;
    QTest::newRow("hidden folder") << "sub/.git/config" << ReleaseNameProblem::Hidden;
    QTest::newRow("staging folder itself") << "work/tmp" << ReleaseNameProblem::WorkPlace;
    QTest::newRow("inside staging, other case") << "WORK/Tmp/x.dll" << ReleaseNameProblem::WorkPlace;
    QTest::newRow("file where staging's parent is") << "work" << ReleaseNameProblem::WorkPlace;
    QTest::newRow("beside staging") << "work/tmp2/x.dll" << ReleaseNameProblem::None;
    QTest::newRow("backup") << "backup/a.dll" << ReleaseNameProblem::WorkPlace;
    QTest::newRow("parked updater") << "UpdateTmp/update.exe" << ReleaseNameProblem::WorkPlace;
    QTest::newRow("journal") << "update.journal" << ReleaseNameProblem::WorkPlace;
    QTest::newRow("log") << "logs/update.log" << ReleaseNameProblem::WorkPlace;
    QTest::newRow("rotated helper log") << "logs/updatehelper.2.log" << ReleaseNameProblem::WorkPlace;
    QTest::newRow("log name outside the log prefix") << "update.log" << ReleaseNameProblem::None;
    QTest::newRow("downloaded manifest") << "update/md5Tmp.txt" << ReleaseNameProblem::WorkPlace;
    QTest::newRow("recorded statement") << "update/release.statement" << ReleaseNameProblem::WorkPlace;
    QTest::newRow("version description") << "update/update.ini" << ReleaseNameProblem::None;
}

void TestPathPolicy::releaseNames()
{
    QFETCH(QString, name);
    const InstallLayout layout = InstallLayout::build(QStringLiteral("/inst"), QStringLiteral("work/tmp/"),
                                                      QStringLiteral("Backup/"), QStringLiteral("logs/"));
    QTEST(PathPolicy::releaseNameProblem(name, layout.workPlaces()), "problem");
}

// How texts for a person name a place: below the installation relative to
// it, anything else as it is.
void TestPathPolicy::shownPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("shown");
    QTest::newRow("staged file, doubled slash") << "/inst/UpdateTemp//sub/b.dll" << "UpdateTemp/sub/b.dll";
    QTest::newRow("installation itself") << "/inst/" << "安装目录";
    QTest::newRow("installation without its slash") << "/inst" << "安装目录";
    QTest::newRow("folder beginning with its name") << "/install/a.dll" << "/install/a.dll";
    QTest::newRow("out of it by ..") << "/inst/../etc/passwd" << "/inst/../etc/passwd";
}

void TestPathPolicy::shownPaths()
{
    QFETCH(QString, path);
    QTEST(InstallLayout::withUsualSettings(QStringLiteral("/inst")).shownPath(path), "shown");
}

QTEST_GUILESS_MAIN(TestPathPolicy)
#include "tst_pathpolicy.moc"
