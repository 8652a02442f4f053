#include "kernel/QNAtomReader.h"
#include "kernel/QNAtomTypes.h"
#include "kernel/QNAtomWriter.h"

#include <QByteArray>

#include <gtest/gtest.h>

namespace {

QByteArray hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text));
}

// Type names appear in error texts; bytes that are not printable must not reach them raw.
TEST(AtomTypes, TypeNamesForMessages) {
    EXPECT_EQ(QNAtomTypeString(kQNAtomTypeDNS), QStringLiteral("dns "));
    EXPECT_EQ(QNAtomTypeString(0x00414243), QStringLiteral("\\x00ABC"));
}

TEST(AtomWriter, WritesLengthAndTypeInHostOrderThenTheData) {
    struct Case {
        const char* what;
        quint32 type;
        QByteArray data;
        QByteArray expected;
    };
    const Case cases[] = {
        {"profile name", kQNAtomTypeProfileName, QByteArrayLiteral("Home"), hex("0C000000 6D6E7270 486F6D65")},
        {"no data", kQNAtomTypeProxies, QByteArray(), hex("08000000 73787270")},
        {"dns with its space", kQNAtomTypeDNS, QByteArrayLiteral("x"), hex("09000000 20736E64 78")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QByteArray fromArray = QByteArrayLiteral("prefix");
        EXPECT_TRUE(QNAtomWriter::appendAtom(fromArray, c.type, c.data));
        EXPECT_EQ(fromArray, QByteArrayLiteral("prefix") + c.expected);

        QByteArray fromPointer;
        EXPECT_TRUE(QNAtomWriter::appendAtom(fromPointer, c.type, c.data.isEmpty() ? nullptr : c.data.constData(),
                                             quint32(c.data.size())));
        EXPECT_EQ(fromPointer, c.expected);
    }
}

TEST(AtomWriter, TypedValuesUseTheirWidthInHostOrder) {
    QByteArray buffer;
    QNAtomWriter::appendUInt8Atom(buffer, kQNAtomTypeAnonymize, 1);
    QNAtomWriter::appendUInt16Atom(buffer, kQNAtomTypePort, 1080);
    QNAtomWriter::appendUInt32Atom(buffer, kQNAtomTypeAction, 0xFFFFFFFF);
    QNAtomWriter::appendUInt16PairAtom(buffer, kQNAtomTypePortRange, 8000, 8080);
    EXPECT_TRUE(QNAtomWriter::appendTextAtom(buffer, kQNAtomTypeName, QString()));
    EXPECT_TRUE(QNAtomWriter::appendTextAtom(buffer, kQNAtomTypeName, QStringLiteral("é")));
    EXPECT_EQ(buffer, hex("09000000 6E6F6E61 01"
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
    EXPECT_EQ(atom.offset, 0);
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
    quint32 length = 0;
    quint32 type = 0;
    EXPECT_FALSE(QNAtomReader::readHeader(hex("0C000000 6E6E6F"), &length, &type));
    ASSERT_TRUE(QNAtomReader::readHeader(hex("0C000000 6E6E6F63"), &length, &type));
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(type, kQNAtomTypeConnections);
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

TEST(AtomReader, TypedAccessorsInsistOnTheExactPayloadSize) {
    auto atomWith = [](const QByteArray& data) {
        QNAtom atom;
        atom.data = data;
        return atom;
    };
    const QByteArray one = hex("01");
    const QByteArray two = hex("3804");
    const QByteArray four = hex("0100007F");
    const QByteArray eight = hex("0000000A FFFFFF0A");
    const QByteArray sixteen = hex("B80D0120 00000000 00000000 01000000");

    EXPECT_EQ(atomWith(one).u8(), std::optional<quint8>(1));
    EXPECT_FALSE(atomWith(two).u8());
    EXPECT_EQ(atomWith(two).u16(), std::optional<quint16>(1080));
    EXPECT_FALSE(atomWith(one).u16());
    EXPECT_FALSE(atomWith(four).u16());
    EXPECT_EQ(atomWith(four).u32(), std::optional<quint32>(0x7F000001));
    EXPECT_FALSE(atomWith(eight).u32());
    EXPECT_EQ(atomWith(hex("FBFFFFFF")).s32(), std::optional<qint32>(-5));
    EXPECT_EQ(atomWith(eight).u64(), std::optional<quint64>(0x0AFFFFFF0A000000ull));
    EXPECT_FALSE(atomWith(four).u64());
    EXPECT_EQ(atomWith(hex("401F901F")).u16Pair(), (std::pair<quint16, quint16>(8000, 8080)));
    EXPECT_FALSE(atomWith(two).u16Pair());

    EXPECT_EQ(atomWith(four).ipv4(), (QNAddressWords{0, 0, 0, 0x7F000001}));
    EXPECT_FALSE(atomWith(sixteen).ipv4());
    EXPECT_EQ(atomWith(sixteen).ipv6(), (QNAddressWords{0x20010DB8, 0, 0, 1}));
    EXPECT_FALSE(atomWith(four).ipv6());
    const auto range = atomWith(eight).ipv4Range();
    ASSERT_TRUE(range);
    EXPECT_EQ(range->first, (QNAddressWords{0, 0, 0, 0x0A000000}));
    EXPECT_EQ(range->second, (QNAddressWords{0, 0, 0, 0x0AFFFFFF}));
    EXPECT_FALSE(atomWith(sixteen).ipv4Range());
    EXPECT_TRUE(atomWith(sixteen + sixteen).ipv6Range());
    EXPECT_FALSE(atomWith(sixteen).ipv6Range());

    EXPECT_EQ(atomWith(hex("C3A9")).text(), QStringLiteral("é"));
    EXPECT_EQ(atomWith(QByteArray()).text(), QString());
}

} // namespace
