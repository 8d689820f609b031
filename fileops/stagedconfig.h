#pragma once

#include <QString>

// Prepares the staged system.cfg before a download is applied, so the apply
// installs it (and a rollback restores the old one) like any other file:
// the installed file with [General] Version set to version (unless empty),
// merged with the release's own system.cfg when one was staged (see
// IniEdit::mergedSystemConfig). Nothing is staged when there is nothing to
// change. False with error set when the staged file cannot be written.
bool stageSystemConfig(const QString &installedPath, const QString &stagedPath, const QString &version, QString *error);
