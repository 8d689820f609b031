#include "tcp/tcpupdate.h"

CTCPUpdate::CTCPUpdate(QObject *parent)
    : QObject(parent)
{
}

void CTCPUpdate::setProgressWindow(UpdateWidget *window)
{
    progressWindow = window;
}

bool CTCPUpdate::checkVersion()
{
    return false;
}

bool CTCPUpdate::startUpdate()
{
    return false;
}
