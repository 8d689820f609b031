// Feeds files to a fuzz target's entry function, for builds without
// libFuzzer: every argument is a file or a folder of files (not recursive).
// A crash or a broken property ends the program abnormally; otherwise it
// prints how many inputs it ran and exits 0. An argument that names nothing
// is an error, so a misplaced corpus cannot pass as an empty one.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool runFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return false;
    }
    const QByteArray bytes = file.readAll();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), static_cast<size_t>(bytes.size()));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int runs = 0;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QFile::decodeName(argv[i]);
        const QFileInfo info(arg);
        QStringList files;
        if (info.isDir()) {
            for (const QString &name : QDir(arg).entryList(QDir::Files | QDir::Hidden, QDir::Name))
                files << QDir(arg).filePath(name);
        } else if (info.isFile()) {
            files << arg;
        } else {
            std::fprintf(stderr, "no such file or folder: %s\n", argv[i]);
            return 2;
        }
        for (const QString &file : files) {
            if (!runFile(file))
                return 2;
            ++runs;
        }
    }
    std::printf("%d inputs ran\n", runs);
    return 0;
}
