// The update helper program: started by update.exe when a release carries a
// new update.exe. See app/updatehelper.h.
#include "app/updatehelper.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return CUpdateHelper(QCoreApplication::applicationDirPath() + QLatin1Char('/'))
        .run(QCoreApplication::arguments().mid(1));
}
