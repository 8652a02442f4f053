#include "kernel/QNControlMessageParser.h"

#include "test_control_support.h"

#include <QRandomGenerator>
#include <QString>

#include <gtest/gtest.h>

using namespace qncontroltest;

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

QByteArray conversation() {
    return connMessage(3) + u64Message(kQNAtomTypeDataReceived, 0x0102030405060708ULL) +
           logMessage("engine says \xC3\xA9t\xC3\xA9") + message(QNFourCharCode("zzzz"), "ignored") +
           u64Message(kQNAtomTypeDataSent, 18446744073709551615ULL) + connMessage(-5) + logMessage(QByteArray());
}

const QStringList conversationEvents = {
    QStringLiteral("conn 3"),
    QStringLiteral("datr 72623859790382856"),
    QStringLiteral("loge engine says été"),
    QStringLiteral("dats 18446744073709551615"),
    QStringLiteral("conn 0"),
    QStringLiteral("loge "),
};

} // namespace

TEST(ControlMessageParser, ConnMessageBytesAsWritten) {
    Recorder recorder;
    QNControlMessageParser parser(recorder.callbacks());
    parser.feed(QByteArray::fromHex("0C0000006E6E6F6303000000"));
    EXPECT_EQ(recorder.events, QStringList{QStringLiteral("conn 3")});
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

// The same conversation, cut into pieces every possible way at one point and at random, gives the same
// events in the same order.
TEST(ControlMessageParser, ChunkingNeverChangesTheOutcome) {
    const QByteArray bytes = conversation();
    for (qsizetype split = 0; split <= bytes.size(); ++split) {
        Recorder recorder;
        QNControlMessageParser parser(recorder.callbacks());
        parser.feed(bytes.left(split));
        parser.feed(bytes.mid(split));
        ASSERT_EQ(recorder.events, conversationEvents) << "split at " << split;
        ASSERT_EQ(parser.bufferedSize(), 0);
    }
    QRandomGenerator random(20240607);
    for (int round = 0; round < 200; ++round) {
        Recorder recorder;
        QNControlMessageParser parser(recorder.callbacks());
        for (qsizetype at = 0; at < bytes.size();) {
            const qsizetype size = random.bounded(1, 20);
            parser.feed(bytes.mid(at, size));
            at += size;
        }
        ASSERT_EQ(recorder.events, conversationEvents) << "round " << round;
    }
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
    const Case cases[] = {
        {"length 0", header(0, kQNAtomTypeConnections) + u32Bytes(3), {}, 12 + 12},
        {"length 7", header(7, kQNAtomTypeConnections) + "xyz", {}, 11 + 12},
        {"length above the cap", oversize + QByteArray(100, 'x'), {}, 108 + 12},
        {"all ones length", header(0xFFFFFFFF, kQNAtomTypeDataSent), {}, 8 + 12},
        {"after a good message", connMessage(1) + header(3, kQNAtomTypeLog), {QStringLiteral("conn 1")}, 8 + 12},
        {"conn too short", message(kQNAtomTypeConnections, QByteArray("\1\0", 2)) + connMessage(4),
         QStringList{QStringLiteral("conn 4")} + nine, 0},
        {"datr too short", message(kQNAtomTypeDataReceived, "1234567") + connMessage(4),
         QStringList{QStringLiteral("conn 4")} + nine, 0},
        {"dats empty", message(kQNAtomTypeDataSent, {}) + connMessage(4), QStringList{QStringLiteral("conn 4")} + nine,
         0},
        {"longer payload reads its start", message(kQNAtomTypeConnections, u32Bytes(6) + "trailing"),
         QStringList{QStringLiteral("conn 6")} + nine, 0},
        {"unknown types", message(0, {}) + message(QNFourCharCode("CONN"), u32Bytes(1)), nine, 0},
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
