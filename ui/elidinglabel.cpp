#include "ui/elidinglabel.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

ElidingLabel::ElidingLabel(QWidget *parent)
    : QLabel(parent)
{
}

QSize ElidingLabel::minimumSizeHint() const
{
    // Only the height counts: a long text must not widen the layout beyond
    // the fixed window, where it would be cut instead of elided.
    return QSize(0, QLabel::minimumSizeHint().height());
}

void ElidingLabel::paintEvent(QPaintEvent *event)
{
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width());
    elided = shown != text();
    const QString tip = elided ? text() : QString();
    if (toolTip() != tip)
        setToolTip(tip);
    if (!elided) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    style()->drawItemText(&painter, area, QStyle::visualAlignment(layoutDirection(), alignment()), option.palette,
                          isEnabled(), shown, foregroundRole());
}
