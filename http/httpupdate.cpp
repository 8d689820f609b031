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
    checkError.clear();
    downloaded = {};
    int version = dialog->checkServerVersion();
    if (version == 1)
        version = dialog->followSteppingStone();
    if (version == 1) {
        const int manifest = dialog->checkManifest();
        if (manifest == 1)
            downloaded = {true, true};
        if (manifest <= 1)
            return manifest == 1;
    } else if (version == 0) {
        return false;
    }
    // 2 and 3 of either check: the server could not be asked or its answer
    // was not usable. That is no "no update", and the detail says why.
    checkError = dialog->statusDetailText();
    return false;
}

QString CHttpUpdate::lastError() const
{
    return checkError;
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
