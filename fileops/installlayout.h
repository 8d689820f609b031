#pragma once

#include <QString>
#include <QStringList>

class CSystemConfig;

// The places of one installation, computed once from the program folder and
// the Paths settings of its system.cfg and handed to everything that reads or
// writes there. Folders end with "/".
struct InstallLayout
{
    QString installation;  // the program folder
    QString staging;       // installation + Temp, cleaned; empty when Temp is empty
    QString backup;        // installation + Backup, cleaned; empty when Backup is empty
    QString parkedUpdater; // where the update helper parks the replaced updater
    QString previous;      // where the files the last update replaced are kept (Update/KeepPrevious)
    QString logPrefix;     // installation + Log, or the installation alone when Log would lead
                           // out of it (PathPolicy::isSafeLogPrefix): log file names are appended

    // The places below folder for the settings as stored in system.cfg.
    // Only the log prefix is checked here: whether staging and backup are usable folders
    // of their own is the caller's decision (see PathPolicy).
    static InstallLayout build(const QString &folder, const QString &temp, const QString &backup, const QString &log);
    static InstallLayout fromConfig(const QString &folder, const CSystemConfig &config);
    // The places of the settings system.cfg ships with (Temp "UpdateTemp/",
    // Backup "Backup/", no Log prefix): what the tools that publish and serve
    // releases assume of a client.
    static InstallLayout withUsualSettings(const QString &folder);

    // The updater's own files and folders below the installation, relative,
    // "/"-separated: the staging and backup folders, the parked updater's
    // folder, the previous version's folder, the journal, the log files, the
    // downloaded version files, the accepted statement and the rollout group.
    // A release that names one of them cannot be installed.
    QStringList workPlaces() const;

    // How a text for a person names path: relative to the installation
    // ("安装目录" for the installation itself), so a long absolute path cut
    // in its middle cannot hide the file; a path elsewhere stays absolute.
    QString shownPath(const QString &path) const;

    // The running program's installation, built on first use from the
    // program folder and CSystemConfig::instance().
    static const InstallLayout &ofProgram();
};
