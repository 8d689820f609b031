#pragma once

#include "fileops/downloadedversionfiles.h"

#include <QObject>

class Widget;

// The HTTP channel as the model sees it: hands the work to the dialog and
// forwards its result. A dialog must be set before checkUpdate/startUpdate.
class CHttpUpdate : public QObject
{
    Q_OBJECT
public:
    explicit CHttpUpdate(QObject *parent = nullptr);

    // Not owned. Connects the dialog's result to sigUpdateResult.
    void setDialog(Widget *dialog);
    // True when files are to be downloaded. Blocks while it fetches. False
    // both for "no update" and for a check that failed; lastError() tells
    // them apart.
    bool checkUpdate();
    // Why the last check failed; empty when it completed.
    QString lastError() const;
    // What the last check downloaded for the apply: both version files when
    // it found an update, nothing otherwise.
    DownloadedVersionFiles downloadedVersionFiles() const { return downloaded; }
    // Starts the downloads; the outcome arrives through sigUpdateResult.
    bool startUpdate();

signals:
    void sigUpdateResult(bool bSuccess);

public slots:
    void onUpdateEnd(bool result);

private:
    Widget *dialog = nullptr;
    bool lastResult = false;
    QString checkError;
    DownloadedVersionFiles downloaded;
};
