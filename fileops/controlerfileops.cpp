// The controller's operations on the installation: copies, backup, replace,
// rollback and self-update detection. (Placeholders until the apply step
// lands: none of them reports success.)
#include "app/controler.h"

bool CControler::copyFile(const QString &, const QString &) { return false; }
bool CControler::copyDirectory(const QString &, const QString &) { return false; }
void CControler::backupDirectory(const QString &, const QString &, const QString &) {}
bool CControler::backupFiles() { return false; }
bool CControler::backupSpecialFiles() { return false; }
bool CControler::replaceFiles() { return false; }
bool CControler::replaceSpecialFiles() { return false; }
bool CControler::rollback() { return false; }
bool CControler::checkSelfUpdate() { return false; }
void CControler::cleanTempFiles() {}
