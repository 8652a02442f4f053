#include "kernel/QNAtomReader.h"
#include "kernel/QNAtomTypes.h"
#include "kernel/QNAtomWriter.h"
#include "test_kernel_support.h"

#include <gtest/gtest.h>

#include <functional>

using namespace qntest;

namespace {

// Type names appear in error texts; bytes that are not printable must not reach them raw.
TEST(AtomTypes, TypeNamesForMessages) {
    EXPECT_EQ(QNAtomTypeString(kQNAtomTypeDNS), QStringLiteral("dns "));
    EXPECT_EQ(QNAtomTypeString(0x00414243), QStringLiteral("\\x00ABC"));
}

// Length (header included) and type in host order, then the data; every typed value at its own width.
TEST(AtomWriter, WritesEveryEncodingInHostOrder) {
    QByteArray buffer = QByteArrayLiteral("prefix");
    EXPECT_TRUE(QNAtomWriter::appendAtom(buffer, kQNAtomTypeProfileName, QByteArrayLiteral("Home")));
    EXPECT_TRUE(QNAtomWriter::appendAtom(buffer, kQNAtomTypeProxies, nullptr, 0));
    EXPECT_TRUE(QNAtomWriter::appendAtom(buffer, kQNAtomTypeDNS, "xyz", 1));
    QNAtomWriter::appendUInt8Atom(buffer, kQNAtomTypeAnonymize, 1);
    QNAtomWriter::appendUInt16Atom(buffer, kQNAtomTypePort, 1080);
    QNAtomWriter::appendUInt32Atom(buffer, kQNAtomTypeAction, 0xFFFFFFFF);
    QNAtomWriter::appendUInt16PairAtom(buffer, kQNAtomTypePortRange, 8000, 8080);
    EXPECT_TRUE(QNAtomWriter::appendTextAtom(buffer, kQNAtomTypeName, QString()));
    EXPECT_TRUE(QNAtomWriter::appendTextAtom(buffer, kQNAtomTypeName, QStringLiteral("é")));
    EXPECT_EQ(buffer, "prefix" + hex("0C000000 6D6E7270 486F6D65"
                                     "08000000 73787270"
                                     "09000000 20736E64 78"
                                     "09000000 6E6F6E61 01"
                                     "0A000000 74726F70 3804"
                                     "0C000000 6E746361 FFFFFFFF"
                                     "0C000000 67727470 401F 901F"
                                     "08000000 656D616E"
                                     "0A000000 656D616E C3A9"));

    // Data too large for the length word is refused and nothing is written.
    buffer = QByteArrayLiteral("kept");
    EXPECT_FALSE(QNAtomWriter::appendAtom(buffer, kQNAtomTypeName, "", 0xFFFFFFF8u));
    EXPECT_EQ(buffer, QByteArrayLiteral("kept"));
}

TEST(AtomReader, WalksAtomsAndViewsTheirData) {
    const QByteArray buffer = hex("0C000000 6D6E7270 486F6D65"
                                  "08000000 73787270"
                                  "0A000000 74726F70 3804");
    QNAtomReader reader(buffer);
    QNAtom atom;
    ASSERT_TRUE(reader.next(&atom));
    EXPECT_EQ(atom.type, kQNAtomTypeProfileName);
    EXPECT_EQ(atom.length, 12u);
    EXPECT_EQ(atom.text(), QStringLiteral("Home"));
    ASSERT_TRUE(reader.next(&atom));
    EXPECT_EQ(atom.type, kQNAtomTypeProxies);
    EXPECT_TRUE(atom.data.isEmpty());
    ASSERT_TRUE(reader.next(&atom));
    EXPECT_EQ(atom.offset, 20);
    EXPECT_EQ(atom.u16(), std::optional<quint16>(1080));
    EXPECT_FALSE(reader.next(&atom));
    EXPECT_TRUE(reader.atEnd());
    EXPECT_FALSE(reader.hasError());

    const auto empty = QNAtomReader::readAll(QByteArrayView());
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->isEmpty());
    // A header is read only when all eight bytes are there.
    EXPECT_FALSE(QNAtomReader::readHeader(hex("0C000000 6E6E6F"), nullptr, nullptr));
}

TEST(AtomReader, RejectsAtomsThatDoNotFitTheirContainer) {
    struct Case {
        const char* what;
        QByteArray buffer;
        qsizetype atomsBeforeError;
        const char* reasonPart;
    };
    const Case cases[] = {
        {"header cut off", hex("0800000073787270 0C0000"), 1, "header cut off at offset 8"},
        {"length below the header", hex("07000000 73787270"), 0, "shorter than its 8-byte header"},
        {"length zero", hex("00000000 73787270 00000000"), 0, "declares length 0"},
        {"runs past the end", hex("0C000000 6D6E7270 486F6D"), 0, "only 11 bytes are left"},
        {"huge length", hex("FFFFFFFF 6D6E7270 486F6D65"), 0, "declares length 4294967295"},
        {"second atom overlong", hex("08000000 73787270 10000000 73656C72 0000"), 1, "'rles' at offset 8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QNAtomReader reader(c.buffer);
        QNAtom atom;
        qsizetype read = 0;
        while (reader.next(&atom)) {
            ++read;
        }
        EXPECT_EQ(read, c.atomsBeforeError);
        EXPECT_TRUE(reader.hasError());
        EXPECT_FALSE(reader.atEnd());
        EXPECT_TRUE(reader.errorString().contains(QLatin1String(c.reasonPart))) << qPrintable(reader.errorString());
        // An error is final: the walk does not resume past it.
        EXPECT_FALSE(reader.next(&atom));

        QString error;
        EXPECT_FALSE(QNAtomReader::readAll(c.buffer, &error));
        EXPECT_EQ(error, reader.errorString());
    }
}

TEST(AtomReader, TypedAccessorsReadExactlyTheirOwnSize) {
    const auto atomWith = [](const QByteArray& data) {
        QNAtom atom;
        atom.data = data;
        return atom;
    };
    // A payload one byte short or long is no value, so padding is never read as part of one. The values
    // themselves are read back in the decoder's test.
    struct Case {
        const char* what;
        int size;
        std::function<bool(const QNAtom&)> reads;
    };
    const Case cases[] = {
        {"u8", 1, [](const QNAtom& a) { return a.u8().has_value(); }},
        {"u16", 2, [](const QNAtom& a) { return a.u16().has_value(); }},
        {"u32", 4, [](const QNAtom& a) { return a.u32().has_value(); }},
        {"s32", 4, [](const QNAtom& a) { return a.s32().has_value(); }},
        {"u64", 8, [](const QNAtom& a) { return a.u64().has_value(); }},
        {"u16Pair", 4, [](const QNAtom& a) { return a.u16Pair().has_value(); }},
        {"ipv4", 4, [](const QNAtom& a) { return a.ipv4().has_value(); }},
        {"ipv6", 16, [](const QNAtom& a) { return a.ipv6().has_value(); }},
        {"ipv4Range", 8, [](const QNAtom& a) { return a.ipv4Range().has_value(); }},
        {"ipv6Range", 32, [](const QNAtom& a) { return a.ipv6Range().has_value(); }},
    };
    for (const Case& c : cases) {
        for (const int size : {c.size - 1, c.size, c.size + 1}) {
            EXPECT_EQ(c.reads(atomWith(QByteArray(size, '\0'))), size == c.size) << c.what << " of " << size;
        }
    }
}

} // namespace
