#pragma once

class QWidget;

// Draws the windows' background picture (":/res/bk.png") scaled over the
// whole widget. Call from a paintEvent, before the base class's handling.
void paintBackground(QWidget *widget);
