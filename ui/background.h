#pragma once

class QWidget;

// Makes the compiled-in pictures (":/res/logo.ico", ":/res/bk.png") available.
// They live in the static UI library, so a program has to reference their
// initialiser or the linker drops them. Safe to call more than once.
void ensureResources();

// Draws the windows' background picture (":/res/bk.png") scaled over the
// whole widget. Call from a paintEvent, before the base class's handling.
void paintBackground(QWidget *widget);
