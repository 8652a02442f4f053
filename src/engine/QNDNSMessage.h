#pragma once

#include "util/QNUtilities.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

// The few DNS messages the engine reads and writes (RFC 1035). Everything read is hostile: lengths are
// checked before every read, compression pointers may only point backwards and are followed a bounded
// number of times, and anything that does not parse gives nullopt, never a crash.
class QNDNSMessage {
public:
    QNDNSMessage() = delete;

    static constexpr quint16 kTypeA = 1;
    static constexpr quint16 kTypeCNAME = 5;
    static constexpr quint16 kTypeAAAA = 28;
    static constexpr quint16 kClassIN = 1;
    static constexpr quint16 kRcodeNoError = 0;
    static constexpr quint16 kRcodeFormatError = 1;
    static constexpr quint16 kRcodeServerFailure = 2;
    static constexpr qsizetype kMaximumMessage = 65535;

    struct Question {
        quint16 id = 0;
        quint16 flags = 0;
        QString name; // lower case, without the final dot
        quint16 type = 0;
        quint16 klass = 0;
        qsizetype questionEnd = 0; // offset just past the question, for echoing it back
    };

    struct Record {
        quint16 type = 0;
        QNAddressWords address{}; // for A (last word) and AAAA
    };

    // The first question of a query (QR clear, one question); nullopt on anything else.
    static std::optional<Question> parseQuery(QByteArrayView message);
    // The address records of a response to a query with this id; the names of the records are not
    // checked against the question (CNAME chains end in records of other names).
    static std::optional<QList<Record>> parseAnswers(QByteArrayView message, quint16 id);

    // An answer to the query: its header and question echoed, with one A record when address is set, and
    // no record otherwise (the empty NOERROR answer).
    static QByteArray answer(QByteArrayView query, const Question& question, std::optional<quint32> ipv4, quint32 ttl);
    // An answer with no record and this response code.
    static QByteArray failure(QByteArrayView query, const Question& question, quint16 rcode);
    // A recursive query for name and type.
    static QByteArray query(quint16 id, const QString& name, quint16 type);
    // A name as a query may carry it: 1 to 253 characters of dotted labels of 1 to 63 bytes.
    static bool isValidName(const QString& name);
};
