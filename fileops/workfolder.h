#pragma once
// The staging and backup folders are removed whole, so the updater removes
// only folders it made itself: a folder it claims carries a hidden marker
// file, and an existing folder without it that holds anything (the user's
// plug-ins, installed files, whatever a Temp or Backup setting happens to
// name) is never the updater's.

#include <QString>

namespace WorkFolder {

enum class State {
    Absent,  // nothing there
    Own,     // a real folder, empty or claimed by the updater
    Foreign, // holds something the updater did not put there, or is no real folder
};

// The state of folder (absolute, inside installation).
State stateOf(const QString &installation, const QString &folder);

// Creates folder when missing and marks it as the updater's. True when it
// is the updater's afterwards.
bool claim(const QString &installation, const QString &folder);

// Removes folder with everything in it when it is the updater's; true when
// it is gone. Nothing else is ever removed.
bool remove(const QString &installation, const QString &folder);

} // namespace WorkFolder
