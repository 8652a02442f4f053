#include "util/QNTextScanning.h"

#include <limits>

namespace QNTextScanning {

QStringView trimmed(QStringView text) {
    qsizetype begin = 0;
    while (begin < text.size()) {
        qsizetype next = begin;
        if (!isInlineSpace(nextCodePoint(text, next))) {
            break;
        }
        begin = next;
    }
    qsizetype end = text.size();
    while (end > begin) {
        // Step back over a whole surrogate pair when the last two units form one.
        qsizetype start = end - 1;
        if (start > begin && text[start].isLowSurrogate() && text[start - 1].isHighSurrogate()) {
            --start;
        }
        qsizetype probe = start;
        if (!isInlineSpace(nextCodePoint(text, probe))) {
            break;
        }
        end = start;
    }
    return text.sliced(begin, end - begin);
}

bool containsNonDigit(QStringView text) {
    qsizetype index = 0;
    while (index < text.size()) {
        if (!QChar::isDigit(nextCodePoint(text, index))) {
            return true;
        }
    }
    return false;
}

qint64 leadingInteger(QStringView text) {
    qsizetype index = 0;
    qsizetype next = 0;
    char32_t codePoint = 0;
    // Skip white space, then look at the first other character.
    for (;;) {
        if (index >= text.size()) {
            return 0;
        }
        next = index;
        codePoint = nextCodePoint(text, next);
        if (!QChar::isSpace(codePoint)) {
            break;
        }
        index = next;
    }
    bool negative = false;
    if (codePoint == U'+' || codePoint == U'-') {
        negative = codePoint == U'-';
        index = next;
    }
    const quint64 limit = quint64(std::numeric_limits<qint64>::max()) + (negative ? 1 : 0);
    quint64 magnitude = 0;
    while (index < text.size()) {
        next = index;
        codePoint = nextCodePoint(text, next);
        if (!QChar::isDigit(codePoint)) {
            break;
        }
        const quint64 digit = quint64(QChar::digitValue(codePoint));
        magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
        index = next;
    }
    if (!negative) {
        return qint64(magnitude);
    }
    return magnitude == limit ? std::numeric_limits<qint64>::min() : -qint64(magnitude);
}

} // namespace QNTextScanning
