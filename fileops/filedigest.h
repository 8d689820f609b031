#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Lower-case hex MD5 of the file's whole content, streamed in bounded chunks;
// "" when the file cannot be opened or read to its end.
QString md5OfFile(const QString &path);
// The raw SHA-256 of the file's whole content (platform/sha256.h), streamed
// in bounded chunks; nothing when the file cannot be opened or read to its end.
std::optional<QByteArray> sha256OfFile(const QString &path);
