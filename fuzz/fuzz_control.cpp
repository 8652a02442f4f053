// Feeds arbitrary bytes to the control message parser as the engine might send them: the first byte
// of the input seeds how the rest is cut into reads of 1 to 1024 bytes.
#include "QNFuzzCheck.h"

#include "kernel/QNControlMessageParser.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    quint32 seed = data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const qsizetype total = qsizetype(size - 1);

    quint64 values = 0;
    QNControlMessageParser::Callbacks callbacks;
    callbacks.connections = [&](qint32 connections) {
        qnFuzzCheck(connections >= 0);
        ++values;
    };
    callbacks.dataReceived = [&](quint64) { ++values; };
    callbacks.dataSent = [&](quint64) { ++values; };
    callbacks.log = [&](const QByteArray& text) {
        qnFuzzCheck(text.size() <= qsizetype(QNControlMessageParser::kMaximumMessageLength));
        // What the agent does with a log line when logging is on.
        (void)QString::fromUtf8(text);
        ++values;
    };
    QNControlMessageParser parser(callbacks);

    for (qsizetype at = 0; at < total;) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype chunk = qMin<qsizetype>(1 + (seed >> 16) % 1024, total - at);
        parser.appendData(QByteArrayView(bytes + at, chunk));
        at += chunk;
        for (;;) {
            const qsizetype before = parser.bufferedSize();
            if (!parser.parseControlSocketData()) {
                break;
            }
            qnFuzzCheck(parser.bufferedSize() < before);
        }
        // Whatever is left is the start of one message that is not complete yet.
        qnFuzzCheck(parser.bufferedSize() < qsizetype(QNControlMessageParser::kMaximumMessageLength));
    }
    qnFuzzCheck(values <= parser.messageCount());
    qnFuzzCheck(parser.messageCount() + parser.discardedByteCount() <= quint64(total));
    return 0;
}
