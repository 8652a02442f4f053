#include "engine/QNDNSMessage.h"
#include "engine/QNNameTable.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace {

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

} // namespace

TEST(DNSMessage, QueriesAnswersAndTheirRoundTrip) {
    const QByteArray query = QNDNSMessage::query(0x1234, QStringLiteral("WWW.Example.test"), QNDNSMessage::kTypeA);
    const std::optional<QNDNSMessage::Question> question = QNDNSMessage::parseQuery(query);
    ASSERT_TRUE(question);
    EXPECT_EQ(question->id, 0x1234);
    EXPECT_EQ(question->name, "www.example.test");
    EXPECT_EQ(question->type, QNDNSMessage::kTypeA);
    EXPECT_EQ(question->questionEnd, query.size());

    const QByteArray fake = QNDNSMessage::answer(query, *question, 0xC6120005, 60);
    const std::optional<QList<QNDNSMessage::Record>> records = QNDNSMessage::parseAnswers(fake, 0x1234);
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 1);
    EXPECT_EQ(records->at(0).address[3], 0xC6120005u);
    EXPECT_FALSE(QNDNSMessage::parseAnswers(fake, 0x1235)); // another query's answer
    EXPECT_FALSE(QNDNSMessage::parseQuery(fake));           // an answer is no query

    const QByteArray empty = QNDNSMessage::answer(query, *question, std::nullopt, 60);
    EXPECT_EQ(QNDNSMessage::parseAnswers(empty, 0x1234)->size(), 0);
    EXPECT_EQ(empty.at(3) & 0x0F, QNDNSMessage::kRcodeNoError);
    EXPECT_EQ(QNDNSMessage::failure(query, *question, QNDNSMessage::kRcodeServerFailure).at(3) & 0x0F,
              QNDNSMessage::kRcodeServerFailure);
}

// A resolver's answer: a CNAME, then an A and an AAAA record of the alias, names compressed.
TEST(DNSMessage, AnswersWithCompressionAndSeveralRecordTypes) {
    const QByteArray answer = hex("abcd81800001000300000000"
                                  "03777777076578616d706c650474657374000001 0001"
                                  "c00c000500010000003c0006 03636476c010"
                                  "c02e000100010000003c0004 0a4d0002"
                                  "c02e001c00010000003c0010 fd770000000000000000000000000002");
    const std::optional<QList<QNDNSMessage::Record>> records = QNDNSMessage::parseAnswers(answer, 0xabcd);
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 2);
    EXPECT_EQ(records->at(0).type, QNDNSMessage::kTypeA);
    EXPECT_EQ(records->at(0).address[3], 0x0A4D0002u);
    EXPECT_EQ(records->at(1).type, QNDNSMessage::kTypeAAAA);
    EXPECT_EQ(records->at(1).address, (QNAddressWords{0xFD770000, 0, 0, 2}));
}

TEST(DNSMessage, HostileMessagesAreRefused) {
    const char* queries[] = {
        "",
        "1234010000010000000000",                      // short header
        "123401000002000000000000036162630000010001",  // two questions
        "123481000001000000000000036162630000010001",  // a response
        "1234010000010000000000000361626300000100",    // question cut short
        "12340100000100000000000003616263",            // name without its end
        "123401000001000000000000c00c00010001",        // a pointer to itself
        "123401000001000000000000036162c00f0001 0001", // a pointer forwards
        "12340100000100000000000040"
        "00000100 01", // a label length with reserved bits
    };
    for (const char* text : queries) {
        EXPECT_FALSE(QNDNSMessage::parseQuery(hex(text))) << text;
    }
    // Answers claiming more than they hold, and record data running past the end.
    EXPECT_FALSE(QNDNSMessage::parseAnswers(hex("abcd818000010005000000000361626300000100 01"), 0xabcd));
    EXPECT_FALSE(QNDNSMessage::parseAnswers(
        hex("abcd818000010001000000000361626300000100 01 c00c000100010000003c00ff0a000001"), 0xabcd));
    // A name longer than any name may be.
    QByteArray longName = hex("123401000001000000000000");
    for (int label = 0; label < 5; ++label) {
        longName += char(63) + QByteArray(63, 'a');
    }
    longName += hex("0000010001");
    EXPECT_FALSE(QNDNSMessage::parseQuery(longName));
    // Random bytes never crash the readers.
    QRandomGenerator random(7);
    for (int round = 0; round < 2000; ++round) {
        QByteArray bytes(random.bounded(1, 80), Qt::Uninitialized);
        for (char& byte : bytes) {
            byte = char(random.bounded(256));
        }
        QNDNSMessage::parseQuery(bytes);
        QNDNSMessage::parseAnswers(bytes, quint16(bytes.size() >= 2 ? (quint8(bytes[0]) << 8) | quint8(bytes[1]) : 0));
    }
}

TEST(NameTable, FakeAddressesAreStableBoundedAndSurviveSaving) {
    QNNameTable table(3);
    const quint32 a = table.fakeAddress(QStringLiteral("a.test"));
    EXPECT_TRUE(QNNameTable::isFake(a));
    EXPECT_EQ(table.fakeAddress(QStringLiteral("a.test")), a);
    const quint32 b = table.fakeAddress(QStringLiteral("b.test"));
    EXPECT_NE(a, b);
    table.remember({0, 0, 0, 0x0A000001}, false, QStringLiteral("local.test"));
    EXPECT_EQ(table.nameFor({0, 0, 0, a}, false), "a.test"); // a is now the most recently used
    // A fourth entry pushes out the least recently used one: b.
    table.remember({0xFD000000, 0, 0, 1}, true, QStringLiteral("six.test"));
    EXPECT_EQ(table.size(), 3);
    EXPECT_FALSE(table.nameFor({0, 0, 0, b}, false));
    EXPECT_EQ(table.nameFor({0xFD000000, 0, 0, 1}, true), "six.test");
    EXPECT_FALSE(table.nameFor({0, 0, 0, 0x0A000001}, true)); // the families stay apart

    QNNameTable restored(3);
    restored.load(table.save());
    EXPECT_FALSE(table.isDirty());
    EXPECT_EQ(restored.nameFor({0, 0, 0, a}, false), "a.test");
    EXPECT_EQ(restored.nameFor({0, 0, 0, 0x0A000001}, false), "local.test");
    EXPECT_EQ(restored.fakeAddress(QStringLiteral("a.test")), a);
    // A new name never gets an address the restored table still gives another name.
    const quint32 c = restored.fakeAddress(QStringLiteral("c.test"));
    EXPECT_NE(c, a);
    EXPECT_EQ(restored.nameFor({0, 0, 0, a}, false), "a.test");

    // Damaged lines are skipped, sound ones kept; a fake address outside the range is no fake address.
    QNNameTable damaged;
    damaged.load("garbage\nf0:0:0:c6120009: nine.test\nf0:0:0:a000001: ten.test\n4zz:0:0:1: x.test\n"
                 "40:0:0:a000002: bad name\n");
    EXPECT_EQ(damaged.size(), 1);
    EXPECT_EQ(damaged.nameFor({0, 0, 0, 0xC6120009}, false), "nine.test");
}

TEST(NameTable, TheBoundHoldsUnderManyNames) {
    QNNameTable table(1000);
    for (int index = 0; index < 5000; ++index) {
        table.fakeAddress(QStringLiteral("n%1.test").arg(index));
    }
    EXPECT_EQ(table.size(), 1000);
    EXPECT_FALSE(table.nameFor({0, 0, 0, QNNameTable::kFakeNetwork | 1}, false));
    const quint32 last = table.fakeAddress(QStringLiteral("n4999.test"));
    EXPECT_EQ(table.nameFor({0, 0, 0, last}, false), "n4999.test");
}
