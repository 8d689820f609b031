#include "ui/runwindow.h"

#include <QDir>
#include <QMessageBox>
#include <QPushButton>

bool confirmCancel(QWidget *parent)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("确认取消"),
                    QStringLiteral("确定要取消更新吗？未完成的更新将不会被应用。"), QMessageBox::NoButton, parent);
    QPushButton *confirm = box.addButton(QStringLiteral("确认"), QMessageBox::YesRole);
    box.setDefaultButton(box.addButton(QStringLiteral("取消"), QMessageBox::NoRole));
    box.exec();
    return box.clickedButton() == confirm;
}

QString logHint(const QString &logFile)
{
    return QStringLiteral("详细信息见日志: ") + QDir::toNativeSeparators(logFile);
}
