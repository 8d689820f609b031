#pragma once

#include "config/transferlimits.h"

#include <QMap>
#include <QString>

// Port text as system.cfg holds it (UpdatePort): unsigned decimal; 0 when
// the text is not a number or out of 0-65535.
quint16 portFromText(const QString &text);

// Reads system.cfg and update.ini from the program directory once per
// process and answers every settings question. Read only: nothing here writes
// either file. A QCoreApplication must exist before the first instance() call.
class CSystemConfig
{
public:
    using Table = QMap<QString, QMap<QString, QString>>;

    static constexpr int kDefaultParallelDownloads = 6;
    static constexpr int kDefaultServerConnections = 1;
    // More transfers at once gain nothing on a real network and multiply
    // what one run holds open.
    static constexpr int kMaxTransfers = 16;

    // The one object, created on first use; lives until process exit.
    static CSystemConfig *instance();

    // Reads configPath (the program directory + "/system.cfg") and the
    // update.ini beside it.
    explicit CSystemConfig(const QString &configPath);

    // Text of system.cfg's group/key, or empty when absent.
    QString getValue(const QString &group, const QString &key) const;
    // "URL" or "ExeName" of system.cfg's Update group, or empty.
    QString getUpdateValue(const QString &key) const;

    QString getBackupPath() const;
    QString getVersion() const;
    QString getHostExe() const;
    QString getLogPath() const;
    // Project/Type when it is a number in 1..6, otherwise 1.
    int getProjectType() const;
    QString getTempPath() const;
    // Paths/Temp with exactly one "/" at the end.
    QString getTempDir() const;
    QString getUpdateExe() const;
    QString getUpdateHelperExe() const;
    QString getUpdatePort() const;
    QString getUpdateServer() const;
    // Update/PublicKey: the base64 keys a release statement must be signed
    // with (blanks or commas between them); empty: releases are not checked.
    QString getPublicKeys() const;
    // True when system.cfg has an Update/PublicKey entry, whatever its value:
    // one that yields no key must refuse updates, not turn checking off.
    bool hasPublicKeyEntry() const;
    // Update/CaFile: a PEM file of extra certificate authorities for HTTPS.
    QString getCaFile() const;
    bool isHttpEnable() const;
    // Update/KeepPrevious: the files an update replaces are kept after its
    // commit, for "update.exe rollback".
    bool keepsPrevious() const;
    // The [Limits] group: RequestTimeout and RateWindow in seconds, MinRate
    // in bytes per second, DiskReserve in MiB. An absent or unreadable value
    // keeps its default; 0 turns the bound off.
    TransferLimits getTransferLimits() const;
    // Update/ParallelDownloads: HTTP file downloads in flight at once, 1 to
    // kMaxTransfers (default 6; 1 downloads one file after another).
    int getParallelDownloads() const;
    // Server/Connections: connections to the TCP update server, each with
    // one file request at a time, 1 to kMaxTransfers. The default stays 1:
    // a deployed server may take only one connection per client.
    int getServerConnections() const;
    // True once system.cfg was read without error; stays true after that.
    bool isLoaded() const;

    // Reads both files again (they may have been replaced by an update).
    void reload();
    void reloadSystemConfig();
    void reloadUpdateInfo();

private:
    void loadUpdateTable();
    void loadSystemTable();
    void loadUpdateInfoTable();
    // group/key as a whole number from 1 to kMaxTransfers, else fallback.
    int transferCount(const char *group, const char *key, int fallback) const;

    QString configPath;
    QString systemCfgPath;
    QString updateIniPath;
    QMap<QString, QString> updateTable;
    Table systemTable;
    Table updateInfoTable;
    bool loaded = false;
    bool publicKeyEntry = false;
};
