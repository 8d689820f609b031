#pragma once

#include <QDialog>

// The HTTP update dialog and the HTTP update logic. (Placeholder until the
// HTTP channel lands: it reports no update and never succeeds.)
class Widget : public QDialog
{
    Q_OBJECT
public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    int checkServerVersion();
    int checkManifest();
    void startUpdate();

signals:
    void sigUpdateResult(bool bSuccess);
};
