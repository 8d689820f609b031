#pragma once

#include "ui/runwindow.h"

#include <QWidget>

namespace Ui {
class TCPWidget;
}

// The TCP progress window: frameless, fixed 684 x 539, placed on the primary
// screen's available area (ui/placement.h), with a title,
// an overall bar, a file line and bar, a coloured status line and a cancel
// button. It holds no update logic: the download run drives it through the
// operations below, each of which (except resetProgress) processes pending
// events before it returns, so the window repaints and the cancel button
// answers while the run keeps the GUI thread busy. Callers must therefore
// expect their own slots to run inside these calls.
class UpdateWidget : public QWidget
{
    Q_OBJECT
public:
    explicit UpdateWidget(QWidget *parent = nullptr);
    ~UpdateWidget() override;

    // Bars 0, file line "正在下载更新文件", status "准备就绪". No event processing.
    void resetProgress();
    void showStatus(const QString &text);
    // Sets the overall bar when percent is in 0..100 (otherwise it stays).
    void showProgress(const QString &text, int percent);
    void showError(const QString &text);
    // "升级成功", both bars 100.
    void showSuccess();
    void showWindow();
    // A download run starts: resetProgress, the title says it is running,
    // the cancel button is offered.
    void beginRun();
    // The download is done and the files are being installed: cancel shows
    // as unavailable and closing waits for the end. No event processing.
    void showInstalling();
    // The run has ended: title and status say how (detail is the status
    // text of a failure or cancel), the close button replaces the cancel
    // button, and a window whose closing waited for the cancel closes. A
    // failure empties the bars and names the log file (setLogFile).
    void showRunEnd(RunEnd end, const QString &detail);
    // The log a failure points the user to; none by default.
    void setLogFile(const QString &path) { logFile = path; }
    bool isRunning() const { return running; }
    // The file bar shows the file's percentage; file line and status
    // follow. The overall bar stays: it counts finished files.
    void updateFileProgress(const QString &fileName, qint64 bytesReceived, qint64 bytesTotal);

    // "1.50 KB", "3.00 MB", "1.00 GB" (1024-based, two decimals), "1023 B".
    static QString formatFileSize(qint64 bytes);

signals:
    // The user confirmed cancelling the running update (cancel button,
    // Escape or closing the window).
    void sigCancelRequested();

protected:
    void paintEvent(QPaintEvent *event) override;
    // The updater's icon is read when a window first shows.
    void showEvent(QShowEvent *event) override;
    // While a run is in progress, closing asks the cancel confirmation;
    // once confirmed the window closes when the run has ended.
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    void on_pushButton_cancel_clicked();

private:
    void setStatus(const QString &text, const char *style);
    // Asks the confirmation; true when the user cancelled the run.
    bool requestCancel();

    Ui::TCPWidget *ui;
    bool running = false;
    bool installing = false;
    bool closeWhenEnded = false;
    QString logFile;
};
