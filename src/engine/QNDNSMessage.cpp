#include "QNDNSMessage.h"

#include <QtEndian>

namespace {

constexpr qsizetype kHeaderSize = 12;
constexpr int kMaximumPointers = 16;
constexpr qsizetype kMaximumNameLength = 253;
constexpr qsizetype kMaximumLabelLength = 63;
constexpr quint16 kFlagResponse = 0x8000;
constexpr quint16 kFlagRecursionDesired = 0x0100;
constexpr quint16 kFlagRecursionAvailable = 0x0080;
constexpr int kMaximumRecords = 256;

quint16 readU16(QByteArrayView bytes, qsizetype offset) {
    return qFromBigEndian<quint16>(bytes.data() + offset);
}

void appendU16(QByteArray& bytes, quint16 value) {
    bytes.append(char(value >> 8));
    bytes.append(char(value & 0xFF));
}

void appendU32(QByteArray& bytes, quint32 value) {
    appendU16(bytes, quint16(value >> 16));
    appendU16(bytes, quint16(value & 0xFFFF));
}

// Reads the name at *offset; *offset moves past it as it stands in the message (a pointer counts two
// bytes). Empty optional on any fault.
std::optional<QString> readName(QByteArrayView message, qsizetype* offset, bool allowPointers = true) {
    QByteArray name;
    qsizetype position = *offset;
    qsizetype end = -1;
    for (int pointers = 0;;) {
        if (position >= message.size()) {
            return std::nullopt;
        }
        const quint8 length = quint8(message[position]);
        if ((length & 0xC0) == 0xC0) {
            if (!allowPointers || position + 1 >= message.size() || ++pointers > kMaximumPointers) {
                return std::nullopt;
            }
            const qsizetype target = ((length & 0x3F) << 8) | quint8(message[position + 1]);
            if (end < 0) {
                end = position + 2;
            }
            if (target >= position) {
                return std::nullopt; // only backwards, so no loop
            }
            position = target;
            continue;
        }
        if ((length & 0xC0) != 0) {
            return std::nullopt;
        }
        if (length == 0) {
            if (end < 0) {
                end = position + 1;
            }
            break;
        }
        if (position + 1 + length > message.size()) {
            return std::nullopt;
        }
        if (!name.isEmpty()) {
            name.append('.');
        }
        name.append(message.data() + position + 1, length);
        if (name.size() > kMaximumNameLength) {
            return std::nullopt;
        }
        position += 1 + length;
    }
    *offset = end;
    return QString::fromLatin1(name).toLower();
}

QByteArray header(QByteArrayView query, const QNDNSMessage::Question& question, quint16 rcode, quint16 answers) {
    QByteArray bytes;
    appendU16(bytes, question.id);
    appendU16(bytes, quint16(kFlagResponse | kFlagRecursionAvailable | (question.flags & kFlagRecursionDesired) |
                             (rcode & 0xF)));
    appendU16(bytes, 1);
    appendU16(bytes, answers);
    appendU16(bytes, 0);
    appendU16(bytes, 0);
    bytes.append(query.data() + kHeaderSize, question.questionEnd - kHeaderSize);
    return bytes;
}

} // namespace

bool QNDNSMessage::isValidName(const QString& name) {
    if (name.isEmpty() || name.size() > kMaximumNameLength) {
        return false;
    }
    for (const QStringView label : QStringView(name).split(u'.')) {
        if (label.isEmpty() || label.size() > kMaximumLabelLength) {
            return false;
        }
        for (const QChar c : label) {
            if (c.unicode() < 0x21 || c.unicode() > 0x7E) {
                return false;
            }
        }
    }
    return true;
}

std::optional<QNDNSMessage::Question> QNDNSMessage::parseQuery(QByteArrayView message) {
    if (message.size() < kHeaderSize || message.size() > kMaximumMessage) {
        return std::nullopt;
    }
    Question question;
    question.id = readU16(message, 0);
    question.flags = readU16(message, 2);
    if ((question.flags & kFlagResponse) != 0 || ((question.flags >> 11) & 0xF) != 0 || readU16(message, 4) != 1) {
        return std::nullopt;
    }
    // A query's name has nothing before it to point back to: it is written out, and echoed as it stands.
    qsizetype offset = kHeaderSize;
    const std::optional<QString> name = readName(message, &offset, false);
    if (!name || offset + 4 > message.size()) {
        return std::nullopt;
    }
    question.name = *name;
    question.type = readU16(message, offset);
    question.klass = readU16(message, offset + 2);
    question.questionEnd = offset + 4;
    return question;
}

std::optional<QList<QNDNSMessage::Record>> QNDNSMessage::parseAnswers(QByteArrayView message, quint16 id) {
    if (message.size() < kHeaderSize || message.size() > kMaximumMessage || readU16(message, 0) != id ||
        (readU16(message, 2) & kFlagResponse) == 0) {
        return std::nullopt;
    }
    const int questions = readU16(message, 4);
    const int answers = readU16(message, 6);
    if (questions > 1 || answers > kMaximumRecords) {
        return std::nullopt;
    }
    qsizetype offset = kHeaderSize;
    for (int index = 0; index < questions; ++index) {
        if (!readName(message, &offset) || offset + 4 > message.size()) {
            return std::nullopt;
        }
        offset += 4;
    }
    QList<Record> records;
    for (int index = 0; index < answers; ++index) {
        if (!readName(message, &offset) || offset + 10 > message.size()) {
            return std::nullopt;
        }
        const quint16 type = readU16(message, offset);
        const quint16 klass = readU16(message, offset + 2);
        const quint16 length = readU16(message, offset + 8);
        offset += 10;
        if (offset + length > message.size()) {
            return std::nullopt;
        }
        Record record;
        record.type = type;
        if (klass == kClassIN && type == kTypeA && length == 4) {
            record.address[3] = qFromBigEndian<quint32>(message.data() + offset);
            records.append(record);
        } else if (klass == kClassIN && type == kTypeAAAA && length == 16) {
            for (int word = 0; word < 4; ++word) {
                record.address[size_t(word)] = qFromBigEndian<quint32>(message.data() + offset + 4 * word);
            }
            records.append(record);
        }
        offset += length;
    }
    return records;
}

QByteArray QNDNSMessage::answer(QByteArrayView query, const Question& question, std::optional<quint32> ipv4,
                                quint32 ttl) {
    QByteArray bytes = header(query, question, kRcodeNoError, ipv4 ? 1 : 0);
    if (ipv4) {
        appendU16(bytes, 0xC000 | kHeaderSize); // the question's name
        appendU16(bytes, kTypeA);
        appendU16(bytes, kClassIN);
        appendU32(bytes, ttl);
        appendU16(bytes, 4);
        appendU32(bytes, *ipv4);
    }
    return bytes;
}

QByteArray QNDNSMessage::failure(QByteArrayView query, const Question& question, quint16 rcode) {
    return header(query, question, rcode, 0);
}

QByteArray QNDNSMessage::query(quint16 id, const QString& name, quint16 type) {
    QByteArray bytes;
    appendU16(bytes, id);
    appendU16(bytes, kFlagRecursionDesired);
    appendU16(bytes, 1);
    appendU16(bytes, 0);
    appendU16(bytes, 0);
    appendU16(bytes, 0);
    for (const QString& label : name.split(u'.', Qt::SkipEmptyParts)) {
        const QByteArray text = label.toLatin1().left(kMaximumLabelLength);
        bytes.append(char(text.size()));
        bytes.append(text);
    }
    bytes.append('\0');
    appendU16(bytes, type);
    appendU16(bytes, kClassIN);
    return bytes;
}
