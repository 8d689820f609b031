#include "trust/recordfields.h"

#include <limits>

namespace RecordFields {

std::optional<quint64> parseDecimal(const QByteArray &text)
{
    if (text.isEmpty() || (text.size() > 1 && text.startsWith('0')))
        return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    bool ok = false;
    const quint64 value = text.toULongLong(&ok);
    return ok ? std::optional<quint64>(value) : std::nullopt;
}

std::optional<qint64> parseSize(const QByteArray &text)
{
    const auto value = parseDecimal(text);
    if (!value || *value > static_cast<quint64>(std::numeric_limits<qint64>::max()))
        return std::nullopt;
    return static_cast<qint64>(*value);
}

std::optional<QString> parseText(const QByteArray &field)
{
    const QString text = QString::fromUtf8(field);
    // Only valid UTF-8 without control characters survives the round trip.
    if (text.isEmpty() || text.toUtf8() != field || text.contains(QChar::ReplacementCharacter))
        return std::nullopt;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return std::nullopt;
    }
    return text;
}

std::optional<QByteArray> parseSha256(const QByteArray &field)
{
    const QByteArray digest = QByteArray::fromHex(field);
    if (digest.size() != 32 || digest.toHex() != field)
        return std::nullopt;
    return digest;
}

} // namespace RecordFields
