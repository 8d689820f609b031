#include "http/httpupdate.h"

#include "http/widget.h"

CHttpUpdate::CHttpUpdate(QObject *parent)
    : QObject(parent)
{
}

void CHttpUpdate::setDialog(Widget *newDialog)
{
    dialog = newDialog;
    if (dialog)
        connect(dialog, &Widget::sigUpdateResult, this, &CHttpUpdate::sigUpdateResult);
}

bool CHttpUpdate::checkUpdate()
{
    if (dialog->checkServerVersion() != 1)
        return false;
    return dialog->checkManifest() == 1;
}

bool CHttpUpdate::startUpdate()
{
    dialog->startUpdate();
    return true;
}

void CHttpUpdate::onUpdateEnd(bool result)
{
    lastResult = result;
}
