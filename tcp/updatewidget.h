#pragma once

#include <QWidget>

// The TCP progress window. (Placeholder until the TCP channel lands.)
class UpdateWidget : public QWidget
{
    Q_OBJECT
public:
    explicit UpdateWidget(QWidget *parent = nullptr);
};
