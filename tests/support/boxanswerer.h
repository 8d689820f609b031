#pragma once

#include <QString>
#include <QStringList>
#include <QTimer>

// Answers every modal message box that opens while it lives by clicking the
// button with the given text (or rejecting the box when it has none); counts
// the boxes and keeps each one's title and text.
class BoxAnswerer
{
public:
    explicit BoxAnswerer(const QString &buttonText);

    int boxes() const { return seen.size(); }
    // "title|text" of each box answered, in order.
    QStringList seenBoxes() const { return seen; }

private:
    QTimer timer;
    QStringList seen;
};
