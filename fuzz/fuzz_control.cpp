// The engine's messages reach the control message parser in whatever pieces the socket delivers, so the
// pieces must not matter: the stream is fed whole, then again cut where the input says, and both must
// give the same messages in the same order and leave the same bytes behind. The same holds for the engine's
// reader of what agents send it, fed the same stream.
//
// Input: one byte n (its low six bits), then n cuts of two bytes each (little-endian: the low fifteen
// bits are a piece size, the top bit says whether to parse right after that piece or only append), then
// the stream. What the cuts leave over is fed as one last piece.
#include "QNFuzzCheck.h"

#include "kernel/QNControlMessageParser.h"
#include "kernel/QNOptionFrameReader.h"

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>

namespace {

struct Outcome {
    QList<QByteArray> messages;
    quint64 messageCount = 0;
    quint64 discardedByteCount = 0;
    QByteArray buffered;

    bool operator==(const Outcome&) const = default;
};

QNControlMessageParser::Callbacks recordingInto(QList<QByteArray>& messages) {
    QNControlMessageParser::Callbacks callbacks;
    callbacks.connections = [&messages](qint32 connections) {
        qnFuzzCheck(connections >= 0, "a connection count is never negative");
        messages.append("conn " + QByteArray::number(connections));
    };
    callbacks.dataReceived = [&messages](quint64 bytes) { messages.append("datr " + QByteArray::number(bytes)); };
    callbacks.dataSent = [&messages](quint64 bytes) { messages.append("dats " + QByteArray::number(bytes)); };
    callbacks.log = [&messages](const QByteArray& text) {
        qnFuzzCheck(text.size() <= qsizetype(QNControlMessageParser::kMaximumMessageLength), "log line within bounds");
        messages.append("loge " + text);
    };
    return callbacks;
}

// What the control channel does after every read: parse until the parser says nothing more can be done.
void parseAll(QNControlMessageParser& parser) {
    for (;;) {
        const qsizetype before = parser.bufferedSize();
        if (!parser.parseControlSocketData()) {
            break;
        }
        qnFuzzCheck(parser.bufferedSize() < before, "every parsed message consumes bytes");
    }
    // What is left is the start of one message that is not complete yet.
    qnFuzzCheck(parser.bufferedSize() < qsizetype(QNControlMessageParser::kMaximumMessageLength),
                "at most one incomplete message stays buffered");
}

// Every frame the reader can give now, as "option value".
void readAll(QNOptionFrameReader& reader, QList<QByteArray>& frames) {
    while (const std::optional<QNOptionFrameReader::Frame> frame = reader.next()) {
        qnFuzzCheck(frame->value.size() <= qsizetype(QNControlMessageParser::kMaximumMessageLength),
                    "a frame within bounds");
        frames.append(QByteArray::number(frame->option) + ' ' + frame->value);
    }
}

Outcome outcomeOf(QNControlMessageParser& parser, QList<QByteArray> messages) {
    return Outcome{std::move(messages), parser.messageCount(), parser.discardedByteCount(), parser.controlBufferData()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t cuts = data[0] & 0x3F;
    size_t at = 1;
    if (size < at + 2 * cuts) {
        return 0;
    }
    const uint8_t* cutBytes = data + at;
    at += 2 * cuts;
    const QByteArrayView stream(reinterpret_cast<const char*>(data + at), qsizetype(size - at));

    QList<QByteArray> wholeMessages;
    QNControlMessageParser whole(recordingInto(wholeMessages));
    whole.appendData(stream);
    parseAll(whole);
    const Outcome expected = outcomeOf(whole, wholeMessages);
    qnFuzzCheck(expected.messageCount + expected.discardedByteCount <= quint64(stream.size()),
                "messages and dropped bytes come from the input");

    QList<QByteArray> wholeFrames;
    QNOptionFrameReader wholeReader(QNControlMessageParser::kMaximumMessageLength);
    wholeReader.append(stream);
    readAll(wholeReader, wholeFrames);

    QList<QByteArray> cutMessages;
    QNControlMessageParser cut(recordingInto(cutMessages));
    QList<QByteArray> cutFrames;
    QNOptionFrameReader cutReader(QNControlMessageParser::kMaximumMessageLength);
    qsizetype fed = 0;
    for (size_t i = 0; i < cuts; ++i) {
        const quint16 word = quint16(cutBytes[2 * i] | cutBytes[2 * i + 1] << 8);
        const qsizetype piece = qMin<qsizetype>(word & 0x7FFF, stream.size() - fed);
        cut.appendData(stream.sliced(fed, piece));
        cutReader.append(stream.sliced(fed, piece));
        fed += piece;
        if ((word & 0x8000) != 0) {
            parseAll(cut);
            readAll(cutReader, cutFrames);
        }
    }
    cut.appendData(stream.sliced(fed));
    parseAll(cut);
    qnFuzzCheck(outcomeOf(cut, cutMessages) == expected, "the same messages however the stream is cut");
    cutReader.append(stream.sliced(fed));
    readAll(cutReader, cutFrames);
    qnFuzzCheck(cutFrames == wholeFrames && cutReader.malformedLength() == wholeReader.malformedLength() &&
                    cutReader.bufferedSize() == wholeReader.bufferedSize(),
                "the same frames however the stream is cut");
    return 0;
}
