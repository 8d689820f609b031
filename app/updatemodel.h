#pragma once

#include "fileops/downloadedversionfiles.h"
#include "tcp/tcpupdate.h"
#include "config/proxysettings.h"
#include "ui/runwindow.h"

#include <QObject>
#include <QString>

class Widget;
class UpdateWidget;
class CTCPUpdate;
class CHttpUpdate;
class CSystemConfig;

// Chooses the channel once per run (TCP first, HTTP when TCP is not usable
// and HttpEnable is set), owns the channel object, and forwards the channel's
// final result as sigUpdateResult.
class CUpdateModel : public QObject
{
    Q_OBJECT
public:
    enum UpdateChannel { Tcp = 0, Http = 1 };

    // tcp: the TCP channel's settings (its server is the one probed);
    // httpEnabled: Update/HttpEnable.
    CUpdateModel(const TcpUpdateSettings &tcp, bool httpEnabled, QObject *parent = nullptr);
    ~CUpdateModel() override;

    // Where the channels' windows come from, not owned: each is asked for
    // when a run first needs it (the HTTP dialog for the check it runs, the
    // TCP window when its download starts), so a TCP check that finds
    // nothing builds no window at all. Building the first window loads the
    // platform's fonts, most of such a check's time.
    struct Windows
    {
        std::function<Widget *()> httpDialog;
        std::function<UpdateWidget *()> tcpWindow;
    };
    void setWindows(const Windows &windows);
    // 1 update available, 0 none, -1 no usable channel (lastError says why).
    // 0 also when the chosen channel's check failed; lastError is then set.
    // The outcome is logged: a failed check's reason as an error, else the
    // end of the check as a phase line.
    int checkUpdate();
    QString lastError() const;
    // Shows the window of the chosen channel. Always false.
    bool showUpdateWindow();
    // Starts the chosen channel's download; false without a checked channel.
    bool startUpdate();
    // The chosen channel's window says the files are being installed.
    void showInstalling();
    // Shows the end of the run (after the installation) in the chosen
    // channel's window.
    void showRunEnd(RunEnd end, const QString &detail);
    // The version a TCP update installs, recorded in system.cfg; empty for
    // HTTP, whose version lives in update/update.ini.
    QString offeredVersion() const;
    // The share of installations the TCP server offered its release to; 100
    // for HTTP, whose share lives in the downloaded update/updateTmp.ini.
    int offeredTcpRollout() const;
    // The version files the chosen channel's check downloaded beside the
    // staging folder, for the apply and the trust check.
    DownloadedVersionFiles downloadedVersionFiles() const;

    // True when config names a TCP server with a usable port, or allows
    // HTTP: checkUpdate then asks a channel instead of returning -1 at once.
    static bool hasConfiguredChannel(const CSystemConfig &config);

signals:
    void sigUpdateResult(bool bSuccess);

private:
    // The channel's final result: logged as a phase, then forwarded.
    void onChannelResult(bool bSuccess);
    void setTcpChannel(CTCPUpdate *channel);
    void setHttpChannel(CHttpUpdate *channel);
    int channelResult(bool updateAvailable, const QString &checkError);

    const TcpUpdateSettings tcpSettings;
    const bool httpEnabled;
    UpdateChannel channel = Tcp;
    QString m_lastError;
    CTCPUpdate *tcpChannel = nullptr;
    CHttpUpdate *httpChannel = nullptr;
    // The chosen channel's window, made now if it was not yet; nullptr
    // when no window is given for it.
    UpdateWidget *tcpWindow() const;
    Widget *httpDialog() const;

    Windows windows;
};
