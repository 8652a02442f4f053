#include "util/QNDataAdditions.h"

#include "util/QNConstants.h"

#include <array>

namespace {

// Alphabet position of every ASCII character; 0 for those outside the alphabet.
const std::array<quint8, 128>& base64Table() {
    static const std::array<quint8, 128> table = [] {
        std::array<quint8, 128> values{};
        for (qsizetype index = 0; index < kQNDataAdditionsBase64Encoding.size(); ++index) {
            values[kQNDataAdditionsBase64Encoding[index].unicode()] = quint8(index);
        }
        return values;
    }();
    return table;
}

bool isDroppedBlank(QChar unit) {
    return unit == u'\r' || unit == u'\n' || unit == u'\t' || unit == u' ';
}

} // namespace

QString QNDataAdditions::base64String(const QByteArray& data) {
    if (data.isEmpty()) {
        // Empty, not null: null stands for failure.
        return QStringLiteral("");
    }
    return QString::fromLatin1(data.toBase64());
}

quint8 QNDataAdditions::base64Value(int character) {
    if (character < 0 || character >= 128) {
        return 0;
    }
    return base64Table()[character];
}

std::optional<QByteArray> QNDataAdditions::dataWithBase64String(const QString& string) {
    QString compact;
    compact.reserve(string.size());
    for (QChar unit : string) {
        if (!isDroppedBlank(unit)) {
            compact.append(unit);
        }
    }
    const qsizetype length = compact.size();
    if (length == 0 || length % 4 != 0) {
        return std::nullopt;
    }
    qsizetype significant = length;
    while (significant > 0 && compact[significant - 1] == u'=') {
        --significant;
    }
    // floor(3 * significant / 4), without the product.
    const qsizetype byteCount = significant / 4 * 3 + significant % 4 * 3 / 4;
    const auto valueAt = [&](qsizetype index) -> quint32 {
        // A group cut short by the end reads its missing characters as "A".
        return index < significant ? base64Value(compact[index].unicode()) : 0;
    };
    QByteArray data(byteCount, Qt::Uninitialized);
    qsizetype produced = 0;
    for (qsizetype index = 0; produced < byteCount; index += 4) {
        const quint32 k1 = valueAt(index);
        const quint32 k2 = valueAt(index + 1);
        const quint32 k3 = valueAt(index + 2);
        const quint32 k4 = valueAt(index + 3);
        data[produced++] = char((k1 << 2 | k2 >> 4) & 0xFF);
        if (produced < byteCount) {
            data[produced++] = char((k2 << 4 | k3 >> 2) & 0xFF);
        }
        if (produced < byteCount) {
            data[produced++] = char((k3 << 6 | k4) & 0xFF);
        }
    }
    return data;
}
