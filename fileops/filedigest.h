#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <optional>

// Lower-case hex MD5 of the file's whole content, streamed in bounded chunks;
// "" when the file cannot be opened or read to its end.
QString md5OfFile(const QString &path);
// The raw SHA-256 of the file's whole content (platform/sha256.h), streamed
// in bounded chunks; nothing when the file cannot be opened or read to its end.
std::optional<QByteArray> sha256OfFile(const QString &path);
// sha256OfFile() of a file that must hold exactly size bytes: nothing when
// it holds more or fewer, or once stop is set (looked at before every chunk,
// so another thread can end the hashing of a large file). Reads at most
// size + 1 bytes whatever the file grows to meanwhile.
std::optional<QByteArray> sha256OfFile(const QString &path, qint64 size, const std::atomic<bool> &stop);
