#pragma once

#include <QColor>
#include <QProgressBar>

// A progress bar whose percentage stays readable at every value, in every
// widget style and under a style sheet: the style draws groove and chunk
// only, then the bar draws its text centred, over the filled part and over
// the empty part each in one colour. That colour is the bar's own text
// colour (palette Text, which a style sheet's "color" sets) where it stands
// out from what lies beneath, otherwise black or white, whichever contrasts
// more. setTextVisible(false) hides the text as usual. A text wider than
// the bar (a format naming a long path) is drawn with its middle elided and
// becomes the bar's tooltip; text() stays whole.
class PercentBar : public QProgressBar
{
    Q_OBJECT
public:
    explicit PercentBar(QWidget *parent = nullptr);

    // True when the last paint had to elide the text.
    bool isElided() const { return elided; }

    // WCAG contrast ratio of two colours, 1 (same) to 21 (black on white).
    static double contrast(const QColor &a, const QColor &b);
    // preferred when it contrasts with background by at least 4.5:1, else
    // black or white, whichever contrasts more.
    static QColor readableOn(const QColor &background, const QColor &preferred);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool elided = false;
};
