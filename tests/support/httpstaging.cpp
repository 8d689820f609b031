#include "httpstaging.h"

#include "http/widget.h"
#include "testfiles.h"

#include <QSignalSpy>
#include <QTest>

bool stagesUpdate(Widget &widget, const QString &stagedFile, const QByteArray &content)
{
    if (widget.checkManifest() != 1)
        return false;
    QSignalSpy result(&widget, &Widget::sigUpdateResult);
    widget.startUpdate();
    if (!QTest::qWaitFor([&] { return result.count() > 0; }, 30000))
        return false;
    return result.count() == 1 && result.first().first().toBool() && readTestFile(stagedFile) == content;
}
