#include "http/widget.h"

Widget::Widget(QWidget *parent)
    : QDialog(parent)
{
}

Widget::~Widget()
{
    emit sigUpdateResult(false);
}

int Widget::checkServerVersion()
{
    return 2;
}

int Widget::checkManifest()
{
    return 2;
}

void Widget::startUpdate()
{
    emit sigUpdateResult(false);
}
