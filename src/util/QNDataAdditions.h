#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Base64 of byte data. The decoder is deliberately lenient: blanks and line breaks are dropped anywhere,
// characters outside the alphabet count as zero, and only a length that is not a multiple of four fails.
class QNDataAdditions {
public:
    QNDataAdditions() = delete;

    static QString base64String(const QByteArray& data);
    static std::optional<QByteArray> dataWithBase64String(const QString& string);
    // Position of the character in the alphabet, 0 when it is not in it.
    static quint8 base64Value(int character);
};
