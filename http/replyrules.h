#pragma once
// What a download reply from the update server may hold, and how its
// failures read. Shared by the dialog's single requests and the transfers of
// a download run.

#include "fileops/failurecause.h"

#include <QNetworkReply>
#include <QString>

// What a reply may hold before the transfer pauses: the file is written as
// data arrives, so memory does not grow with the file size.
constexpr qint64 kReplyBufferSize = 256 << 10;

// Why what the reply holds must not be taken, or "" when it may: anything
// but a 200 answer (or the status given) (a redirect is judged once the reply has ended: until
// then it is being followed), an encoded body (the request asks for the
// identity encoding, so nothing here ever inflates a body), or more than
// maxBytes (0: no limit) together with the stored bytes.
QString answerProblem(QNetworkReply *reply, qint64 stored, qint64 maxBytes, int acceptedStatus = 200);

// Whether a reply whose answer was refused is left to end by itself, what
// it holds dropped as it arrives, rather than aborted. Qt ends an answer
// with an error status (400 and above) once its body is in, with the status
// as the reply's error, and a reply aborted in between reports a second
// error (Qt warns it "must only be called once"): such an answer is left to
// end when it announces a body of at most kDroppedBodyBytes.
constexpr qint64 kDroppedBodyBytes = 64 << 10;
bool endsByItself(QNetworkReply *reply);

// How the answer to a request for a file from byte `from` on (a Range with
// If-Range) is taken.
enum class ResumeAnswer {
    Rest,     // a 206 whose Content-Range is exactly "bytes from-(total-1)/total": *total is set
    Whole,    // a 200: the server sent the whole file (no ranges, or its copy changed)
    Unusable, // anything else: ask for the whole file
};
ResumeAnswer resumeAnswer(int status, const QByteArray &contentRange, qint64 from, qint64 *total);

// Why a finished reply cannot prove its body whole, or "": it names no
// Content-Length and is not chunked, so the body ended where the connection
// did, and a body cut off at a line end would pass for the whole file
// (static web servers always send one or the other); or stored differs from
// the length it named (a connection that closed early can end a reply
// without an error).
QString incompleteBodyProblem(QNetworkReply *reply, qint64 stored);

// The reply's failure for people, in the updater's words; a redirect Qt
// would not follow (too many, to a less safe scheme, without a target)
// names the answer.
QString replyErrorText(QNetworkReply *reply);
// The system's own text of the reply's failure: for the log only.
QString replySystemText(QNetworkReply *reply);

// "下载文件 "<name>" 时出错: " + reason.
QString fileErrorText(const QString &name, const QString &reason);

// "无法保存文件:" + path.
QString saveErrorText(const QString &path);

// The cause of a file request's failure from what Qt reports (error) and
// the answer's HTTP status (0 before any): a status outside 2xx and 3xx
// speaks for itself; a 2xx without an error is an answer that cannot be
// taken (an encoded body, more than the limit). A time-out Qt reports as a
// cancel (timedOut) is the caller's to tell apart.
FailureCause replyFailureCause(QNetworkReply::NetworkError error, int status);

// Qt reports a transfer time-out as a cancelled operation. Callers detach
// from a reply before they abort it, so a reply they still hear end
// cancelled has timed out.
bool timedOut(QNetworkReply *reply);

QString timeoutText(int timeoutMs);

