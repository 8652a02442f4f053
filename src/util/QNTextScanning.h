#pragma once

#include <QChar>
#include <QStringView>
#include <QtGlobal>

// Character-level helpers behind QNUtilities' parsers. They walk whole code points, so digits and
// spaces outside the Basic Multilingual Plane count like any other.
namespace QNTextScanning {

// The code point at index, which is advanced past it. A lone surrogate is returned as itself.
inline char32_t nextCodePoint(QStringView text, qsizetype& index) {
    const QChar unit = text[index++];
    if (unit.isHighSurrogate() && index < text.size() && text[index].isLowSurrogate()) {
        return QChar::surrogateToUcs4(unit, text[index++]);
    }
    return unit.unicode();
}

// In-line white space: tab and the space separators, not line breaks.
inline bool isInlineSpace(char32_t codePoint) {
    return codePoint == U'\t' || QChar::category(codePoint) == QChar::Separator_Space;
}

// The text without in-line white space at either end.
QStringView trimmed(QStringView text);

// True when any character is outside the decimal-digit category.
bool containsNonDigit(QStringView text);

// The leading signed decimal integer after any white space (line breaks included); no digits give 0,
// values beyond 64 bits clamp to the nearest representable one.
qint64 leadingInteger(QStringView text);

} // namespace QNTextScanning
