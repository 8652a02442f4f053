#include "platform/QNPlistXMLValues.h"

#include <QByteArray>
#include <QDateTime>

#include <charconv>
#include <limits>

namespace {

// A run of exactly `count` digits at *text, consumed.
std::optional<int> digits(QByteArrayView* text, qsizetype count) {
    if (text->size() < count) {
        return std::nullopt;
    }
    int value = 0;
    for (qsizetype index = 0; index < count; ++index) {
        const char c = text->at(index);
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    *text = text->sliced(count);
    return value;
}

} // namespace

namespace QNPlistXMLValues {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

QByteArrayView trimmed(QByteArrayView text) {
    while (!text.isEmpty() && isSpace(text.front())) {
        text = text.sliced(1);
    }
    while (!text.isEmpty() && isSpace(text.back())) {
        text.chop(1);
    }
    return text;
}

bool isXMLCharacter(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

std::optional<QVariant> integerWithText(QByteArrayView text) {
    text = trimmed(text);
    const bool negative = text.startsWith('-');
    if (negative || text.startsWith('+')) {
        text = text.sliced(1);
    }
    int base = 10;
    if (text.startsWith("0x") || text.startsWith("0X")) {
        base = 16;
        text = text.sliced(2);
    }
    quint64 magnitude = 0;
    const auto [end, status] = std::from_chars(text.begin(), text.end(), magnitude, base);
    if (text.isEmpty() || end != text.end() || status != std::errc()) {
        return std::nullopt;
    }
    constexpr quint64 kSignedLimit = quint64(std::numeric_limits<qint64>::max());
    if (negative) {
        if (magnitude > kSignedLimit + 1) {
            return std::nullopt;
        }
        return QVariant(qint64(~magnitude + 1));
    }
    return magnitude > kSignedLimit ? QVariant(quint64(magnitude)) : QVariant(qint64(magnitude));
}

std::optional<QVariant> realWithText(QByteArrayView text) {
    text = trimmed(text);
    // from_chars takes "-" but not "+", and reads "inf", "infinity" and "nan" in any case.
    if (text.startsWith('+') && !text.sliced(1).startsWith('-')) {
        text = text.sliced(1);
    }
    double value = 0;
    const auto [end, status] = std::from_chars(text.begin(), text.end(), value, std::chars_format::general);
    if (text.isEmpty() || end != text.end() || status != std::errc()) {
        return std::nullopt;
    }
    return QVariant(value);
}

std::optional<QVariant> dateWithText(QByteArrayView text) {
    text = trimmed(text);
    if (text.endsWith('Z')) {
        text.chop(1);
    }
    int fields[6] = {0, 1, 1, 0, 0, 0};
    const char separators[6] = {0, '-', '-', 'T', ':', ':'};
    int read = 0;
    for (; read < 6 && (read == 0 || text.startsWith(separators[read])); ++read) {
        text = text.sliced(read == 0 ? 0 : 1);
        const auto value = digits(&text, read == 0 ? 4 : 2);
        if (!value) {
            return std::nullopt;
        }
        fields[read] = *value;
    }
    int milliseconds = 0;
    if (read == 6 && text.startsWith('.')) {
        text = text.sliced(1);
        qsizetype count = 0;
        for (; count < text.size() && text.at(count) >= '0' && text.at(count) <= '9'; ++count) {
            if (count < 3) {
                milliseconds = milliseconds * 10 + (text.at(count) - '0');
            }
        }
        if (count == 0) {
            return std::nullopt;
        }
        for (qsizetype padding = count; padding < 3; ++padding) {
            milliseconds *= 10;
        }
        text = text.sliced(count);
    }
    const QDate date(fields[0], fields[1], fields[2]);
    const QTime time(fields[3], fields[4], fields[5], milliseconds);
    if (!text.isEmpty() || fields[0] == 0 || !date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    if (date.year() < kEarliestYear) {
        return QVariant(QDateTime(QDate(kEarliestYear, 1, 1), QTime(0, 0), Qt::UTC));
    }
    return QVariant(QDateTime(date, time, Qt::UTC));
}

std::optional<QVariant> dataWithText(QByteArrayView text) {
    QByteArray base64;
    base64.reserve(text.size());
    for (const char c : text) {
        if (!isSpace(c)) {
            base64.append(c);
        }
    }
    auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        return std::nullopt;
    }
    return QVariant(*decoded);
}

} // namespace QNPlistXMLValues
