// publisher [OPTIONS] [--previous DIR]... SOURCE_DIR OUT_DIR VERSION [FOLDER]
// publisher [OPTIONS] rollout OUT_DIR PERCENT | current OUT_DIR FOLDER
// publisher keygen FILE: see releasepublisher.h and currentrelease.h.
#include "currentrelease.h"
#include "releasepublisher.h"
#include "releasesigner.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const PublisherArguments parsed = parsePublisherArguments(QCoreApplication::arguments().mid(1));
    if (parsed.help) {
        out << publisherUsage();
        return 0;
    }
    if (!parsed.error.isEmpty()) {
        err << "publisher: " << parsed.error << "\n\n" << publisherUsage();
        return 2;
    }
    if (parsed.command == PublisherArguments::Rollout || parsed.command == PublisherArguments::Current) {
        QString version;
        const QString error = parsed.command == PublisherArguments::Rollout
            ? changeRollout(parsed.request)
            : makeReleaseCurrent(parsed.request, &version);
        if (!error.isEmpty()) {
            err << "publisher: " << error << '\n';
            return 1;
        }
        if (parsed.command == PublisherArguments::Current)
            out << "current in " << parsed.request.outDir << ": " << version << " (" << parsed.request.folder << ")";
        else
            out << "rollout in " << parsed.request.outDir << ": " << parsed.request.rules.rollout << "%";
        out << '\n';
        return 0;
    }
    if (!parsed.keygenFile.isEmpty()) {
        QByteArray publicKey;
        const QString error = createKeyFile(parsed.keygenFile, &publicKey);
        if (!error.isEmpty()) {
            err << "publisher: " << error << '\n';
            return 1;
        }
        out << publicKey << '\n';
        return 0;
    }
    int fileCount = 0;
    int patchCount = 0;
    const QString error = publishRelease(parsed.request, &fileCount, &patchCount);
    if (!error.isEmpty()) {
        err << "publisher: " << error << '\n';
        return 1;
    }
    out << "published " << parsed.request.version << ": " << fileCount << " files in " << parsed.request.outDir << '/'
        << parsed.request.folder;
    if (!parsed.request.previousDirs.isEmpty())
        out << ", " << patchCount << " patches";
    out << '\n';
    return 0;
}
