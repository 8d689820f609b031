#pragma once

class QWidget;

// Makes the compiled-in pictures (":/res/logo.ico", ":/res/bk.png") available.
// They live in the static UI library, so a program has to reference their
// initialiser or the linker drops them. Safe to call more than once.
void ensureResources();

// Makes the updater's icon (":/res/logo.ico") the default of every window.
// Each window calls it as it is made rather than the program at its start:
// reading the icon loads an image plugin and decodes every size in it, a
// cost a check that ends without a window should not pay. Safe to call more
// than once.
void useUpdaterWindowIcon();

// Draws the windows' background picture (":/res/bk.png") scaled over the
// whole widget. Call from a paintEvent, before the base class's handling.
void paintBackground(QWidget *widget);
