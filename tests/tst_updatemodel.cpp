#include "app/updatemodel.h"

#include <QtTest>

class TestUpdateModel : public QObject
{
    Q_OBJECT

private slots:
    void portText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("text") << "http" << 0;
        QTest::newRow("negative") << "-1" << 0;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("plain") << "9000" << 9000;
        QTest::newRow("highest") << "65535" << 65535;
        QTest::newRow("65536 wraps to 0") << "65536" << 0;
        QTest::newRow("65537 wraps to 1") << "65537" << 1;
        QTest::newRow("trailing text") << "80x" << 0;
    }
    void portText()
    {
        QFETCH(QString, text);
        QFETCH(int, port);
        QCOMPARE(int(CUpdateModel::portFromText(text)), port);
    }
};

QTEST_GUILESS_MAIN(TestUpdateModel)
#include "tst_updatemodel.moc"
