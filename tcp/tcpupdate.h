#pragma once

#include <QObject>

class UpdateWidget;

// The TCP channel: version check and the download queue. (Placeholder until
// the TCP channel lands: it reports no update and never succeeds.)
class CTCPUpdate : public QObject
{
    Q_OBJECT
public:
    explicit CTCPUpdate(QObject *parent = nullptr);

    // The window the run reports progress in; not owned.
    void setProgressWindow(UpdateWidget *window);
    bool checkVersion();
    bool startUpdate();

signals:
    void sigUpdateResult(bool bSuccess);

private:
    UpdateWidget *progressWindow = nullptr;
};
