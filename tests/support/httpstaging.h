#pragma once

#include <QByteArray>
#include <QString>

class Widget;

// Goes on with a dialog whose version check found an update: the manifest
// check, then the download into staging. True when the manifest was
// usable, the download reported success within 30 s and stagedFile holds
// exactly content.
bool stagesUpdate(Widget &widget, const QString &stagedFile, const QByteArray &content);
