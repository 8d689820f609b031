// The TCP progress window: size texts, what each operation shows, colours,
// and the cancel button.
#include "support/boxanswerer.h"
#include "tcp/updatewidget.h"
#include "ui/downloadprogress.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

class TestUpdateWidget : public QObject
{
    Q_OBJECT
private slots:
    void formatFileSize_data();
    void formatFileSize();
    void initialLook();
    void fileProgress_data();
    void fileProgress();
    void statusOperations();
    void cancelButton();
    void progressModel_data();
    void progressModel();

private:
    static QString text(const UpdateWidget &w, const char *name) { return w.findChild<QLabel *>(name)->text(); }
    static QString style(const UpdateWidget &w, const char *name) { return w.findChild<QWidget *>(name)->styleSheet(); }
    static int bar(const UpdateWidget &w, const char *name) { return w.findChild<QProgressBar *>(name)->value(); }
};

void TestUpdateWidget::formatFileSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << qint64(0) << "0 B";
    QTest::newRow("1023") << qint64(1023) << "1023 B";
    QTest::newRow("1024") << qint64(1024) << "1.00 KB";
    QTest::newRow("1536") << qint64(1536) << "1.50 KB";
    QTest::newRow("just below 1 MB") << qint64(1048575) << "1024.00 KB";
    QTest::newRow("1048576") << qint64(1048576) << "1.00 MB";
    QTest::newRow("3 MB") << qint64(3 * 1048576) << "3.00 MB";
    QTest::newRow("1 GB") << qint64(1073741824) << "1.00 GB";
    QTest::newRow("5.25 GB") << qint64(5637144576LL) << "5.25 GB";
    QTest::newRow("negative") << qint64(-1) << "-1 B";
}

void TestUpdateWidget::formatFileSize()
{
    QFETCH(qint64, bytes);
    QTEST(UpdateWidget::formatFileSize(bytes), "text");
}

void TestUpdateWidget::initialLook()
{
    UpdateWidget w;
    QCOMPARE(w.windowTitle(), QStringLiteral("TCP升级"));
    QVERIFY(w.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(w.minimumSize(), QSize(684, 539));
    QCOMPARE(w.maximumSize(), QSize(684, 539));
    QVERIFY(!w.isVisible());
    QCOMPARE(text(w, "label_title"), QStringLiteral("TCP升级进行中..."));
    QCOMPARE(text(w, "label_updatefile"), QStringLiteral("正在下载更新文件"));
    QCOMPARE(text(w, "label_status"), QStringLiteral("准备就绪"));
    QCOMPARE(style(w, "label_status"), QStringLiteral("color: #666;"));
    QCOMPARE(bar(w, "progressBar_main"), 0);
    QCOMPARE(bar(w, "progressBar_updatefile"), 0);
    QCOMPARE(w.findChild<QPushButton *>("pushButton_cancel")->text(), QStringLiteral("取消"));
    QCOMPARE(w.font().pointSize(), 10);
}

void TestUpdateWidget::fileProgress_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("fileLine");

    QTest::newRow("small share") << qint64(1536) << qint64(3 * 1048576) << 0 << "下载: a.dll (1.50 KB/3.00 MB)";
    QTest::newRow("half") << qint64(1048576) << qint64(2097152) << 50 << "下载: a.dll (1.00 MB/2.00 MB)";
    QTest::newRow("whole") << qint64(700) << qint64(700) << 100 << "下载: a.dll (700 B/700 B)";
    QTest::newRow("total 0") << qint64(5) << qint64(0) << 0 << "下载: a.dll (5 B/0 B)";
    QTest::newRow("total negative") << qint64(5) << qint64(-1) << 0 << "下载: a.dll (5 B/-1 B)";
    // Large files: the percentage must not overflow on the way.
    QTest::newRow("beyond 2 GB") << qint64(3221225472LL) << qint64(4294967295LL) << 75
                                 << "下载: a.dll (3.00 GB/4.00 GB)";
}

void TestUpdateWidget::fileProgress()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(int, percent);
    UpdateWidget w;
    w.showProgress(QStringLiteral("总体进度: 1/3 (33%)"), 33);
    w.updateFileProgress(QStringLiteral("a.dll"), received, total);
    // The overall bar counts finished files, not this one's bytes.
    QCOMPARE(bar(w, "progressBar_main"), 33);
    QCOMPARE(bar(w, "progressBar_updatefile"), percent);
    QTEST(text(w, "label_updatefile"), "fileLine");
    QCOMPARE(text(w, "label_status"), QStringLiteral("下载进度: %1%").arg(percent));
    QCOMPARE(style(w, "label_status"), QStringLiteral("color: #2196F3;"));
}

void TestUpdateWidget::statusOperations()
{
    UpdateWidget w;
    w.showProgress(QStringLiteral("总体进度: 1/2 (50%)"), 50);
    QCOMPARE(bar(w, "progressBar_main"), 50);
    QCOMPARE(text(w, "label_status"), QStringLiteral("总体进度: 1/2 (50%)"));

    // Out of range: text and colour change, the bar stays.
    w.showProgress(QStringLiteral("x"), 101);
    QCOMPARE(bar(w, "progressBar_main"), 50);
    w.showProgress(QStringLiteral("y"), -1);
    QCOMPARE(bar(w, "progressBar_main"), 50);
    QCOMPARE(text(w, "label_status"), QStringLiteral("y"));

    w.showError(QStringLiteral("网络错误，重试失败: a.dll"));
    QCOMPARE(style(w, "label_status"), QStringLiteral("color: #f44336;"));
    w.showStatus(QStringLiteral("下载已取消"));
    QCOMPARE(style(w, "label_status"), QStringLiteral("color: #2196F3;"));
    QCOMPARE(text(w, "label_status"), QStringLiteral("下载已取消"));

    w.showSuccess();
    QCOMPARE(text(w, "label_status"), QStringLiteral("升级成功"));
    QCOMPARE(style(w, "label_status"), QStringLiteral("color: #4CAF50;"));
    QCOMPARE(bar(w, "progressBar_main"), 100);

    w.updateFileProgress(QStringLiteral("b"), 1, 2);
    w.resetProgress();
    QCOMPARE(bar(w, "progressBar_main"), 0);
    QCOMPARE(bar(w, "progressBar_updatefile"), 0);
    QCOMPARE(text(w, "label_updatefile"), QStringLiteral("正在下载更新文件"));
    QCOMPARE(text(w, "label_status"), QStringLiteral("准备就绪"));
    QCOMPARE(style(w, "label_status"), QStringLiteral("color: #666;"));

    w.showWindow();
    QVERIFY(w.isVisible());
    // The background is painted from the resource, not left blank.
    const QImage shot = w.grab().toImage();
    QVERIFY(shot.pixelColor(2, 2) != QColor(Qt::white) || shot.pixelColor(680, 535) != QColor(Qt::white));
}

// Outside a run the button does nothing; during one it asks first.
void TestUpdateWidget::cancelButton()
{
    UpdateWidget w;
    QSignalSpy cancel(&w, &UpdateWidget::sigCancelRequested);
    BoxAnswerer answerer(QStringLiteral("确认"));
    auto *button = w.findChild<QPushButton *>("pushButton_cancel");
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(answerer.boxes(), 0);
    QCOMPARE(cancel.count(), 0);
    w.beginRun();
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(answerer.boxes(), 1);
    QCOMPARE(cancel.count(), 1);
    QVERIFY(!button->isEnabled());
    QCOMPARE(text(w, "label_title"), QStringLiteral("正在取消TCP升级..."));
}

// The progress model both roads feed. Steps, separated by ";": "+a" a file
// starts, "a 10/100" it has 10 of 100 bytes (total -1: unknown), "=a" it is
// done, "-a" it is dropped. After all steps: the followed file and both shares.
void TestUpdateWidget::progressModel_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("followed");
    QTest::addColumn<int>("filePerMille");
    QTest::addColumn<int>("overallPerMille");
    QTest::newRow("most bytes left, not started last") << 2 << "+big;big 100/3000;+small;small 10/20" << "big" << 33 << 266;
    QTest::newRow("a file all in is not followed while another moves")
        << 3 << "+a;a 0/100;+b;b 0/50;a 100/100;b 10/50" << "b" << 200 << 400;
    QTest::newRow("unknown size before one all in") << 2 << "+a;a 50/50;+b;b 5/-1" << "b" << 0 << 500;
    QTest::newRow("done counts whole, dropped nothing") << 4 << "+a;a 5/10;=a;+b;b 5/10;-b;+c;c 1/4" << "c" << 250
                                                         << 312;
    QTest::newRow("ties keep the file followed") << 2 << "+a;a 0/10;+b;b 0/10" << "a" << 0 << 0;
    QTest::newRow("nothing in flight") << 1 << "+a;a 1/1;=a" << "" << 0 << 1000;
}

void TestUpdateWidget::progressModel()
{
    QFETCH(int, files);
    QFETCH(QString, steps);
    DownloadProgress model;
    model.begin(files);
    QMap<QString, int> ids; // name -> id, stable addresses below
    static const int idKeys[8] = {};
    for (const QString &step : steps.split(';')) {
        const QString name = step.section(' ', 0, 0).remove(QRegularExpression("^[+=-]"));
        if (!ids.contains(name))
            ids.insert(name, ids.size());
        const void *id = &idKeys[ids.value(name)];
        if (step.startsWith('+')) {
            model.started(id, name);
        } else if (step.startsWith('=') || step.startsWith('-')) {
            model.finished(id, step.startsWith('='));
        } else {
            const QStringList bytes = step.section(' ', 1).split('/');
            model.progressed(id, bytes.at(0).toLongLong(), bytes.at(1).toLongLong());
        }
    }
    QTEST(model.followedName(), "followed");
    QTEST(model.followedPerMille(), "filePerMille");
    QTEST(model.overallPerMille(), "overallPerMille");
}

QTEST_MAIN(TestUpdateWidget)
#include "tst_updatewidget.moc"
