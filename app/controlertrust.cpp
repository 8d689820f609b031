// The controller's check of a downloaded release against its signed
// statement, and the texts of its refusals.
#include "app/controler.h"

#include "app/updatemodel.h"
#include "config/systemconfig.h"
#include "log/logger.h"
#include "trust/ed25519.h"
#include "trust/stagedrelease.h"

namespace {

QString refusalText(const StatementCheck &check)
{
    QString what;
    switch (check.failure) {
    case StatementFailure::Missing:
        what = QStringLiteral("发布声明或其签名缺失");
        break;
    case StatementFailure::Malformed:
        what = QStringLiteral("发布声明或其签名格式无效");
        break;
    case StatementFailure::UnknownKey:
        what = QStringLiteral("发布声明的签名不属于任何已配置的公钥");
        break;
    case StatementFailure::Expired:
        what = QStringLiteral("发布声明已过期");
        break;
    case StatementFailure::WrongVersion:
        what = QStringLiteral("发布声明的版本与服务端公布的版本不符");
        break;
    case StatementFailure::Replayed:
        what = QStringLiteral("发布声明的序号低于已安装的版本（旧版本重放）");
        break;
    case StatementFailure::Downgrade:
        what = QStringLiteral("发布的版本低于已安装的版本，且发布声明未允许降级");
        break;
    case StatementFailure::FileMismatch:
        what = QStringLiteral("文件与发布声明不符");
        break;
    case StatementFailure::UnlistedFile:
        what = QStringLiteral("文件未列在发布声明中");
        break;
    case StatementFailure::Unrecorded:
        what = QStringLiteral("无法保存发布声明");
        break;
    case StatementFailure::Withheld:
        what = QStringLiteral("发布声明的分阶段发布范围尚未包含本机");
        break;
    case StatementFailure::None:
        break;
    }
    return check.detail.isEmpty() ? what : what + QStringLiteral(": ") + check.detail;
}

} // namespace

bool CControler::verifyStagedRelease()
{
    const auto keys = Ed25519::parsePublicKeys(config->getPublicKeys());
    if (!keys || (keys->isEmpty() && config->hasPublicKeyEntry())) {
        lastError = keys ? QStringLiteral("Update/PublicKey 已设置但不含任何公钥")
                         : QStringLiteral("Update/PublicKey 中有无效的公钥");
        logError(lastError);
        return false;
    }
    if (keys->isEmpty())
        logWarn("未配置发布公钥（Update/PublicKey），不校验更新文件的签名");
    ReleaseStatement accepted;
    StatementCheck check =
        checkStagedRelease({appDir, tempDir, model->offeredVersion(), model->downloadedVersionFiles()}, *keys,
                           QDateTime::currentDateTimeUtc(), &accepted);
    // The signed share holds whatever the unsigned version description said.
    if (check.ok() && outsideRollout(accepted.rollout))
        check = {StatementFailure::Withheld, QStringLiteral("%1%").arg(accepted.rollout)};
    if (check.ok()) {
        if (!keys->isEmpty())
            logInfo("发布声明已验证，所有更新文件与之相符");
        return true;
    }
    lastError = refusalText(check);
    logError(lastError);
    return false;
}
