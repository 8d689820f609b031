#include "config/iniedit.h"
#include "config/systemconfig.h"

#include "config/names.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>

#include <climits>

namespace {

struct KeySpec
{
    const char *group;
    const char *key;
    bool httpEnableDefault; // HttpEnable alone defaults to true
};

const KeySpec kSystemKeys[] = {
    {Names::kGroupUpdate, Names::kKeyUrl, false},
    {Names::kGroupUpdate, Names::kKeyExeName, false},
    {Names::kGroupUpdate, Names::kKeyHostExe, false},
    {Names::kGroupUpdate, Names::kKeyUpdateExe, false},
    {Names::kGroupUpdate, Names::kKeyUpdateHelperExe, false},
    {Names::kGroupUpdate, Names::kKeyHttpEnable, true},
    {Names::kGroupUpdate, Names::kKeyPublicKey, false},
    {Names::kGroupUpdate, Names::kKeyCaFile, false},
    {Names::kGroupUpdate, Names::kKeyParallelDownloads, false},
    {Names::kGroupUpdate, Names::kKeyProxy, false},
    {Names::kGroupUpdate, Names::kKeyProxyUser, false},
    {Names::kGroupUpdate, Names::kKeyProxyPassword, false},
    {Names::kGroupUpdate, Names::kKeyOnMetered, false},
    {Names::kGroupUpdate, Names::kKeyKeepPrevious, false},
    {Names::kGroupServer, Names::kKeyUpdateServer, false},
    {Names::kGroupServer, Names::kKeyUpdatePort, false},
    {Names::kGroupServer, Names::kKeyConnections, false},
    {Names::kGroupGeneral, Names::kKeyVersion, false},
    {Names::kGroupGeneral, Names::kKeyLastCheckTime, false},
    {Names::kGroupPaths, Names::kKeyBackup, false},
    {Names::kGroupPaths, Names::kKeyTemp, false},
    {Names::kGroupPaths, Names::kKeyLog, false},
    {Names::kGroupProject, Names::kKeyName, false},
    {Names::kGroupProject, Names::kKeyType, false},
    {Names::kGroupLimits, Names::kKeyRequestTimeout, false},
    {Names::kGroupLimits, Names::kKeyMinRate, false},
    {Names::kGroupLimits, Names::kKeyRateWindow, false},
    {Names::kGroupLimits, Names::kKeyDiskReserve, false},
};

const KeySpec kUpdateInfoKeys[] = {
    {Names::kGroupSummary, Names::kKeyUpdateType, false},
    {Names::kGroupSummary, Names::kKeyUpdateStrategy, false},
    {Names::kGroupSummary, Names::kKeyReleaseDate, false},
    {Names::kGroupSummary, Names::kKeyDescription, false},
    {Names::kGroupSummary, Names::kKeyInstallPackage, false},
    {Names::kGroupVersion, Names::kKeyReleaseVersion, false},
    {Names::kGroupVersion, Names::kKeyMinRequiredVersion, false},
    {Names::kGroupRollBack, Names::kKeyRollBackSrc, false},
    {Names::kGroupRollBack, Names::kKeyRollBackDes, false},
    {Names::kGroupRollBack, Names::kKeyRollBackTip, false},
};

// Reads the listed keys of an INI file into table; false when QSettings
// reports an error (the table is then left as it was).
template <size_t N>
bool readTable(const QString &path, const KeySpec (&keys)[N], CSystemConfig::Table &table)
{
    QSettings settings(IniEdit::settingsPath(path), QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return false;
    for (const KeySpec &spec : keys) {
        const QString group = QString::fromLatin1(spec.group);
        const QString key = QString::fromLatin1(spec.key);
        // QSettings maps an INI file's [General] section to its top level, so
        // a group named "General" would never find the installed version.
        const bool topLevel = group == QLatin1String(Names::kGroupGeneral);
        if (!topLevel)
            settings.beginGroup(group);
        const QVariant def = spec.httpEnableDefault ? QVariant(true) : QVariant(QString());
        // QSettings splits an unquoted value at its commas; the text is
        // taken whole (a list of keys would otherwise read as empty).
        const QVariant value = settings.value(key, def);
        table[group][key] = value.type() == QVariant::StringList ? value.toStringList().join(QLatin1Char(','))
                                                                 : value.toString();
        if (!topLevel)
            settings.endGroup();
    }
    return true;
}

} // namespace

quint16 portFromText(const QString &text)
{
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok, 10);
    // Out of range is no port: cutting 99999 to 16 bits would name another
    // server's port.
    return ok && value <= 0xFFFF ? static_cast<quint16>(value) : 0;
}

CSystemConfig *CSystemConfig::instance()
{
    static CSystemConfig config(QCoreApplication::applicationDirPath() + Names::kSystemCfgFile);
    return &config;
}

CSystemConfig::CSystemConfig(const QString &path)
    : configPath(path)
    , systemCfgPath(QFileInfo(path).path() + Names::kSystemCfgFile)
    , updateIniPath(QFileInfo(path).path() + QLatin1Char('/') + Names::kUpdateIniFile)
{
    loadUpdateTable();
    loadSystemTable();
    loadUpdateInfoTable();
}

void CSystemConfig::loadUpdateTable()
{
    QSettings settings(IniEdit::settingsPath(configPath), QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return;
    for (const QString &key : {Names::kUrlKey, Names::kExeNameKey}) {
        if (!updateTable.contains(key))
            updateTable.insert(key, settings.value(Names::kUpdateKeyPrefix + key).toString());
    }
}

void CSystemConfig::loadSystemTable()
{
    if (readTable(systemCfgPath, kSystemKeys, systemTable))
        loaded = true;
    // An entry QSettings reads as empty ("PublicKey=", or a value it takes
    // for a comment because it starts with ";") is still an entry.
    publicKeyEntry = QSettings(IniEdit::settingsPath(systemCfgPath), QSettings::IniFormat)
                         .contains(QString::fromLatin1(Names::kGroupUpdate) + QLatin1Char('/')
                                   + QString::fromLatin1(Names::kKeyPublicKey));
}

void CSystemConfig::loadUpdateInfoTable()
{
    readTable(updateIniPath, kUpdateInfoKeys, updateInfoTable);
}

QString CSystemConfig::getValue(const QString &group, const QString &key) const
{
    return systemTable.value(group).value(key);
}

QString CSystemConfig::getUpdateValue(const QString &key) const
{
    return updateTable.value(key);
}

#define CFG(group, key) getValue(QString::fromLatin1(Names::group), QString::fromLatin1(Names::key))

QString CSystemConfig::getBackupPath() const { return CFG(kGroupPaths, kKeyBackup); }
QString CSystemConfig::getVersion() const { return CFG(kGroupGeneral, kKeyVersion); }
QString CSystemConfig::getHostExe() const { return CFG(kGroupUpdate, kKeyHostExe); }
QString CSystemConfig::getLogPath() const { return CFG(kGroupPaths, kKeyLog); }
QString CSystemConfig::getTempPath() const { return CFG(kGroupPaths, kKeyTemp); }
QString CSystemConfig::getUpdateExe() const { return CFG(kGroupUpdate, kKeyUpdateExe); }
QString CSystemConfig::getUpdateHelperExe() const { return CFG(kGroupUpdate, kKeyUpdateHelperExe); }
QString CSystemConfig::getUpdatePort() const { return CFG(kGroupServer, kKeyUpdatePort); }
QString CSystemConfig::getUpdateServer() const { return CFG(kGroupServer, kKeyUpdateServer); }
QString CSystemConfig::getPublicKeys() const { return CFG(kGroupUpdate, kKeyPublicKey); }
bool CSystemConfig::hasPublicKeyEntry() const { return publicKeyEntry; }
QString CSystemConfig::getCaFile() const { return CFG(kGroupUpdate, kKeyCaFile); }

int CSystemConfig::getProjectType() const
{
    const QString text = CFG(kGroupProject, kKeyType);
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return (!text.isEmpty() && ok && value >= 1 && value <= 6) ? value : 1;
}

namespace {
// A switch in system.cfg: "1" or "true" (any case) turns it on.
bool isOn(const QString &text)
{
    return text.toLower() == QLatin1String("true") || text == QLatin1String("1");
}
} // namespace

bool CSystemConfig::isHttpEnable() const
{
    return isOn(CFG(kGroupUpdate, kKeyHttpEnable));
}

bool CSystemConfig::keepsPrevious() const
{
    return isOn(CFG(kGroupUpdate, kKeyKeepPrevious));
}

TransferLimits CSystemConfig::getTransferLimits() const
{
    // value × scale when the text is a whole number from 0 up to one that
    // still fits, otherwise fallback.
    const auto read = [this](const char *key, qint64 scale, qint64 max, qint64 fallback) {
        bool ok = false;
        const qint64 value =
            getValue(QString::fromLatin1(Names::kGroupLimits), QString::fromLatin1(key)).trimmed().toLongLong(&ok);
        return ok && value >= 0 && value <= max / scale ? value * scale : fallback;
    };
    TransferLimits limits;
    limits.requestDeadlineMs = int(read(Names::kKeyRequestTimeout, 1000, INT_MAX, limits.requestDeadlineMs));
    limits.minBytesPerSecond = read(Names::kKeyMinRate, 1, INT_MAX, limits.minBytesPerSecond);
    limits.rateWindowMs = int(read(Names::kKeyRateWindow, 1000, INT_MAX, limits.rateWindowMs));
    limits.diskReserveBytes = read(Names::kKeyDiskReserve, qint64(1) << 20, LLONG_MAX, limits.diskReserveBytes);
    return limits;
}

int CSystemConfig::transferCount(const char *group, const char *key, int fallback) const
{
    bool ok = false;
    const int value = getValue(QString::fromLatin1(group), QString::fromLatin1(key)).trimmed().toInt(&ok);
    return ok && value >= 1 && value <= kMaxTransfers ? value : fallback;
}

int CSystemConfig::getParallelDownloads() const
{
    return transferCount(Names::kGroupUpdate, Names::kKeyParallelDownloads, kDefaultParallelDownloads);
}

int CSystemConfig::getServerConnections() const
{
    return transferCount(Names::kGroupServer, Names::kKeyConnections, kDefaultServerConnections);
}

#undef CFG

QString CSystemConfig::getTempDir() const
{
    QString dir = getTempPath();
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

bool CSystemConfig::isLoaded() const
{
    return loaded;
}

void CSystemConfig::reload()
{
    reloadSystemConfig();
    reloadUpdateInfo();
}

void CSystemConfig::reloadSystemConfig()
{
    systemTable.clear();
    loadSystemTable();
}

void CSystemConfig::reloadUpdateInfo()
{
    updateInfoTable.clear();
    loadUpdateInfoTable();
}
