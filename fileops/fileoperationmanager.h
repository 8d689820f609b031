#pragma once

#include <QObject>

// The controller's file operation manager (QObject child). The apply and its
// undo are the transaction's (fileops/applytransaction.h); what remains here
// is the readiness check the controller makes at start. GUI thread only.
class CFileOperationManager : public QObject
{
    Q_OBJECT
public:
    explicit CFileOperationManager(QObject *parent = nullptr);

    // Nothing to prepare; true.
    bool initialize();
};
