// HTTPS for the HTTP channel, in-process against nginx serving TLS on
// 127.0.0.1 with certificates of a certificate authority made here: a server
// the configured CaFile vouches for serves the update; an unknown authority,
// a self-signed certificate or one for another host name is refused, and the
// check's text says why. Through a proxy the same holds: the proxy only
// tunnels.
#include "http/md5manifest.h"
#include "http/widget.h"
#include "support/filetree.h"
#include "support/httpstaging.h"
#include "support/nginxserver.h"
#include "support/squidproxy.h"
#include "support/testfiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Runs openssl in dir; true when it succeeded.
bool openssl(const QString &dir, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("openssl"), arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

const QStringList kNewEcKey{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

} // namespace

class TestHttps : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void certificates_data();
    void certificates();

private:
    // <name>.pem and <name>.key: a server certificate for subjectAltName,
    // signed by the test authority (or by itself).
    bool makeServerCertificate(const QString &name, const QString &altName, bool selfSigned);

    QTemporaryDir pki;
};

void TestHttps::initTestCase()
{
    QVERIFY(openssl(pki.path(), QStringList{"req", "-x509", "-days", "2", "-subj", "/CN=Updater Test CA", "-keyout",
                                            "ca.key", "-out", "ca.pem"}
                                    + kNewEcKey));
    QVERIFY(makeServerCertificate("trusted", "IP:127.0.0.1", false));
    QVERIFY(makeServerCertificate("selfsigned", "IP:127.0.0.1", true));
    QVERIFY(makeServerCertificate("otherhost", "DNS:other.invalid", false));
}

bool TestHttps::makeServerCertificate(const QString &name, const QString &altName, bool selfSigned)
{
    const QStringList common = QStringList{"-subj", "/CN=" + name, "-keyout", name + ".key"} + kNewEcKey;
    if (selfSigned)
        return openssl(pki.path(), QStringList{"req", "-x509", "-days", "2", "-out", name + ".pem", "-addext",
                                               "subjectAltName=" + altName}
                                       + common);
    return writeTestFile(pki.filePath(name + ".ext"), "subjectAltName=" + altName.toUtf8() + "\n")
        && openssl(pki.path(), QStringList{"req", "-new", "-out", name + ".csr"} + common)
        && openssl(pki.path(), {"x509", "-req", "-days", "2", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                                "-CAcreateserial", "-extfile", name + ".ext", "-out", name + ".pem"});
}

void TestHttps::certificates_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("withCaFile");
    QTest::addColumn<QString>("reason"); // "" when the update goes through
    QTest::addColumn<bool>("throughProxy");
    QTest::newRow("authority in CaFile") << "trusted" << true << QString() << false;
    QTest::newRow("unknown authority") << "trusted" << false << "issuer certificate" << false;
    QTest::newRow("self-signed") << "selfsigned" << true << "self-signed" << false;
    QTest::newRow("other host name") << "otherhost" << true << "host name did not match" << false;
    QTest::newRow("authority in CaFile, through a proxy") << "trusted" << true << QString() << true;
    QTest::newRow("unknown authority, through a proxy") << "trusted" << false << "issuer certificate" << true;
}

void TestHttps::certificates()
{
    QFETCH(QString, certificate);
    QFETCH(bool, withCaFile);
    QFETCH(QString, reason);
    QFETCH(bool, throughProxy);
    SquidProxy proxy(SquidProxy::Policy::Open);
    QVERIFY(proxy.isRunning());
    QTemporaryDir work;
    const QString www = work.filePath("www");
    writeTree(www, {{"/update.ini", "[Version]\nVersion=2.0\nFolder=v2\n"}, {"/v2/app.dll", "app 2"}});
    generateMd5File(www + "/v2/");
    NginxServer nginx(www, {pki.filePath(certificate + ".pem"), pki.filePath(certificate + ".key")});
    QVERIFY2(nginx.isRunning(), nginx.errorLog().constData());
    QVERIFY(nginx.baseUrl().startsWith("https://127.0.0.1:"));

    const QString install = work.filePath("install");
    Widget widget;
    widget.setSettings({InstallLayout::build(install, "UpdateTemp/", "Backup/", ""), nginx.baseUrl(), 30000, {}, false,
                        withCaFile ? pki.filePath("ca.pem") : QString(), 6,
                        ProxySettings::parse(throughProxy ? proxy.url() : "none", {}, {})});
    const auto tunnelled = [&] {
        proxy.stop();
        return proxy.accessLog().contains("CONNECT 127.0.0.1:" + QByteArray::number(nginx.port()));
    };
    QVERIFY(writeTestFile(install + "/update/update.ini", "[Version]\nVersion=1.0\n"));
    const int version = widget.checkServerVersion();
    if (!reason.isEmpty()) {
        QCOMPARE(version, 2);
        QVERIFY2(widget.statusDetailText().contains(reason), qPrintable(widget.statusDetailText()));
        QVERIFY(!QFileInfo::exists(install + "/UpdateTemp"));
        QCOMPARE(tunnelled(), throughProxy);
        return;
    }
    QCOMPARE(version, 1);
    QVERIFY(stagesUpdate(widget, install + "/UpdateTemp/app.dll", "app 2"));
    QCOMPARE(tunnelled(), throughProxy);
}

QTEST_MAIN(TestHttps)
#include "tst_https.moc"
