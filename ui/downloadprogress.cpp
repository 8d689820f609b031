#include "ui/downloadprogress.h"

#include "tcp/updatewidget.h"

namespace {

// How a file ranks for the file line: most bytes left first, unknown size
// after, all received last.
qint64 rank(qint64 received, qint64 total)
{
    if (total < 0)
        return 0;
    return total > received ? total - received : -1;
}

} // namespace

void DownloadProgress::begin(int count)
{
    flight.clear();
    followed = -1;
    fileCount = count;
    doneCount = 0;
    bytesReceived = 0;
    clock.start();
}

int DownloadProgress::indexOf(const void *id) const
{
    for (int i = 0; i < flight.size(); ++i) {
        if (flight.at(i).id == id)
            return i;
    }
    return -1;
}

void DownloadProgress::started(const void *id, const QString &name)
{
    flight.append({id, name, 0, -1});
    follow();
}

void DownloadProgress::progressed(const void *id, qint64 received, qint64 total)
{
    const int i = indexOf(id);
    if (i < 0)
        return;
    File &file = flight[i];
    bytesReceived += qMax<qint64>(0, received - file.received);
    file.received = received;
    file.total = total > 0 ? total : -1;
    follow();
}

void DownloadProgress::finished(const void *id, bool counted)
{
    const int i = indexOf(id);
    if (i < 0)
        return;
    flight.remove(i);
    if (counted)
        ++doneCount;
    followed = -1;
    follow();
}

void DownloadProgress::follow()
{
    int best = followed;
    for (int i = 0; i < flight.size(); ++i) {
        if (best < 0 || rank(flight.at(i).received, flight.at(i).total) > rank(flight.at(best).received, flight.at(best).total))
            best = i;
    }
    followed = best;
}

QString DownloadProgress::followedName() const
{
    return followed < 0 ? QString() : flight.at(followed).name;
}

qint64 DownloadProgress::followedReceived() const
{
    return followed < 0 ? 0 : flight.at(followed).received;
}

qint64 DownloadProgress::followedTotal() const
{
    return followed < 0 ? -1 : flight.at(followed).total;
}

int DownloadProgress::followedPerMille() const
{
    const qint64 total = followedTotal();
    return total <= 0 ? 0 : int(qMin(followedReceived(), total) * 1000 / total);
}

int DownloadProgress::overallPerMille() const
{
    if (fileCount <= 0)
        return 1000;
    qint64 perMille = qint64(doneCount) * 1000;
    for (const File &file : flight) {
        if (file.total > 0)
            perMille += qMin(file.received, file.total) * 1000 / file.total;
    }
    return int(qMin<qint64>(perMille / fileCount, 1000));
}

QString DownloadProgress::followedText() const
{
    const qint64 total = followedTotal();
    if (total <= 0)
        return QStringLiteral("%p%");
    QString text = UpdateWidget::formatFileSize(followedReceived()) + QStringLiteral(" / ")
        + UpdateWidget::formatFileSize(total);
    const qint64 ms = clock.isValid() ? clock.elapsed() : 0;
    if (ms >= 1000 && bytesReceived > 0)
        text += QStringLiteral(" · ") + UpdateWidget::formatFileSize(bytesReceived * 1000 / ms) + QStringLiteral("/s");
    return text;
}
