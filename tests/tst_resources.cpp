#include "ui/background.h"

#include <QIcon>
#include <QPixmap>
#include <QtTest>

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
};

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
