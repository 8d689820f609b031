#include "tcp/updatewidget.h"

#include "log/logger.h"
#include "log/percent.h"
#include "ui/background.h"
#include "ui/placement.h"
#include "ui_updatewidget.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

namespace {

constexpr int kWidth = 684;
constexpr int kHeight = 539;

constexpr const char *kStyleReady = "color: #666;";
constexpr const char *kStyleBusy = "color: #2196F3;";
constexpr const char *kStyleError = "color: #f44336;";
constexpr const char *kStyleSuccess = "color: #4CAF50;";

const QString kFileLineIdle = QStringLiteral("正在下载更新文件");
const QString kStatusReady = QStringLiteral("准备就绪");
const QString kTitleRunning = QStringLiteral("TCP升级进行中...");

} // namespace

UpdateWidget::UpdateWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::TCPWidget)
{
    setWindowTitle(QStringLiteral("TCP升级"));
    setWindowFlags(Qt::FramelessWindowHint);
    setFixedSize(kWidth, kHeight);
    ui->setupUi(this);

    setStyleSheet(QStringLiteral("UpdateWidget { background-color: white; }"));
    ui->pushButton_cancel->setStyleSheet(
        QStringLiteral("QPushButton { padding: 8px 16px; background-color: #f44336; color: white; border: none; "
                       "border-radius: 4px; }QPushButton:hover { background-color: #d32f2f; }"
                       "QPushButton:disabled { background-color: #e0e0e0; color: #9e9e9e; }"));
    const QString barStyle = QStringLiteral("QProgressBar { text-align: center; }");
    ui->progressBar_main->setStyleSheet(barStyle);
    ui->progressBar_updatefile->setStyleSheet(barStyle);
    ui->label_title->setStyleSheet(QStringLiteral("font-size: 16px; font-weight: bold; color: #333;"));
    ui->label_status->setStyleSheet(QString::fromLatin1(kStyleReady));
    ui->label_updatefile->setStyleSheet(QStringLiteral("color: #666; font-size: 12px;"));
    QFont windowFont = QGuiApplication::font();
    windowFont.setPointSize(10);
    setFont(windowFont);

    ui->progressBar_main->setValue(0);
    ui->progressBar_updatefile->setValue(0);
    ui->label_updatefile->setText(kFileLineIdle);
    ui->label_status->setText(kStatusReady);
    connect(ui->pushButton_close, &QPushButton::clicked, this, &QWidget::close);

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(placeInside(size(), screen->availableGeometry()));
}

UpdateWidget::~UpdateWidget()
{
    delete ui;
}

void UpdateWidget::setStatus(const QString &text, const char *style)
{
    ui->label_status->setText(text);
    ui->label_status->setStyleSheet(QString::fromLatin1(style));
}

void UpdateWidget::resetProgress()
{
    ui->progressBar_main->setValue(0);
    ui->progressBar_updatefile->setValue(0);
    ui->label_updatefile->setText(kFileLineIdle);
    setStatus(kStatusReady, kStyleReady);
}

void UpdateWidget::showStatus(const QString &text)
{
    setStatus(text, kStyleBusy);
    QCoreApplication::processEvents();
}

void UpdateWidget::showProgress(const QString &text, int percent)
{
    if (percent >= 0 && percent <= 100)
        ui->progressBar_main->setValue(percent);
    setStatus(text, kStyleBusy);
    QCoreApplication::processEvents();
}

void UpdateWidget::showError(const QString &text)
{
    setStatus(text, kStyleError);
    QCoreApplication::processEvents();
}

void UpdateWidget::showSuccess()
{
    setStatus(QStringLiteral("升级成功"), kStyleSuccess);
    ui->progressBar_main->setValue(100);
    ui->progressBar_updatefile->setValue(100);
    QCoreApplication::processEvents();
}

void UpdateWidget::showWindow()
{
    show();
    raise();
    activateWindow();
}

void UpdateWidget::beginRun()
{
    running = true;
    closeWhenEnded = false;
    resetProgress();
    ui->label_title->setText(kTitleRunning);
    ui->pushButton_close->hide();
    ui->pushButton_cancel->show();
    ui->pushButton_cancel->setEnabled(true);
}

void UpdateWidget::showInstalling()
{
    installing = true;
    ui->pushButton_cancel->setEnabled(false);
    ui->progressBar_main->setValue(100);
    ui->progressBar_updatefile->setValue(100);
    ui->label_updatefile->clear(); // no file downloads any more
    setStatus(QStringLiteral("下载完成，正在安装更新…"), kStyleBusy);
}

void UpdateWidget::showRunEnd(RunEnd end, const QString &detail)
{
    running = false;
    installing = false;
    // Before any text: the status calls below repaint the window.
    ui->pushButton_cancel->setEnabled(false);
    ui->pushButton_cancel->hide();
    ui->pushButton_close->show();
    ui->label_updatefile->clear();
    switch (end) {
    case RunEnd::Succeeded:
        ui->label_title->setText(QStringLiteral("TCP升级完成"));
        showSuccess();
        logInfo("TCP升级完成");
        break;
    case RunEnd::Failed:
        ui->label_title->setText(QStringLiteral("TCP升级失败"));
        // Full bars would read as success at a glance.
        ui->progressBar_main->setValue(0);
        ui->progressBar_updatefile->setValue(0);
        if (!logFile.isEmpty())
            ui->label_updatefile->setText(logHint(logFile));
        setStatus(detail, kStyleError);
        logError("TCP升级失败: " + detail);
        break;
    case RunEnd::Cancelled:
        ui->label_title->setText(QStringLiteral("TCP升级已取消"));
        setStatus(detail, kStyleReady);
        logInfo("TCP升级已取消: " + detail);
        break;
    }
    if (closeWhenEnded)
        close();
}

bool UpdateWidget::requestCancel()
{
    if (!running || !ui->pushButton_cancel->isEnabled())
        return false;
    ui->pushButton_cancel->setEnabled(false); // one box at a time
    const bool confirmed = confirmCancel(this);
    // The run may have ended while the box was open.
    if (!running)
        return confirmed;
    if (!confirmed) {
        ui->pushButton_cancel->setEnabled(true);
        return false;
    }
    ui->label_title->setText(QStringLiteral("正在取消TCP升级..."));
    emit sigCancelRequested();
    return true;
}

void UpdateWidget::showEvent(QShowEvent *event)
{
    useUpdaterWindowIcon();
    QWidget::showEvent(event);
}

void UpdateWidget::closeEvent(QCloseEvent *event)
{
    // The files are being put in place: nothing to cancel, the end follows.
    if (installing) {
        event->ignore();
        return;
    }
    if (!running) {
        QWidget::closeEvent(event);
        return;
    }
    // The download runs in the caller's loop: the window stays until the run
    // has stopped, so nothing goes on behind a closed window.
    event->ignore();
    const bool alreadyCancelled = !ui->pushButton_cancel->isEnabled();
    if (alreadyCancelled || requestCancel()) {
        if (running)
            closeWhenEnded = true;
        else
            close();
    }
}

void UpdateWidget::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void UpdateWidget::updateFileProgress(const QString &fileName, qint64 bytesReceived, qint64 bytesTotal)
{
    const int percent = percentOf(bytesReceived, bytesTotal);
    ui->progressBar_updatefile->setValue(percent);
    ui->label_updatefile->setText(
        QStringLiteral("下载: %1 (%2/%3)").arg(fileName, formatFileSize(bytesReceived), formatFileSize(bytesTotal)));
    setStatus(QStringLiteral("下载进度: %1%").arg(percent), kStyleBusy);
    QCoreApplication::processEvents();
}

QString UpdateWidget::formatFileSize(qint64 bytes)
{
    if (bytes >= (qint64(1) << 30))
        return QStringLiteral("%1 GB").arg(static_cast<double>(bytes) / (1 << 30), 0, 'f', 2);
    if (bytes >= (qint64(1) << 20))
        return QStringLiteral("%1 MB").arg(static_cast<double>(bytes) / (1 << 20), 0, 'f', 2);
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    return QStringLiteral("%1 KB").arg(static_cast<double>(bytes) / 1024, 0, 'f', 2);
}

void UpdateWidget::paintEvent(QPaintEvent *event)
{
    paintBackground(this);
    QWidget::paintEvent(event);
}

void UpdateWidget::on_pushButton_cancel_clicked()
{
    requestCancel();
}
