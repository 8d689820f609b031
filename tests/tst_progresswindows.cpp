// The two progress windows as a user sees them, rendered offscreen (and
// again on a virtual X screen at twice the scale): the percentages readable
// at every value in both widget styles, long texts elided with the whole
// text at hand, Chinese drawn as glyphs, and how a finished run reads and
// closes, what a run in progress shows, and where the TCP window goes on a
// screen. Every state drawn is also read whole: see lookAt().
#include "ui/elidinglabel.h"
#include "ui/percentbar.h"
#include "ui/placement.h"
#include "ui/refreshpacer.h"
#include "http/widget.h"
#include "support/boxanswerer.h"
#include "support/scriptedhttpserver.h"
#include "support/testfiles.h"
#include "tcp/updatewidget.h"

#include <QCryptographicHash>
#include <QSignalSpy>

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyleFactory>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString kLogFile = QStringLiteral("/opt/app/update.log");
// Wider than either window's bars and labels, to be elided.
const QString kLongFolder = QStringLiteral("/Product Suite 2026/installation").repeated(4) + '/';

std::unique_ptr<QWidget> makeWindow(const QString &which)
{
    if (which == "http")
        return std::make_unique<Widget>();
    return std::make_unique<UpdateWidget>();
}

QImage shot(QWidget &window)
{
    return window.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// What a user reads of a window as drawn, at whatever scale the run has:
// the window inside its screen's available area; every label, bar and
// button inside the window; every text whole, or elided in its middle with
// the whole text as its tooltip; the buttons large enough for their text.
// With UPDATER_SHOTS set to a folder, the window as drawn is kept there as
// name.png, for people to look at.
void lookAt(QWidget &window, const QString &name)
{
    const QImage drawn = shot(window); // the labels and bars elide as they paint
    const QString folder = qEnvironmentVariable("UPDATER_SHOTS");
    if (!folder.isEmpty())
        QVERIFY(drawn.save(folder + '/' + QString(name).replace(QRegularExpression("[^A-Za-z0-9-]+"), "_") + ".png"));
    // Under a scale factor the picture behind is drawn at the device's
    // resolution: enlarged from the window's size, every block of
    // scale x scale pixels would be one colour, and the curves jagged.
    const int scale = qRound(drawn.devicePixelRatio());
    if (scale > 1) {
        bool finer = false;
        for (int y = 0; y + scale <= drawn.height() / 3 && !finer; y += scale) {
            for (int x = 0; x + scale <= drawn.width() && !finer; x += scale)
                finer = drawn.pixel(x, y) != drawn.pixel(x + scale - 1, y + scale - 1);
        }
        QVERIFY2(finer, "background enlarged from the window's size");
    }
    const auto where = [](const QRect &r) {
        return QString("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    };
    const QRect available = window.screen()->availableGeometry();
    QVERIFY2(available.contains(window.frameGeometry()),
             qPrintable(where(window.frameGeometry()) + " outside " + where(available)));
    for (QWidget *part : window.findChildren<QWidget *>()) {
        if (!part->isVisibleTo(&window) || part->isWindow())
            continue;
        const QRect place(part->mapTo(&window, QPoint(0, 0)), part->size());
        QVERIFY2(window.rect().contains(place), qPrintable(part->objectName() + " at " + where(place)));
    }
    const auto fits = [](const QWidget *part, const QString &text) {
        return part->fontMetrics().horizontalAdvance(text) <= part->contentsRect().width();
    };
    for (QLabel *label : window.findChildren<QLabel *>()) {
        auto *eliding = qobject_cast<ElidingLabel *>(label);
        if (!label->isVisibleTo(&window) || label->text().isEmpty() || (eliding && eliding->isElided()))
            continue;
        QVERIFY2(fits(label, label->text()), qPrintable(label->objectName() + " cut: " + label->text()));
        QVERIFY2(label->height() >= label->fontMetrics().height(), qPrintable(label->objectName()));
    }
    for (ElidingLabel *label : window.findChildren<ElidingLabel *>())
        QCOMPARE(label->toolTip(), label->isElided() ? label->text() : QString());
    for (PercentBar *bar : window.findChildren<PercentBar *>()) {
        QCOMPARE(bar->toolTip(), bar->isElided() ? bar->text() : QString());
        if (!bar->isElided())
            QVERIFY2(fits(bar, bar->text()), qPrintable(bar->objectName() + " cut: " + bar->text()));
    }
    for (QPushButton *button : window.findChildren<QPushButton *>()) {
        if (button->isVisibleTo(&window))
            QVERIFY2(button->width() >= button->sizeHint().width() && button->height() >= button->sizeHint().height(),
                     qPrintable(button->objectName() + " at " + where(button->geometry())));
    }
}

// A dialog on a fresh installation of version 1.0, pointed at server, whose
// release 2.0 in folder v2 has files (each path with its content).
struct HttpSite
{
    QTemporaryDir dir;
    Widget widget;
    HttpSite(ScriptedHttpServer &server, const QMap<QString, ScriptedHttpServer::Response> &files, bool statement)
    {
        Md5Map manifest;
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            manifest.insert(it.key(), QCryptographicHash::hash(it.value().body, QCryptographicHash::Md5).toHex());
            server.setRoute("/v2" + it.key(), it.value());
        }
        server.setFile("/update.ini", "[Version]\nVersion=2.0\nFolder=v2\n");
        server.setFile("/v2/md5.txt", serializeMd5Map(manifest));
        widget.setSettings({InstallLayout::build(dir.path(), "UpdateTemp/", "Backup/", ""), server.baseUrl(), 120000,
                            TransferLimits(), statement, QString(), 6});
        QVERIFY(writeTestFile(dir.path() + "/update/update.ini", "[Version]\nVersion=1.0\n"));
        widget.show();
        QCOMPARE(widget.checkServerVersion(), 1);
        QCOMPARE(widget.checkManifest(), 1);
    }
    QString label(const char *name) const { return widget.findChild<QLabel *>(name)->text(); }
    QProgressBar *bar(const char *name) const { return widget.findChild<QProgressBar *>(name); }
};

} // namespace

class TestProgressWindows : public QObject
{
    Q_OBJECT
private slots:
    // Steps "due@t", "shown@t" and "until@t" at t ms of the pacer's clock;
    // results: what each due (1 or 0) and until step gives.
    void refreshPacing_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QList<int>>("results");
        QTest::newRow("the first at once, then one an interval")
            << 100 << QStringList{"due@0", "due@50", "due@99", "due@100", "until@130", "due@150", "due@200"}
            << QList<int>{1, 0, 0, 1, 70, 0, 1};
        QTest::newRow("a refresh shown restarts the interval")
            << 100 << QStringList{"due@0", "shown@60", "due@100", "until@100", "due@160"} << QList<int>{1, 0, 60, 1};
        QTest::newRow("no interval") << 0 << QStringList{"due@0", "due@0", "until@0"} << QList<int>{1, 1, 0};
    }
    void refreshPacing()
    {
        QFETCH(int, interval);
        QFETCH(QStringList, steps);
        QFETCH(QList<int>, results);
        qint64 now = 0;
        RefreshPacer pacer(interval, [&now] { return now; });
        QList<int> seen;
        for (const QString &step : steps) {
            now = step.section('@', 1).toLongLong();
            if (step.startsWith("due"))
                seen << int(pacer.due());
            else if (step.startsWith("until"))
                seen << pacer.untilDue();
            else
                pacer.shown();
        }
        QCOMPARE(seen, results);
    }

    // The percentage is found as the pixels that change when the bar hides
    // its text; on each side of the chunk's edge a good share of them must
    // stand out from what the bar shows beneath (3:1 or better).
    void percentReadable_data()
    {
        QTest::addColumn<QString>("style");
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("bar");
        QTest::addColumn<int>("value");
        for (const char *style : {"Fusion", "Windows"}) {
            for (const auto &[window, bar] : {std::pair{"http", "progressBar_update"}, {"http", "progressBar_updatefile"},
                                               {"tcp", "progressBar_main"}, {"tcp", "progressBar_updatefile"}}) {
                for (int value : {0, 25, 50, 100})
                    QTest::addRow("%s %s %s %d", style, window, bar, value) << style << window << bar << value;
            }
        }
    }
    void percentReadable()
    {
        QFETCH(QString, style);
        QFETCH(QString, window);
        QFETCH(QString, bar);
        QFETCH(int, value);
        QApplication::setStyle(QStyleFactory::create(style));
        std::unique_ptr<QWidget> w = makeWindow(window);
        auto *progress = w->findChild<QProgressBar *>(bar);
        progress->setRange(0, 100);
        progress->setValue(value);
        const QImage withText = shot(*w);
        progress->setTextVisible(false);
        const QImage without = shot(*w);

        // In device pixels: under a scale factor the image holds more of them.
        const qreal scale = withText.devicePixelRatio();
        const QRect area(progress->mapTo(w.get(), QPoint(0, 0)) * scale, progress->size() * scale);
        const int edge = area.left() + area.width() * value / 100;
        int glyph[2] = {0, 0};
        int clear[2] = {0, 0};
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                const QColor ink = withText.pixelColor(x, y);
                const QColor under = without.pixelColor(x, y);
                if (ink == under || qAbs(x - edge) <= 2)
                    continue;
                const int side = x < edge ? 0 : 1;
                ++glyph[side];
                if (PercentBar::contrast(ink, under) >= 3.0)
                    ++clear[side];
            }
        }
        // How many pixels a glyph has depends on the font and its rendering:
        // "0%" in a thin font may have fewer than thirty, and still reads.
        const int allClear = clear[0] + clear[1];
        const int allGlyph = glyph[0] + glyph[1];
        QVERIFY2(allClear >= 10 && allClear * 4 >= allGlyph,
                 qPrintable(QString("%1 of %2 glyph pixels clear").arg(allClear).arg(allGlyph)));
        for (int side : {0, 1}) {
            if (glyph[side] >= 10)
                QVERIFY2(clear[side] * 4 >= glyph[side],
                         qPrintable(QString("side %1: %2 of %3 glyph pixels clear").arg(side).arg(clear[side]).arg(glyph[side])));
        }
    }

    // A long failure line keeps both ends on screen and the whole text in
    // the label and its tooltip.
    void longTextElided_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("label");
        QTest::newRow("http detail") << "http" << "label_updatefile";
        QTest::newRow("tcp status") << "tcp" << "label_status";
        QTest::newRow("tcp file line") << "tcp" << "label_updatefile";
    }
    void longTextElided()
    {
        QFETCH(QString, window);
        QFETCH(QString, label);
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        std::unique_ptr<QWidget> w = makeWindow(window);
        const QString text = "安装失败（无法删除现有文件:" + QString("/opt/product/installation/").repeated(6)
            + "lib/core.dll），已恢复原版本";
        auto *l = w->findChild<QLabel *>(label);
        l->setText(text);
        w->show();
        shot(*w);
        QCOMPARE(l->text(), text);
        QCOMPARE(l->toolTip(), text);
        QVERIFY(w->rect().contains(l->geometry()));
    }

    // Chinese must come out as distinct glyphs, not as the same empty box.
    void chineseGlyphs()
    {
        Widget w;
        const QFont font = w.findChild<QLabel *>("label_update")->font();
        const auto draw = [&font](const QString &text) {
            QImage image(64, 64, QImage::Format_RGB32);
            image.fill(Qt::white);
            QPainter painter(&image);
            painter.setFont(font);
            painter.drawText(image.rect(), Qt::AlignCenter, text);
            return image;
        };
        QVERIFY(draw("更") != draw("新"));
        QVERIFY(draw("更") != draw(" "));
    }

    // After the end of a run the cancel button gives way to a close button,
    // and Escape or the close button close the window without asking.
    void runEnd_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<int>("end");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("detailLabel");
        QTest::addColumn<QString>("logFile");
        const QString failure = "安装失败（替换文件失败: lib/a.dll），已恢复原版本";
        const QString longFailure = "文件校验失败:UpdateTemp" + kLongFolder + "core.dll";
        const QString longLog = "/opt" + kLongFolder + "update.log";
        QTest::newRow("http failed") << "http" << int(RunEnd::Failed) << "更新失败" << failure << "label_updatefile"
                                     << kLogFile;
        QTest::newRow("http failed, long names") << "http" << int(RunEnd::Failed) << "更新失败" << longFailure
                                                 << "label_updatefile" << longLog;
        QTest::newRow("http cancelled") << "http" << int(RunEnd::Cancelled) << "更新已取消" << "已取消，未安装任何文件"
                                        << "label_updatefile" << kLogFile;
        QTest::newRow("http succeeded") << "http" << int(RunEnd::Succeeded) << "更新完成!" << "" << "label_updatefile"
                                        << kLogFile;
        QTest::newRow("tcp failed") << "tcp" << int(RunEnd::Failed) << "TCP升级失败" << failure << "label_status"
                                    << kLogFile;
        QTest::newRow("tcp failed, long names") << "tcp" << int(RunEnd::Failed) << "TCP升级失败" << longFailure
                                                << "label_status" << longLog;
        QTest::newRow("tcp cancelled") << "tcp" << int(RunEnd::Cancelled) << "TCP升级已取消" << "下载已取消"
                                       << "label_status" << kLogFile;
        QTest::newRow("tcp succeeded") << "tcp" << int(RunEnd::Succeeded) << "TCP升级完成" << "升级成功"
                                       << "label_status" << kLogFile;
    }
    void runEnd()
    {
        QFETCH(QString, window);
        QFETCH(int, end);
        QFETCH(QString, detail);
        QFETCH(QString, detailLabel);
        QFETCH(QString, logFile);
        std::unique_ptr<QWidget> w = makeWindow(window);
        const bool http = window == "http";
        for (QProgressBar *bar : w->findChildren<QProgressBar *>())
            bar->setValue(bar->maximum());
        if (http) {
            static_cast<Widget *>(w.get())->setLogFile(logFile);
        } else {
            static_cast<UpdateWidget *>(w.get())->setLogFile(logFile);
            static_cast<UpdateWidget *>(w.get())->beginRun();
        }
        w->show();
        BoxAnswerer answerer(QStringLiteral("确认"));
        if (http)
            static_cast<Widget *>(w.get())->showRunEnd(RunEnd(end), detail);
        else
            static_cast<UpdateWidget *>(w.get())->showRunEnd(RunEnd(end), detail);
        lookAt(*w, QString(QTest::currentDataTag()));
        QTEST(w->findChild<QLabel *>(http ? "label_update" : "label_title")->text(), "title");
        // A failure also says where the log is.
        const QString hint = logHint(logFile);
        const bool failed = RunEnd(end) == RunEnd::Failed;
        QCOMPARE(w->findChild<QLabel *>(detailLabel)->text(), detail);
        if (failed && http)
            QCOMPARE(w->findChild<QProgressBar *>("progressBar_updatefile")->text(), hint);
        if (!http)
            QCOMPARE(w->findChild<QLabel *>("label_updatefile")->text(), failed ? hint : QString());
        // A failure must not read as success at a glance.
        for (QProgressBar *bar : w->findChildren<QProgressBar *>()) {
            if (RunEnd(end) != RunEnd::Cancelled)
                QCOMPARE(bar->value() == bar->maximum(), RunEnd(end) == RunEnd::Succeeded);
        }
        QVERIFY(!w->findChild<QPushButton *>("pushButton_cancel")->isVisible());
        auto *close = w->findChild<QPushButton *>("pushButton_close");
        QVERIFY(close->isVisible());
        QCOMPARE(close->text(), QStringLiteral("关闭"));
        QTest::keyClick(w.get(), Qt::Key_Escape);
        QVERIFY(!w->isVisible());
        w->show();
        close->click();
        QVERIFY(!w->isVisible());
        QCOMPARE(answerer.boxes(), 0);
    }

    // While the files are put in place nothing can be cancelled: cancel is
    // shown unavailable, and neither Escape nor closing hides the window.
    void installing_data()
    {
        QTest::addColumn<QString>("window");
        QTest::newRow("http installing") << "http";
        QTest::newRow("tcp installing") << "tcp";
    }
    void installing()
    {
        QFETCH(QString, window);
        std::unique_ptr<QWidget> w = makeWindow(window);
        if (auto *tcp = qobject_cast<UpdateWidget *>(w.get())) {
            tcp->beginRun();
            tcp->updateFileProgress("core.dll", 10, 10);
            tcp->showInstalling();
        } else {
            static_cast<Widget *>(w.get())->showInstalling();
        }
        w->show();
        // A shown window wears the updater's icon (read as the first one shows).
        QVERIFY(w->windowIcon().availableSizes().contains(QSize(32, 32)));
        lookAt(*w, QTest::currentDataTag());
        BoxAnswerer answerer(QStringLiteral("确认"));
        QVERIFY(!w->findChild<QPushButton *>("pushButton_cancel")->isEnabled());
        QTest::keyClick(w.get(), Qt::Key_Escape);
        w->close();
        QVERIFY(w->isVisible());
        QCOMPARE(answerer.boxes(), 0);
        QVERIFY(w->findChildren<QLabel *>().size() > 0);
        const QString shown = w->findChild<QLabel *>(window == "http" ? "label_update" : "label_status")->text();
        QCOMPARE(shown, QStringLiteral("下载完成，正在安装更新…"));
        // Nothing says a file is still downloading.
        QVERIFY(!w->findChild<QLabel *>("label_updatefile")->text().contains("下载"));
    }

    // A download in progress names its file; the disabled cancel button
    // does not look like the live one. A new updater downloads as any file.
    void tcpDownloading_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("tcp downloading") << "core.dll";
        QTest::newRow("tcp downloading, long name") << "plugins" + kLongFolder + "core.dll";
        QTest::newRow("tcp self-update") << "update.exe";
    }
    void tcpDownloading()
    {
        QFETCH(QString, file);
        UpdateWidget w;
        w.beginRun();
        w.show();
        w.updateFileProgress(file, 150000, 300000);
        lookAt(w, QTest::currentDataTag());
        QVERIFY(w.findChild<QLabel *>("label_updatefile")->text().contains(file));
        auto *cancel = w.findChild<QPushButton *>("pushButton_cancel");
        const QImage live = cancel->grab().toImage();
        cancel->setEnabled(false);
        QVERIFY(cancel->grab().toImage() != live);
    }

    // With six files in flight the file line follows one still
    // downloading (the one with most bytes left), not the one started
    // last; both bars and the file bar's text move with bytes.
    void fileLineFollowsUnfinished()
    {
        ScriptedHttpServer server;
        // Sorted first, so it starts first; it sends 1000 of its bytes and waits.
        const ScriptedHttpServer::Response big{200, QByteArray(100000, 'b'), ScriptedHttpServer::Fault::Stall, 1000};
        HttpSite site(server, {{"/a-big.bin", big}, {"/b.txt", {200, "b"}}, {"/c.txt", {200, "c"}}, {"/d.txt", {200, "d"}}},
                      false);
        site.widget.startUpdate();
        QTRY_COMPARE_WITH_TIMEOUT(site.label("label_update"), QStringLiteral("正在更新 3/4"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(site.bar("progressBar_updatefile")->text().startsWith("1000 B / 97.66 KB"), 20000);
        lookAt(site.widget, "http downloading");
        QCOMPARE(site.label("label_updatefile"), QStringLiteral("a-big.bin"));
        QCOMPARE(site.bar("progressBar_updatefile")->value(), 10); // of 1000
        // Three files done and a hundredth of the fourth.
        QCOMPARE(site.bar("progressBar_update")->value(), (3000 + 10) / 4);
    }

    // With a signed statement to fetch first, the window is up and the run
    // already cancellable: the button and Escape ask, a refusal keeps the
    // run, a confirmed cancel ends it before any file is requested.
    void cancelDuringStatementFetch_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::addColumn<QStringList>("answers"); // one box each
        QTest::newRow("button") << false << QStringList{"确认"};
        QTest::newRow("Escape") << true << QStringList{"确认"};
        QTest::newRow("declined, then confirmed") << false << QStringList{"取消", "确认"};
    }
    void cancelDuringStatementFetch()
    {
        QFETCH(bool, escape);
        QFETCH(QStringList, answers);
        ScriptedHttpServer server;
        server.setRoute("/v2/release.statement", {200, "x", ScriptedHttpServer::Fault::Stall, 0});
        HttpSite site(server, {{"/a.txt", {200, "a"}}}, true);
        QSignalSpy results(&site.widget, &Widget::sigUpdateResult);
        auto *cancel = site.widget.findChild<QPushButton *>("pushButton_cancel");
        QStringList visibleAfterAnswer;
        // Asked from inside the fetch, once its request is out.
        std::function<void()> ask = [&] {
            if (!server.requests().contains("/v2/release.statement")) {
                QTimer::singleShot(10, &site.widget, ask);
                return;
            }
            lookAt(site.widget, "http fetching statement");
            QCOMPARE(site.label("label_updatefile"), QStringLiteral("正在获取发布声明…"));
            QCOMPARE(site.bar("progressBar_updatefile")->value(), 0); // not the manifest's full bar
            BoxAnswerer answerer(answers.takeFirst());
            QVERIFY(cancel->isVisible() && cancel->isEnabled());
            if (escape)
                QTest::keyClick(&site.widget, Qt::Key_Escape);
            else
                cancel->click();
            QCOMPARE(answerer.boxes(), 1);
            visibleAfterAnswer << (site.widget.isVisible() ? "visible" : "hidden");
            if (!answers.isEmpty())
                QTimer::singleShot(0, &site.widget, ask);
        };
        QTimer::singleShot(0, &site.widget, ask);
        site.widget.startUpdate();
        QCOMPARE(results.count(), 1);
        QCOMPARE(results.at(0).at(0).toBool(), false);
        QCOMPARE(site.label("label_update"), QStringLiteral("更新已取消"));
        QVERIFY(!server.requests().contains("/v2/a.txt"));
        QCOMPARE(visibleAfterAnswer.last(), QString(escape ? "hidden" : "visible"));
        if (visibleAfterAnswer.size() > 1)
            QCOMPARE(visibleAfterAnswer.first(), QString("visible"));
    }

    // The TCP window's place on its screen's available area: centred where
    // it fits, against the top or left edge where it does not.
    void placement_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QPoint>("place");
        QTest::newRow("fits") << QSize(684, 539) << QRect(0, 0, 1366, 728) << QPoint(341, 94);
        QTest::newRow("second screen, task bar at the top") << QSize(684, 539) << QRect(1366, 40, 1920, 1040)
                                                             << QPoint(1366 + 618, 40 + 250);
        // 1366 x 768 at 150 %: 910 x 512 device-independent pixels, less the task bar.
        QTest::newRow("1366x768 at 1.5") << QSize(684, 539) << QRect(0, 0, 910, 485) << QPoint(113, 0);
        QTest::newRow("wider and taller than the area") << QSize(1000, 900) << QRect(-800, 20, 800, 580)
                                                         << QPoint(-800, 20);
    }
    void placement()
    {
        QFETCH(QSize, size);
        QFETCH(QRect, available);
        QTEST(placeInside(size, available), "place");
        UpdateWidget w;
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(w.pos(), placeInside(w.size(), screen));
    }
};

QTEST_MAIN(TestProgressWindows)
#include "tst_progresswindows.moc"
