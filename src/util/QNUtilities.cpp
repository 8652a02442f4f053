#include "util/QNUtilities.h"

#include "util/QNConstants.h"
#include "util/QNTextScanning.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QMetaType>
#include <QStringList>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <limits>

using namespace QNTextScanning;

namespace {

const char* const sDataSizeUnits[] = {"B", "KB", "MB", "GB", "TB"};

qint64 clampedInteger(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    // 2^63 is exact as a double; anything at or beyond it does not fit.
    constexpr double bound = 9223372036854775808.0;
    if (value >= bound) {
        return std::numeric_limits<qint64>::max();
    }
    if (value < -bound) {
        return std::numeric_limits<qint64>::min();
    }
    return qint64(value);
}

qint64 clampedInteger(quint64 value) {
    return value > quint64(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max() : qint64(value);
}

bool textBoolValue(QStringView text) {
    qsizetype index = 0;
    while (index < text.size()) {
        const char32_t codePoint = nextCodePoint(text, index);
        if (QChar::isSpace(codePoint)) {
            continue;
        }
        if (codePoint == U'Y' || codePoint == U'y' || codePoint == U'T' || codePoint == U't') {
            return true;
        }
        break;
    }
    return leadingInteger(text) != 0;
}

quint16 portValue(QStringView digits) {
    return quint16(quint64(leadingInteger(digits)));
}

} // namespace

// Lenient value reading

qint64 QNUtilities::integerValue(const QString& text) {
    return leadingInteger(text);
}

qint64 QNUtilities::integerValue(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? 1 : 0;
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return clampedInteger(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return clampedInteger(value.toDouble());
    case QMetaType::QString:
        return leadingInteger(value.toString());
    case QMetaType::QByteArray:
        return leadingInteger(QString::fromUtf8(value.toByteArray()));
    default:
        return 0;
    }
}

bool QNUtilities::boolValue(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble() != 0.0;
    case QMetaType::QString:
        return textBoolValue(value.toString());
    case QMetaType::QByteArray:
        return textBoolValue(QString::fromUtf8(value.toByteArray()));
    default:
        return integerValue(value) != 0;
    }
}

// Ports and port ranges

bool QNUtilities::validatePortString(const QString& string) {
    return !containsNonDigit(string) && portValue(string) != 0;
}

bool QNUtilities::validatePortRangeString(const QString& string) {
    const QStringList pieces = string.split(u',');
    for (const QString& piece : pieces) {
        const QList<QStringView> parts = trimmed(piece).split(u'-');
        if (parts.size() != 1 && parts.size() != 2) {
            return false;
        }
        const QStringView first = trimmed(parts[0]);
        if (containsNonDigit(first)) {
            return false;
        }
        if (parts.size() == 2) {
            const QStringView second = trimmed(parts[1]);
            if (containsNonDigit(second) || leadingInteger(first) > leadingInteger(second)) {
                return false;
            }
        }
    }
    return true;
}

bool QNUtilities::validateServerAliveIntervalString(const QString& string) {
    return !containsNonDigit(string) && leadingInteger(string) > 0;
}

bool QNUtilities::parsePortRangeString(const QString& string, quint16* portStart, quint16* portEnd) {
    quint16 start = 0;
    quint16 end = 0;
    const bool valid = [&] {
        const QList<QStringView> parts = trimmed(string).split(u'-');
        if (parts.size() != 1 && parts.size() != 2) {
            return false;
        }
        const QStringView first = trimmed(parts[0]);
        if (containsNonDigit(first)) {
            return false;
        }
        start = portValue(first);
        if (parts.size() == 1) {
            return true;
        }
        const QStringView second = trimmed(parts[1]);
        if (containsNonDigit(second)) {
            return false;
        }
        end = portValue(second);
        return end >= start;
    }();
    if (portStart) {
        *portStart = start;
    }
    if (portEnd) {
        *portEnd = end;
    }
    return valid;
}

// Formatting

void QNUtilities::convertDataToString(const quint8* data, char* string, quint32 length) {
    static const char digits[] = "0123456789ABCDEF";
    for (quint32 index = 0; index < length; ++index) {
        string[2 * index] = digits[data[index] >> 4];
        string[2 * index + 1] = digits[data[index] & 0x0F];
    }
}

QString QNUtilities::dataSizeString(quint64 size) {
    return dataSizeString(size, QLocale::system());
}

QString QNUtilities::dataSizeString(quint64 size, const QLocale& locale) {
    if (size < 1024) {
        QLocale grouping = locale;
        grouping.setNumberOptions(grouping.numberOptions() & ~QLocale::NumberOptions(QLocale::OmitGroupSeparator));
        return QStringLiteral("%1 %2").arg(grouping.toString(size), QLatin1StringView(sDataSizeUnits[0]));
    }
    int unit = 0;
    quint64 shifted = 0;
    if (size < (quint64(1) << 20)) {
        unit = 1;
        shifted = size;
    } else if (size < (quint64(1) << 30)) {
        unit = 2;
        shifted = size >> 10;
    } else if (size < (quint64(1) << 40)) {
        unit = 3;
        shifted = size >> 20;
    } else {
        unit = 4;
        shifted = size >> 30;
    }
    const float value = float(shifted) * 0.0009765625f;
    // asprintf formats in the C locale, so the separator is always ".".
    return QString::asprintf("%.1f %s", double(value), sDataSizeUnits[unit]);
}

QString QNUtilities::formatFingerprint(const QString& fingerprint) {
    QString result = fingerprint;
    // Past the end (the empty text) the break is appended rather than padding with blanks.
    result.insert(qMin(fingerprint.size() / 2 + 1, fingerprint.size()), QStringLiteral("\r\n"));
    return result;
}

QString QNUtilities::temporaryfilePath() {
    QString folder = QDir::tempPath();
    // Qt answers empty for a temporary folder that does not exist; never fall back to "/".
    if (folder.isEmpty()) {
        return QString();
    }
    if (!folder.endsWith(u'/')) {
        folder += u'/';
    }
    QByteArray path = QFile::encodeName(folder + kQNRUtilitiesTempFileName + QStringLiteral("XXXXXX"));
    const int descriptor = mkostemp(path.data(), O_CLOEXEC);
    if (descriptor < 0) {
        return QString();
    }
    ::close(descriptor);
    return QFile::decodeName(path);
}

// Versions

int QNUtilities::compareVersionString(const QString& a, const QString& b) {
    const QStringList first = a.isNull() ? QStringList() : a.split(u'.');
    const QStringList second = b.isNull() ? QStringList() : b.split(u'.');
    const qsizetype common = qMin(first.size(), second.size());
    for (qsizetype index = 0; index < common; ++index) {
        const quint32 left = quint32(quint64(leadingInteger(first[index])));
        const quint32 right = quint32(quint64(leadingInteger(second[index])));
        if (left != right) {
            return left < right ? -1 : 1;
        }
    }
    if (first.size() == second.size()) {
        return 0;
    }
    return first.size() > second.size() ? 1 : -1;
}
