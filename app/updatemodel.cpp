#include "app/updatemodel.h"

#include "config/systemconfig.h"
#include "http/httpupdate.h"
#include "http/widget.h"
#include "log/logger.h"
#include "tcp/tcpupdate.h"
#include "tcp/updatetcpclient.h"
#include "tcp/updatewidget.h"

namespace {
constexpr int kProbeTimeoutMs = 500;
}

CUpdateModel::CUpdateModel(const TcpUpdateSettings &tcp, bool http, QObject *parent)
    : QObject(parent)
    , tcpSettings(tcp)
    , httpEnabled(http)
{
}

CUpdateModel::~CUpdateModel()
{
    setHttpChannel(nullptr);
    setTcpChannel(nullptr);
}

void CUpdateModel::setWindows(const Windows &given)
{
    windows = given;
}

UpdateWidget *CUpdateModel::tcpWindow() const
{
    return windows.tcpWindow ? windows.tcpWindow() : nullptr;
}

Widget *CUpdateModel::httpDialog() const
{
    return windows.httpDialog ? windows.httpDialog() : nullptr;
}

bool CUpdateModel::hasConfiguredChannel(const CSystemConfig &config)
{
    return (!config.getUpdateServer().isEmpty() && portFromText(config.getUpdatePort()) != 0)
        || config.isHttpEnable();
}

void CUpdateModel::setTcpChannel(CTCPUpdate *newChannel)
{
    delete tcpChannel;
    tcpChannel = newChannel;
}

void CUpdateModel::setHttpChannel(CHttpUpdate *newChannel)
{
    delete httpChannel;
    httpChannel = newChannel;
}

int CUpdateModel::checkUpdate()
{
    m_lastError.clear();
    if (!tcpSettings.proxy.problem.isEmpty()) {
        // A proxy setting that cannot be followed fails the check: going
        // around the proxy could be just what the network forbids.
        return channelResult(false, tcpSettings.proxy.problem);
    }
    const QString &server = tcpSettings.host;
    const quint16 port = tcpSettings.port;
    // A port that is given but no port (0, above 65535, not a number) is a
    // setting to mend, not a server that does not answer.
    QString badPort;
    if (!server.isEmpty() && !tcpSettings.portText.isEmpty() && port == 0) {
        badPort = QStringLiteral("TCP升级服务端口无效(应为1-65535): ") + tcpSettings.portText;
        logError(badPort);
    }

    bool reachable = false;
    QString unreachable; // why the TCP server could not be reached
    if (!server.isEmpty() && port != 0) {
        auto *probe = new QUpdateTcpClient(this);
        probe->setProxySettings(tcpSettings.proxy);
        reachable = probe->connectToServer(server, port, kProbeTimeoutMs);
        if (!reachable) {
            unreachable = probe->lastError();
            logWarn(QStringLiteral("TCP升级服务连接失败：") + unreachable);
        }
        delete probe;
    }

    if (reachable) {
        channel = Tcp;
        setTcpChannel(new CTCPUpdate(tcpSettings, nullptr));
        connect(tcpChannel, &CTCPUpdate::sigUpdateResult, this, &CUpdateModel::onChannelResult);
        const bool available = tcpChannel->checkVersion();
        return channelResult(available, tcpChannel->lastError());
    }

    if (httpEnabled) {
        setHttpChannel(new CHttpUpdate(this));
        channel = Http;
        httpChannel->setDialog(httpDialog());
        connect(httpChannel, &CHttpUpdate::sigUpdateResult, this, &CUpdateModel::onChannelResult);
        const bool available = httpChannel->checkUpdate();
        return channelResult(available, httpChannel->lastError());
    }

    m_lastError = badPort.isEmpty() ? QStringLiteral("TCP升级服务连接失败") : badPort;
    if (!unreachable.isEmpty())
        m_lastError += QStringLiteral("：") + unreachable;
    const QString where = server.isEmpty() || port == 0
        ? QStringLiteral("未配置可用的TCP升级服务器")
        : QStringLiteral("无法连接 %1:%2").arg(server).arg(port);
    logError(m_lastError + QStringLiteral("（") + where + QStringLiteral("），且未启用HTTP升级（HttpEnable=0）"));
    return -1;
}

int CUpdateModel::channelResult(bool updateAvailable, const QString &checkError)
{
    // A check that failed still counts as "no update" (a normal run starts
    // the host program), but its reason is kept so the run does not report
    // success.
    m_lastError = checkError;
    const QString road = channel == Tcp ? QStringLiteral("TCP") : QStringLiteral("HTTP");
    if (!checkError.isEmpty())
        logError(road + QStringLiteral("更新检查失败: ") + checkError);
    else
        logPhase(road + (updateAvailable ? QStringLiteral("更新检查完成: 有新版本") : QStringLiteral("更新检查完成: 已是最新版本")));
    return updateAvailable ? 1 : 0;
}

void CUpdateModel::onChannelResult(bool bSuccess)
{
    // A failed download has logged its reason as an error already.
    if (bSuccess)
        logPhase(QStringLiteral("下载完成"));
    emit sigUpdateResult(bSuccess);
}

QString CUpdateModel::lastError() const
{
    return m_lastError;
}

bool CUpdateModel::showUpdateWindow()
{
    if (channel == Tcp) {
        if (UpdateWidget *window = tcpWindow())
            window->show();
    } else if (channel == Http) {
        if (Widget *dialog = httpDialog())
            dialog->show();
    }
    return false;
}

bool CUpdateModel::startUpdate()
{
    if (channel == Tcp && tcpChannel) {
        // The check is over: what the window shows starts with the download.
        tcpChannel->setProgressWindow(tcpWindow());
        return tcpChannel->startUpdate();
    }
    if (channel == Http && httpChannel)
        return httpChannel->startUpdate();
    return false;
}

void CUpdateModel::showInstalling()
{
    if (channel == Tcp) {
        if (UpdateWidget *window = tcpWindow())
            window->showInstalling();
    } else if (channel == Http) {
        if (Widget *dialog = httpDialog())
            dialog->showInstalling();
    }
}

void CUpdateModel::showRunEnd(RunEnd end, const QString &detail)
{
    if (channel == Tcp) {
        if (UpdateWidget *window = tcpWindow())
            window->showRunEnd(end, detail);
    } else if (channel == Http) {
        if (Widget *dialog = httpDialog())
            dialog->showRunEnd(end, detail);
    }
}

DownloadedVersionFiles CUpdateModel::downloadedVersionFiles() const
{
    return channel == Http && httpChannel ? httpChannel->downloadedVersionFiles() : DownloadedVersionFiles();
}

int CUpdateModel::offeredTcpRollout() const
{
    return channel == Tcp && tcpChannel ? tcpChannel->offeredRollout() : 100;
}

QString CUpdateModel::offeredVersion() const
{
    return channel == Tcp && tcpChannel ? tcpChannel->offeredVersion() : QString();
}
