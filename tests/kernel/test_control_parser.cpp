#include "kernel/QNControlMessageParser.h"

#include "test_kernel_support.h"

#include <QString>

#include <gtest/gtest.h>

using namespace qntest;

namespace {

// Every callback as one line of text, so a whole conversation compares in one assertion.
struct Recorder {
    QStringList events;

    QNControlMessageParser::Callbacks callbacks() {
        QNControlMessageParser::Callbacks callbacks;
        callbacks.connections = [this](qint32 value) { events << QStringLiteral("conn %1").arg(value); };
        callbacks.dataReceived = [this](quint64 value) { events << QStringLiteral("datr %1").arg(value); };
        callbacks.dataSent = [this](quint64 value) { events << QStringLiteral("dats %1").arg(value); };
        callbacks.log = [this](const QByteArray& text) { events << QStringLiteral("loge ") + QString::fromUtf8(text); };
        return callbacks;
    }
};

} // namespace

// Byte for byte as the engine writes them: a negative count reads as none, a type nobody knows is passed
// over, and a log line is UTF-8 and may be empty. How the bytes are cut into reads is the fuzz harness's
// business; the channel test repeats it over a real socket.
TEST(ControlMessageParser, MessagesAsTheEngineWritesThem) {
    Recorder recorder;
    QNControlMessageParser parser(recorder.callbacks());
    parser.feed(hex("0C000000 6E6E6F63 03000000"
                    "10000000 72746164 08070605 04030201"
                    "10000000 73746164 FFFFFFFF FFFFFFFF"
                    "0D000000 65676F6C C3A974C3A9"
                    "0F000000 7A7A7A7A 69676E6F726564"
                    "0C000000 6E6E6F63 FBFFFFFF"
                    "08000000 65676F6C"));
    EXPECT_EQ(recorder.events, (QStringList{QStringLiteral("conn 3"), QStringLiteral("datr 72623859790382856"),
                                            QStringLiteral("dats 18446744073709551615"), QStringLiteral("loge été"),
                                            QStringLiteral("conn 0"), QStringLiteral("loge ")}));
    EXPECT_EQ(parser.bufferedSize(), 0);
}

TEST(ControlMessageParser, OneCallHandlesOneMessageAndSaysWhetherMoreMayFollow) {
    Recorder recorder;
    QNControlMessageParser parser(recorder.callbacks());
    parser.appendData(connMessage(1) + connMessage(2) + connMessage(3).left(5));
    EXPECT_TRUE(parser.parseControlSocketData());
    EXPECT_EQ(recorder.events.size(), 1);
    EXPECT_TRUE(parser.parseControlSocketData());
    EXPECT_EQ(recorder.events.size(), 2);
    // Only part of a header is left: nothing to handle yet, and it stays buffered.
    EXPECT_FALSE(parser.parseControlSocketData());
    EXPECT_EQ(parser.controlBufferData(), connMessage(3).left(5));
    parser.appendData(connMessage(3).mid(5));
    EXPECT_FALSE(parser.parseControlSocketData());
    EXPECT_EQ(recorder.events,
              (QStringList{QStringLiteral("conn 1"), QStringLiteral("conn 2"), QStringLiteral("conn 3")}));
}

// A message that cannot be framed loses the stream: it and every byte after it are dropped, however the
// bytes are cut, until the parser is cleared. A message that frames but is malformed inside is skipped.
TEST(ControlMessageParser, MalformedInputIsDropped) {
    const QByteArray after = connMessage(9);
    struct Case {
        const char* name;
        QByteArray input; // fed on its own, before `after`
        QStringList events;
        qsizetype discarded; // once `after` is fed too
    };
    const QByteArray oversize = header(QNControlMessageParser::kMaximumMessageLength + 1, kQNAtomTypeLog);
    const QStringList nine = {QStringLiteral("conn 9")};
    const QStringList fourNine = QStringList{QStringLiteral("conn 4")} + nine;
    const Case cases[] = {
        {"length 0", header(0, kQNAtomTypeConnections) + value<quint32>(3), {}, 12 + 12},
        {"length 7", header(7, kQNAtomTypeConnections) + "xyz", {}, 11 + 12},
        {"length above the cap", oversize + QByteArray(100, 'x'), {}, 108 + 12},
        {"all ones length", header(0xFFFFFFFF, kQNAtomTypeDataSent), {}, 8 + 12},
        {"after a good message", connMessage(1) + header(3, kQNAtomTypeLog), {QStringLiteral("conn 1")}, 8 + 12},
        {"conn too short", atom(kQNAtomTypeConnections, QByteArray("\1\0", 2)) + connMessage(4), fourNine, 0},
        {"datr too short", atom(kQNAtomTypeDataReceived, "1234567") + connMessage(4), fourNine, 0},
        {"dats empty", atom(kQNAtomTypeDataSent) + connMessage(4), fourNine, 0},
        {"longer payload reads its start", atom(kQNAtomTypeConnections, value<quint32>(6) + "trailing"),
         QStringList{QStringLiteral("conn 6")} + nine, 0},
        {"unknown types", atom(0) + atom(QNFourCharCode("CONN"), value<quint32>(1)), nine, 0},
        {"invalid UTF-8 in a log line", logMessage("\xFF\xFEok"),
         QStringList{QStringLiteral("loge \uFFFD\uFFFDok")} + nine, 0},
    };
    for (const Case& c : cases) {
        Recorder recorder;
        QNControlMessageParser parser(recorder.callbacks());
        parser.feed(c.input);
        EXPECT_EQ(parser.bufferedSize(), 0) << c.name;
        parser.feed(after);
        EXPECT_EQ(recorder.events, c.events) << c.name;
        EXPECT_EQ(parser.discardedByteCount(), quint64(c.discarded)) << c.name;
        EXPECT_EQ(parser.bufferedSize(), 0) << c.name;
    }
    // A new stream (the socket opened again) is framed afresh.
    Recorder recorder;
    QNControlMessageParser parser(recorder.callbacks());
    parser.feed(header(0, kQNAtomTypeConnections));
    parser.clear();
    parser.feed(after);
    EXPECT_EQ(recorder.events, nine);
}

TEST(ControlMessageParser, LargestMessageIsAcceptedAndOneByteMoreIsNot) {
    Recorder recorder;
    QNControlMessageParser parser(recorder.callbacks());
    const QByteArray largest = logMessage(QByteArray(QNControlMessageParser::kMaximumMessageLength - 8, 'a'));
    parser.feed(largest);
    ASSERT_EQ(recorder.events.size(), 1);
    EXPECT_EQ(recorder.events.first().size(), 5 + qsizetype(QNControlMessageParser::kMaximumMessageLength - 8));
    parser.feed(logMessage(QByteArray(QNControlMessageParser::kMaximumMessageLength - 7, 'a')));
    EXPECT_EQ(recorder.events.size(), 1);
}

// A handler may clear the parser (the owner closing the socket) while more messages are buffered.
TEST(ControlMessageParser, HandlerMayClearTheParser) {
    QNControlMessageParser parser;
    int calls = 0;
    QNControlMessageParser::Callbacks callbacks;
    callbacks.connections = [&](qint32) {
        ++calls;
        parser.clear();
    };
    parser.setCallbacks(callbacks);
    parser.feed(connMessage(1) + connMessage(2) + connMessage(3));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(parser.bufferedSize(), 0);
}
