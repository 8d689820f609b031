// The update helper program: started by update.exe when a release carries a
// new update.exe. See updatehelper.h.
#include "updatehelper.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return CUpdateHelper(InstallLayout::ofProgram()).run(QCoreApplication::arguments().mid(1));
}
