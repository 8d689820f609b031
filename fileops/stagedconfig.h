#pragma once

#include <QString>

struct InstallLayout;

// Prepares the staged system.cfg before a download is applied, so the apply
// installs it (and a rollback restores the old one) like any other file:
// the installation's system.cfg with [General] Version set to version
// (unless empty), merged with the release's own system.cfg when one was
// staged (see IniEdit::mergedSystemConfig). Nothing is staged when there is
// nothing to change. False with error set (naming the file relative to the
// installation) when a file cannot be read or the staged one written.
bool stageSystemConfig(const InstallLayout &layout, const QString &version, QString *error);
