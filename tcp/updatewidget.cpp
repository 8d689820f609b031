#include "tcp/updatewidget.h"

UpdateWidget::UpdateWidget(QWidget *parent)
    : QWidget(parent)
{
}
