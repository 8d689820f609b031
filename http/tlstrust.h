#pragma once
// HTTPS trust for the HTTP channel: the system's certificate authorities,
// plus those of an optional PEM file (Update/CaFile). Certificate errors are
// never ignored: a reply whose server is not trusted fails.

class QNetworkReply;
class QNetworkRequest;
class QString;

// Adds the certificates of caFile ("" for none) to the request's trusted
// authorities. A file that holds no certificate adds none (logged), so the
// servers it was meant for are refused.
void applyTrust(QNetworkRequest &request, const QString &caFile);

// Logs the certificate errors that make the reply fail, one line naming
// them all, and keeps them for certificateRefusal.
void reportCertificateErrors(QNetworkReply *reply);

// "服务器证书不可信: <the errors>" when the reply failed because the
// server's certificate was refused, else "" (Qt's own error text for it is
// a bare "SSL handshake failed").
QString certificateRefusal(const QNetworkReply *reply);
