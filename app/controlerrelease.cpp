// The controller's release control: whether an offered release is for this
// installation now (its staged rollout and the word that overrides it) and
// whether it applies to the installed version.
#include "config/iniedit.h"
#include "app/controler.h"

#include "app/updatemodel.h"
#include "config/names.h"
#include "config/releasecontrol.h"
#include "config/systemconfig.h"
#include "fileops/rolloutgroup.h"
#include "log/logger.h"

#include <QSettings>

int CControler::offeredRollout() const
{
    if (!model->downloadedVersionFiles().description)
        return model->offeredTcpRollout();
    const QSettings description(IniEdit::settingsPath(appDir + Names::kUpdateDir + Names::kUpdateTmpIniFile), QSettings::IniFormat);
    const QString text = description.value(Names::kVersionRolloutKey).toString();
    const std::optional<int> share = ReleaseControl::parseRollout(text);
    if (!share)
        logWarn(QStringLiteral("服务端的分阶段发布比例无效，暂不更新: ") + text);
    // A share that cannot be read is taken as a halt, not as a release to all.
    return share.value_or(0);
}

bool CControler::outsideRollout(int percent)
{
    if (percent >= ReleaseControl::kWholeRollout)
        return false;
    if (args.contains(QLatin1String(Names::kArgNow))) {
        logInfo(QStringLiteral("按命令行要求立即更新，不受分阶段发布（%1%）限制").arg(percent));
        return false;
    }
    const std::optional<int> group = installationRolloutGroup(appDir);
    if (!group) {
        logWarn("无法保存本机的分阶段发布分组，暂不更新");
        return true;
    }
    return !ReleaseControl::takesRelease(*group, percent);
}

bool CControler::releaseApplies()
{
    if (model->downloadedVersionFiles().description)
        return true;
    const QSettings staged(IniEdit::settingsPath(tempDir + Names::kUpdateIniFile), QSettings::IniFormat);
    const QString minimum = staged.value(Names::kVersionMinRequiredKey).toString();
    if (ReleaseControl::appliesTo(config->getVersion(), minimum))
        return true;
    lastError = QStringLiteral("已安装的版本 %1 低于新版本要求的最低版本 %2").arg(config->getVersion(), minimum);
    logError(lastError);
    return false;
}

bool CControler::withheldByRollout()
{
    const int percent = offeredRollout();
    if (!outsideRollout(percent))
        return false;
    logInfo(QStringLiteral("新版本正在分阶段发布（%1%），本机暂不更新").arg(percent));
    endWithoutUpdate(QString());
    return true;
}
