// INI text from outside: update.ini and system.cfg as a server or a release
// delivers them, read the way the updater reads them (QSettings over a file)
// and edited the way it edits them (IniEdit over bytes).
#include "config/iniedit.h"
#include "fuzzcheck.h"

#include <QSettings>
#include <QTemporaryFile>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // QSettings warns about odd keys on every such input; the warnings are
    // not findings.
    static const QtMessageHandler quiet = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    (void)quiet;
    static QTemporaryFile file;
    static const bool opened = file.open();
    if (!opened)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    file.resize(0);
    file.seek(0);
    file.write(bytes);
    file.flush();
    {
        const QSettings ini(IniEdit::settingsPath(file.fileName()), QSettings::IniFormat);
        for (const QString &key : ini.allKeys())
            (void)ini.value(key).toString();
    }

    // The first half as the client's system.cfg, the second as a release's.
    const int half = bytes.size() / 2;
    const QByteArray client = bytes.left(half);
    const QByteArray release = bytes.mid(half);
    for (const QByteArray &group : IniEdit::groups(bytes))
        (void)IniEdit::entries(bytes, group);
    const QByteArray merged = IniEdit::mergedSystemConfig(client, release, QStringLiteral("2.0"));
    // The version set is the one read back.
    bool found = false;
    for (const auto &entry : IniEdit::entries(merged, "General")) {
        if (entry.first == "Version")
            found = found || entry.second == IniEdit::literal(QStringLiteral("2.0"));
    }
    FUZZ_CHECK(found);
    // A release never changes the client's trust settings.
    const auto trust = [](const QByteArray &text) {
        QList<QPair<QByteArray, QByteArray>> kept;
        for (const auto &entry : IniEdit::entries(text, "Update")) {
            if (entry.first == "PublicKey" || entry.first == "CaFile")
                kept.append(entry);
        }
        return kept;
    };
    FUZZ_CHECK(trust(merged) == trust(client));
    const QByteArray edited = IniEdit::setValue(client, "Update", "URL", IniEdit::literal(QStringLiteral("a b;c")));
    FUZZ_CHECK(IniEdit::groups(edited).contains("Update"));
    return 0;
}
