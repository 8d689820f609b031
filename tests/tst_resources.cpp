#include "support/testinstall.h"
#include "ui/background.h"

#include <QDir>
#include <QIcon>
#include <QPixmap>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

// The pictures are compiled into the static core library; a program sees
// them only after ensureResources().
class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void picturesAreCompiledIn()
    {
        ensureResources();
        const QIcon icon(QStringLiteral(":/res/logo.ico"));
        QVERIFY(!icon.isNull());
        QVERIFY(icon.availableSizes().contains(QSize(32, 32)));
        QVERIFY(icon.availableSizes().contains(QSize(16, 16)));
        QCOMPARE(QPixmap(QStringLiteral(":/res/bk.png")).size(), QSize(640, 455));
    }

#ifdef Q_OS_WIN
    // update.exe carries its icon and the manifest that asks for
    // administrator rights in its PE resources, where Windows looks for them,
    // as built and as shipped (stripped).
    void executableCarriesManifestAndIcon_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("built") << builtProgram(QStringLiteral("update.exe"));
        QTest::newRow("deployable folder") << QStringLiteral(UPDATER_DIST_DIR "/update.exe");
    }
    void executableCarriesManifestAndIcon()
    {
        QFETCH(QString, program);
        const QString exe = QDir::toNativeSeparators(program);
        HMODULE module = LoadLibraryExW(reinterpret_cast<LPCWSTR>(exe.utf16()), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        QVERIFY(module);
        HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
        QVERIFY(manifest);
        const QByteArray text(static_cast<const char *>(LockResource(LoadResource(module, manifest))),
                              static_cast<int>(SizeofResource(module, manifest)));
        QVERIFY(text.contains("<requestedExecutionLevel level=\"requireAdministrator\""));
        QVERIFY(text.contains("Microsoft.Windows.Common-Controls"));
        QVERIFY(FindResourceW(module, L"IDI_ICON1", MAKEINTRESOURCEW(14)));
        FreeLibrary(module);
    }
#endif
};

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
