// The two progress windows as a user sees them, rendered offscreen: the
// percentages readable at every value in both widget styles, long texts
// elided with the whole text at hand, Chinese drawn as glyphs, and how a
// finished run reads and closes.
#include "ui/percentbar.h"
#include "http/widget.h"
#include "support/boxanswerer.h"
#include "tcp/updatewidget.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleFactory>
#include <QtTest>

#include <memory>

namespace {

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

} // namespace

class TestProgressWindows : public QObject
{
    Q_OBJECT
private slots:
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

        const QRect area(progress->mapTo(w.get(), QPoint(0, 0)), progress->size());
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
        const QString failure = "安装失败（文件复制失败:/x/a.dll），已恢复原版本";
        QTest::newRow("http failed") << "http" << int(RunEnd::Failed) << "更新失败" << failure << "label_updatefile";
        QTest::newRow("http cancelled") << "http" << int(RunEnd::Cancelled) << "更新已取消" << "已取消，未安装任何文件"
                                        << "label_updatefile";
        QTest::newRow("http succeeded") << "http" << int(RunEnd::Succeeded) << "更新完成!" << "" << "label_updatefile";
        QTest::newRow("tcp failed") << "tcp" << int(RunEnd::Failed) << "TCP升级失败" << failure << "label_status";
        QTest::newRow("tcp cancelled") << "tcp" << int(RunEnd::Cancelled) << "TCP升级已取消" << "下载已取消"
                                       << "label_status";
        QTest::newRow("tcp succeeded") << "tcp" << int(RunEnd::Succeeded) << "TCP升级完成" << "升级成功"
                                       << "label_status";
    }
    void runEnd()
    {
        QFETCH(QString, window);
        QFETCH(int, end);
        QFETCH(QString, detail);
        QFETCH(QString, detailLabel);
        std::unique_ptr<QWidget> w = makeWindow(window);
        const bool http = window == "http";
        if (!http)
            static_cast<UpdateWidget *>(w.get())->beginRun();
        w->show();
        BoxAnswerer answerer(QStringLiteral("确认"));
        if (http)
            static_cast<Widget *>(w.get())->showRunEnd(RunEnd(end), detail);
        else
            static_cast<UpdateWidget *>(w.get())->showRunEnd(RunEnd(end), detail);
        QTEST(w->findChild<QLabel *>(http ? "label_update" : "label_title")->text(), "title");
        QCOMPARE(w->findChild<QLabel *>(detailLabel)->text(), detail);
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
};

QTEST_MAIN(TestProgressWindows)
#include "tst_progresswindows.moc"
