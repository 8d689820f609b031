#include "tcp/updatewidget.h"

#include "ui/background.h"
#include "ui_updatewidget.h"

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
                       "border-radius: 4px; }QPushButton:hover { background-color: #d32f2f; }"));
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

    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        move((available.width() - width()) / 2, (available.height() - height()) / 2);
    }
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
    QCoreApplication::processEvents();
}

void UpdateWidget::showWindow()
{
    show();
    raise();
    activateWindow();
}

void UpdateWidget::updateFileProgress(const QString &fileName, qint64 bytesReceived, qint64 bytesTotal)
{
    const int percent = bytesTotal <= 0 ? 0 : static_cast<int>(bytesReceived * 100 / bytesTotal);
    ui->progressBar_main->setValue(percent);
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
    emit sigCancelRequested();
}
