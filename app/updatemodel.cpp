#include "app/updatemodel.h"

#include "config/systemconfig.h"
#include "http/httpupdate.h"
#include "http/widget.h"
#include "tcp/tcpupdate.h"
#include "tcp/updatetcpclient.h"
#include "tcp/updatewidget.h"

namespace {
constexpr int kProbeTimeoutMs = 500;
}

CUpdateModel::CUpdateModel(QObject *parent)
    : QObject(parent)
{
}

CUpdateModel::~CUpdateModel()
{
    setHttpChannel(nullptr);
    setTcpChannel(nullptr);
}

void CUpdateModel::setWindows(Widget *dialog, UpdateWidget *window)
{
    httpDialog = dialog;
    tcpWindow = window;
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
    CSystemConfig *config = CSystemConfig::instance();
    const QString server = config->getUpdateServer();
    const quint16 port = portFromText(config->getUpdatePort());

    bool reachable = false;
    if (!server.isEmpty() && port != 0) {
        auto *probe = new QUpdateTcpClient(this);
        reachable = probe->connectToServer(server, port, kProbeTimeoutMs);
        delete probe;
    }

    if (reachable) {
        channel = Tcp;
        setTcpChannel(new CTCPUpdate(nullptr));
        tcpChannel->setProgressWindow(tcpWindow);
        connect(tcpChannel, &CTCPUpdate::sigUpdateResult, this, &CUpdateModel::sigUpdateResult);
        const bool available = tcpChannel->checkVersion();
        return channelResult(available, tcpChannel->lastError());
    }

    if (config->isHttpEnable()) {
        setHttpChannel(new CHttpUpdate(this));
        channel = Http;
        httpChannel->setDialog(httpDialog);
        connect(httpChannel, &CHttpUpdate::sigUpdateResult, this, &CUpdateModel::sigUpdateResult);
        const bool available = httpChannel->checkUpdate();
        return channelResult(available, httpChannel->lastError());
    }

    m_lastError = QStringLiteral("TCP升级服务连接失败");
    return -1;
}

int CUpdateModel::channelResult(bool updateAvailable, const QString &checkError)
{
    // A check that failed still counts as "no update" (a normal run starts
    // the host program), but its reason is kept so the run does not report
    // success.
    m_lastError = checkError;
    return updateAvailable ? 1 : 0;
}

QString CUpdateModel::lastError() const
{
    return m_lastError;
}

bool CUpdateModel::showUpdateWindow()
{
    if (channel == Tcp && tcpWindow)
        tcpWindow->show();
    else if (channel == Http && httpDialog)
        httpDialog->show();
    return false;
}

bool CUpdateModel::startUpdate()
{
    if (channel == Tcp && tcpChannel)
        return tcpChannel->startUpdate();
    if (channel == Http && httpChannel)
        return httpChannel->startUpdate();
    return false;
}
