#pragma once
// The system's fixed names: files, INI groups and keys, compound keys,
// command-line words and the HTTP dialog's status texts. No module spells
// these texts itself.

#include <QString>

namespace Names {

// Narrow (ASCII) constants: INI groups and keys, the instance key base and
// the command-line words.
inline constexpr const char *kInstanceKeyBase = "SystemObject_Update";

inline constexpr const char *kGroupUpdate = "Update";
inline constexpr const char *kGroupServer = "Server";
inline constexpr const char *kGroupGeneral = "General";
inline constexpr const char *kGroupPaths = "Paths";
inline constexpr const char *kGroupProject = "Project";
inline constexpr const char *kGroupLimits = "Limits";

inline constexpr const char *kKeyUrl = "URL";
inline constexpr const char *kKeyExeName = "ExeName";
inline constexpr const char *kKeyHostExe = "HostExe";
inline constexpr const char *kKeyUpdateExe = "UpdateExe";
inline constexpr const char *kKeyUpdateHelperExe = "UpdateHelperExe";
inline constexpr const char *kKeyHttpEnable = "HttpEnable";
inline constexpr const char *kKeyUpdateServer = "UpdateServer";
inline constexpr const char *kKeyUpdatePort = "UpdatePort";
inline constexpr const char *kKeyVersion = "Version";
inline constexpr const char *kKeyLastCheckTime = "LastCheckTime";
inline constexpr const char *kKeyBackup = "Backup";
inline constexpr const char *kKeyTemp = "Temp";
inline constexpr const char *kKeyLog = "Log";
inline constexpr const char *kKeyName = "Name";
inline constexpr const char *kKeyType = "Type";
inline constexpr const char *kKeyRequestTimeout = "RequestTimeout";
inline constexpr const char *kKeyMinRate = "MinRate";
inline constexpr const char *kKeyRateWindow = "RateWindow";
inline constexpr const char *kKeyDiskReserve = "DiskReserve";
inline constexpr const char *kKeyPublicKey = "PublicKey";
inline constexpr const char *kKeyCaFile = "CaFile";
inline constexpr const char *kKeyParallelDownloads = "ParallelDownloads";
inline constexpr const char *kKeyConnections = "Connections";
inline constexpr const char *kKeyProxy = "Proxy";
inline constexpr const char *kKeyProxyUser = "ProxyUser";
inline constexpr const char *kKeyProxyPassword = "ProxyPassword";
inline constexpr const char *kKeyOnMetered = "OnMetered";
inline constexpr const char *kKeyKeepPrevious = "KeepPrevious";

inline constexpr const char *kGroupSummary = "Summary";
inline constexpr const char *kGroupVersion = "Version";
inline constexpr const char *kGroupRollBack = "RollBack";
inline constexpr const char *kKeyUpdateType = "UpdateType";
inline constexpr const char *kKeyUpdateStrategy = "UpdateStrategy";
inline constexpr const char *kKeyReleaseDate = "ReleaseDate";
inline constexpr const char *kKeyDescription = "Description";
inline constexpr const char *kKeyInstallPackage = "InstallPackage";
inline constexpr const char *kKeyReleaseVersion = "Version";
inline constexpr const char *kKeyMinRequiredVersion = "MinRequiredVersion";
inline constexpr const char *kKeyRollBackSrc = "RollBackSrc";
inline constexpr const char *kKeyRollBackDes = "RollBackDes";
inline constexpr const char *kKeyRollBackTip = "RollBackTip";

inline constexpr const char *kArgHelperSuccess = "HelperSuccess";
inline constexpr const char *kArgHelperFaile = "HelperFaile";
inline constexpr const char *kArgConsole = "console";
inline constexpr const char *kArgUpdateHelper = "updatehelper";
// Restores the version kept before the last update (Update/KeepPrevious).
inline constexpr const char *kArgRollback = "rollback";
// Added after the words above: takes an offered release at once, whatever
// share of installations its staged rollout has reached.
inline constexpr const char *kArgNow = "now";

// QString constants: file names, relative paths, compound keys, dialog texts.
inline const QString kSystemCfgFile = QStringLiteral("/system.cfg");
inline const QString kUpdateIniFile = QStringLiteral("update.ini");
inline const QString kUpdateTmpIniFile = QStringLiteral("updateTmp.ini");
inline const QString kMd5File = QStringLiteral("md5.txt");
inline const QString kMd5TmpFile = QStringLiteral("md5Tmp.txt");
inline const QString kJournalFile = QStringLiteral("update.journal");
inline const QString kUpdateDir = QStringLiteral("update/");
// Below kUpdateDir: downloads a run did not finish, for the next run to continue.
inline const QString kPartialDir = QStringLiteral("partial");
// The signed release statement and its detached signature, in the release
// folder; the accepted statement is kept as kUpdateDir + kStatementFile.
inline const QString kStatementFile = QStringLiteral("release.statement");
inline const QString kStatementSignatureFile = QStringLiteral("release.statement.sig");
inline const QString kUpdateKeyPrefix = QStringLiteral("Update/");
inline const QString kUrlKey = QStringLiteral("URL");
inline const QString kExeNameKey = QStringLiteral("ExeName");
inline const QString kVersionFolderKey = QStringLiteral("Version/Folder");
inline const QString kVersionVersionKey = QStringLiteral("Version/Version");
// What the publisher records in update.ini of the release's md5.txt, so a
// client can tell a whole manifest from one cut at a line end.
inline constexpr const char *kKeyManifestSize = "ManifestSize";
inline constexpr const char *kKeyManifestMd5 = "ManifestMd5";
inline const QString kVersionManifestSizeKey = QStringLiteral("Version/ManifestSize");
inline const QString kVersionManifestMd5Key = QStringLiteral("Version/ManifestMd5");
// Release control in update.ini [Version], written by the publisher and
// ignored by clients that predate it: the share of installations a release
// is offered to (a whole percent, 0 halts it), the lowest installed version
// it applies to and the release folder older installations take first.
inline constexpr const char *kKeyRollout = "Rollout";
inline constexpr const char *kKeySteppingStone = "SteppingStone";
inline const QString kVersionRolloutKey = QStringLiteral("Version/Rollout");
inline const QString kVersionMinRequiredKey = QStringLiteral("Version/MinRequiredVersion");
inline const QString kVersionSteppingStoneKey = QStringLiteral("Version/SteppingStone");
// The installation's rollout group, drawn once, in kUpdateDir.
inline const QString kRolloutGroupFile = QStringLiteral("rollout.group");

inline const QString kStatusPrepare = QStringLiteral("准备开始更新");
inline const QString kStatusUpdating = QStringLiteral("正在更新");
inline const QString kStatusCancelling = QStringLiteral("正在取消更新");
inline const QString kStatusStopped = QStringLiteral("停止更新");
inline const QString kStatusFailed = QStringLiteral("更新失败");

// Fixed names of the self-update hand-off.
inline const QString kSelfUpdateExe = QStringLiteral("update.exe");
inline const QString kUpdaterCopyDir = QStringLiteral("UpdateTmp/");
// The files the last update replaced, kept as the previous version, with
// the record of that update as kJournalFile inside it (no installed file can
// have that name, so the record never meets a kept file).
inline const QString kPreviousDir = QStringLiteral("UpdatePrevious/");

} // namespace Names
