#pragma once
// Fields of the line-based records a publisher signs (the release statement,
// the patch index): each value has exactly one spelling, so a record that
// parses serializes to the very same bytes.

#include <QByteArray>
#include <QString>

#include <optional>

namespace RecordFields {

// A decimal without sign, leading zeros or blanks.
std::optional<quint64> parseDecimal(const QByteArray &text);
// A size: a decimal that fits a qint64.
std::optional<qint64> parseSize(const QByteArray &text);
// Non-empty valid UTF-8 without control characters.
std::optional<QString> parseText(const QByteArray &field);
// A SHA-256 as 64 lower-case hex digits; the 32 raw bytes.
std::optional<QByteArray> parseSha256(const QByteArray &field);

} // namespace RecordFields
