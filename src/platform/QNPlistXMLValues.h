#pragma once

#include <QByteArrayView>
#include <QVariant>

#include <optional>

// The character classes and leaf values of XML property lists, as QNPlistXMLReader reads them. A value
// is none when the text is not a valid one of its kind.
namespace QNPlistXMLValues {

// The white space of XML: space, tab, line feed, carriage return.
bool isSpace(char c);
QByteArrayView trimmed(QByteArrayView text);
// Dates are kept within the years 1000 to 9999: libplist writes earlier years without their leading zeros,
// which other readers refuse. An earlier date reads as the start of the year 1000.
constexpr int kEarliestYear = 1000;

// A code point XML 1.0 allows in a document.
bool isXMLCharacter(char32_t c);

// Decimal or "0x" hexadecimal with an optional sign: qint64, or quint64 above the signed range.
std::optional<QVariant> integerWithText(QByteArrayView text);
// A decimal real, or "nan", "inf" and "infinity" with an optional sign.
std::optional<QVariant> realWithText(QByteArrayView text);
// YYYY[-MM[-DD[THH[:MM[:SS[.fraction]]]]]][Z], always UTC, from the year kEarliestYear on.
std::optional<QVariant> dateWithText(QByteArrayView text);
// Base64 with white space anywhere.
std::optional<QVariant> dataWithText(QByteArrayView text);

} // namespace QNPlistXMLValues
