#pragma once

#include <QLabel>

// A one-line label that never cuts its text at an edge: text wider than the
// label is drawn with its middle elided ("…"), so both the start (what
// failed) and the end (which file) stay visible, and the whole text becomes
// the tooltip. text() always returns the whole text. The layout may make the
// label narrower than its text: the window sizes are fixed.
class ElidingLabel : public QLabel
{
    Q_OBJECT
public:
    explicit ElidingLabel(QWidget *parent = nullptr);

    // True when the last paint had to elide the text.
    bool isElided() const { return elided; }

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool elided = false;
};
