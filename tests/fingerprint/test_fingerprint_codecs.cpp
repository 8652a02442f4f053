// Wire codecs, the type table and the bytes that are hashed, with byte-exact vectors.

#include "QNTestKeys.h"

#include "fingerprint/QNFingerprint.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <functional>

namespace {

using BigNumber = QNFingerprint::BigNumber;

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

QByteArray numberBytes(const BIGNUM* number) {
    QByteArray bytes(BN_num_bytes(number), '\0');
    BN_bn2bin(number, reinterpret_cast<unsigned char*>(bytes.data()));
    return bytes;
}

// Every reader seen alike: the value comes out as bytes (a number unsigned big-endian, a string as UTF-8);
// a null value pointer skips it.
using Reader = std::function<bool(const QByteArray&, QByteArray*, quint32*)>;

Reader numberReader(bool (*read)(const QByteArray&, BIGNUM*, quint32*)) {
    return [read](const QByteArray& buffer, QByteArray* value, quint32* offset) {
        if (!value) {
            return read(buffer, nullptr, offset);
        }
        BigNumber number(BN_new());
        BN_set_word(number.get(), 99); // whatever was there is replaced
        const bool ok = read(buffer, number.get(), offset);
        EXPECT_FALSE(BN_is_negative(number.get()));
        *value = numberBytes(number.get());
        return ok;
    };
}

const Reader stringReader = [](const QByteArray& buffer, QByteArray* value, quint32* offset) {
    QString text;
    const bool ok = QNFingerprint::readString(buffer, value ? &text : nullptr, offset);
    if (value) {
        *value = text.toUtf8();
    }
    return ok;
};

} // namespace

TEST(FingerprintCodecs, Readers) {
    const Reader string = stringReader;
    const Reader data = QNFingerprint::readData;
    const Reader mpint = numberReader(QNFingerprint::readBigNumber2);
    const Reader binary = numberReader(QNFingerprint::readBigNumber);
    const Reader decimal = numberReader(QNFingerprint::readBigNumber3);
    const QByteArray big8192 = "\x7f" + QByteArray(8191, '\xff');
    const struct {
        const char* name;
        const Reader& reader;
        QByteArray buffer;
        quint32 offset;
        bool ok;
        QByteArray value;
        quint32 offsetAfter; // the offset is left alone on failure
    } cases[] = {
        {"string", string, hex("00000003") + "abcx", 0, true, "abc", 7},
        {"string ends at the buffer's end", string, hex("00000003") + "abc", 0, true, "abc", 7},
        {"string at an offset", string, "zz" + hex("00000002") + "hi", 2, true, "hi", 8},
        {"empty string with a byte after it", string, hex("00000000") + "x", 0, true, "", 4},
        // The length field must be followed by at least one byte.
        {"empty string at the end", string, hex("00000000"), 0, false, "", 0},
        {"string past the end", string, hex("00000004") + "abc", 0, false, "", 0},
        {"string length cut short", string, hex("000000"), 0, false, "", 0},
        {"string offset near 2^32", string, hex("00000001") + "a", 0xFFFFFFFEu, false, "", 0xFFFFFFFEu},
        {"string length near 2^32", string, hex("FFFFFFFF") + "abc", 0, false, "", 0},
        {"string at its bound", string, hex("00040000") + QByteArray(262144, 'a'), 0, true, QByteArray(262144, 'a'),
         262148},
        {"string over its bound", string, hex("00040001") + QByteArray(262145, 'a'), 0, false, "", 0},
        {"string UTF-8", string, hex("00000002") + "\xc3\xa9", 0, true, "\xc3\xa9", 6},
        // Binary strings keep bytes that are not UTF-8 and share the string's bounds.
        {"data", data, hex("00000003ff0080") + "x", 0, true, hex("ff0080"), 7},
        {"data past the end", data, hex("00000004ff0080"), 0, false, "", 0},
        {"data over its bound", data, hex("00040001") + QByteArray(262145, 'a'), 0, false, "", 0},
        {"mpint", mpint, hex("000000020102"), 0, true, hex("0102"), 6},
        {"mpint with sign byte", mpint, hex("0000000300ff01"), 0, true, hex("ff01"), 7},
        {"mpint zero", mpint, hex("00000000ff"), 0, true, "", 4},
        {"mpint negative", mpint, hex("0000000280ff"), 0, false, "", 0},
        {"mpint past the end", mpint, hex("000000030102"), 0, false, "", 0},
        {"mpint length near 2^32", mpint, hex("FFFFFFFF01"), 0, false, "", 0},
        {"mpint at its bound", mpint, hex("00002000") + big8192, 0, true, big8192, 8196},
        {"mpint over its bound", mpint, hex("00002001") + big8192 + "\x01", 0, false, "", 0},
        {"mpint at an offset near 2^32", mpint, hex("0000000101"), 0xFFFFFFFCu, false, "", 0xFFFFFFFCu},
        {"binary", binary, hex("000901ff") + "x", 0, true, hex("01ff"), 4},
        {"binary high bit is not a sign", binary, hex("0008ff") + "x", 0, true, hex("ff"), 3},
        {"binary zero bits", binary, hex("0000") + "x", 0, true, "", 2},
        {"binary must not end the buffer", binary, hex("000901ff"), 0, false, "", 0},
        {"binary past the end", binary, hex("001101ff"), 0, false, "", 0},
        {"binary largest count", binary, hex("ffff") + QByteArray(8192, '\x01') + "x", 0, true,
         QByteArray(8192, '\x01'), 8194},
        {"decimal", decimal, "65537 rest", 0, true, hex("010001"), 5},
        {"decimal after blanks", decimal, " \t 255", 0, true, hex("ff"), 6},
        {"decimal at an offset", decimal, "12 34\n", 2, true, hex("22"), 5},
        {"decimal leading zeros", decimal, "0001", 0, true, hex("01"), 4},
        {"decimal needs a digit", decimal, "  x1", 0, false, "", 0},
        {"decimal no sign", decimal, "-5", 0, false, "", 0},
        {"decimal not across lines", decimal, " \n5", 0, false, "", 0},
        {"decimal only blanks", decimal, "   ", 0, false, "", 0},
        {"decimal too many digits", decimal, QByteArray(20001, '7'), 0, false, "", 0},
        {"decimal offset past the end", decimal, "5", 7, false, "", 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        quint32 offset = c.offset;
        QByteArray value;
        EXPECT_EQ(c.reader(c.buffer, &value, &offset), c.ok);
        EXPECT_EQ(offset, c.offsetAfter);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
            quint32 skipped = c.offset;
            EXPECT_TRUE(c.reader(c.buffer, nullptr, &skipped));
            EXPECT_EQ(skipped, c.offsetAfter);
        }
        QByteArray ignored;
        EXPECT_FALSE(c.reader(c.buffer, &ignored, nullptr));
    }
}

TEST(FingerprintCodecs, Writers) {
    const struct {
        const char* decimal;
        bool ok;
        QByteArray wire;
    } cases[] = {
        {"0", true, hex("00000000")},
        {"127", true, hex("000000017f")},
        // A set top bit gets a zero byte in front, or it would read as the sign.
        {"128", true, hex("000000020080")},
        {"65535", true, hex("0000000300ffff")},
        {"65537", true, hex("00000003010001")},
        {"-5", false, QByteArray()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.decimal);
        BIGNUM* number = nullptr;
        ASSERT_NE(BN_dec2bn(&number, c.decimal), 0);
        BigNumber holder(number);
        QByteArray buffer("pre");
        quint32 offset = 3;
        EXPECT_EQ(QNFingerprint::writeBigNumber(&buffer, number, &offset), c.ok);
        EXPECT_EQ(buffer, "pre" + c.wire);
        EXPECT_EQ(offset, quint32(3 + c.wire.size()));
        if (c.ok) {
            BigNumber back(BN_new());
            quint32 readOffset = 3;
            EXPECT_TRUE(QNFingerprint::readBigNumber2(buffer + "x", back.get(), &readOffset));
            EXPECT_EQ(BN_cmp(back.get(), number), 0);
        }
    }

    QByteArray buffer;
    quint32 offset = 0;
    ASSERT_TRUE(QNFingerprint::writeString(&buffer, QStringLiteral("ssh-rsa"), &offset));
    ASSERT_TRUE(QNFingerprint::writeString(&buffer, QString(), &offset));
    EXPECT_EQ(buffer, hex("00000007") + "ssh-rsa" + hex("00000000"));
    EXPECT_EQ(offset, 15u);
    ASSERT_TRUE(QNFingerprint::writeData(&buffer, hex("ff00"), &offset));
    EXPECT_EQ(buffer.mid(15), hex("00000002ff00"));
    buffer.chop(6);
    offset = 15;
    // Writing in the middle overwrites and keeps the rest.
    offset = 4;
    ASSERT_TRUE(QNFingerprint::writeString(&buffer, QString(), &offset));
    EXPECT_EQ(buffer, hex("00000007") + hex("00000000") + "rsa" + hex("00000000"));
    // An offset that would carry the end past 32 bits is refused before anything is allocated.
    offset = 0xFFFFFFFEu;
    EXPECT_FALSE(QNFingerprint::writeString(&buffer, QStringLiteral("x"), &offset));
    EXPECT_EQ(offset, 0xFFFFFFFEu);
    EXPECT_EQ(buffer.size(), 15);
}

TEST(FingerprintCodecs, TypeTable) {
    // Names compare exactly; every wire name maps back to its code; certificates name their plain key.
    for (const char* name : {"RSA", "ssh-rsa ", "ed25519", "ecdsa", "ssh-ed25519-cert-v00@openssh.com",
                             "ecdsa-sha2-nistp224", "ssh-rsa-cert-v01", ""}) {
        EXPECT_EQ(QNFingerprint::keyType(QString::fromLatin1(name)), quint32(QNFingerprintTypeNone)) << name;
    }
    EXPECT_EQ(QNFingerprint::keyType(QStringLiteral("rsa1")), quint32(QNFingerprintTypeRSA1));
    EXPECT_EQ(QNFingerprint::keyType(QStringLiteral("rsa")), quint32(QNFingerprintTypeRSA));
    EXPECT_EQ(QNFingerprint::keyType(QStringLiteral("dsa")), quint32(QNFingerprintTypeDSA));
    const quint32 certified[] = {0, 0, 0, 0, 2, 3, 2, 3, 0, 0, 0, 0, 8, 9, 10, 11, 0};
    for (quint32 type = 0; type <= 16; ++type) {
        const QString name = QNFingerprint::keyName(type);
        EXPECT_EQ(name.isNull(), type < 2 || type > 15) << type;
        EXPECT_EQ(QNFingerprint::keyType(name), name.isNull() ? 0 : type) << type;
        EXPECT_EQ(QNFingerprint::isKeyCertificate(type), certified[type] != 0) << type;
        EXPECT_EQ(QNFingerprint::certificateKeyType(type), certified[type]) << type;
    }
    EXPECT_EQ(QNFingerprint::keyName(6), QStringLiteral("ssh-rsa-cert-v01@openssh.com"));
    EXPECT_EQ(QNFingerprint::keyName(5), QStringLiteral("ssh-dss-cert-v00@openssh.com"));
    EXPECT_EQ(QNFingerprint::keyName(8), QStringLiteral("ssh-ed25519"));
    EXPECT_EQ(QNFingerprint::keyName(11), QStringLiteral("ecdsa-sha2-nistp521"));
    EXPECT_EQ(QNFingerprint::keyName(14), QStringLiteral("ecdsa-sha2-nistp384-cert-v01@openssh.com"));
    EXPECT_EQ(QNFingerprint::curveName(10), QStringLiteral("nistp384"));
    EXPECT_EQ(QNFingerprint::curveName(13), QStringLiteral("nistp256"));
    EXPECT_TRUE(QNFingerprint::curveName(8).isNull());
}

TEST(FingerprintCodecs, HashedBytesByType) {
    QNFingerprint fingerprint{QByteArray(), QString()};
    const auto setRSA = [&](quint32 type) {
        fingerprint.updateType(type);
        BN_set_word(fingerprint.rsa()->e.get(), 0x23);
        BN_set_word(fingerprint.rsa()->n.get(), 0x80c1);
    };
    setRSA(QNFingerprintTypeRSA1);
    EXPECT_EQ(fingerprint.hashKey(), hex("80c123"));

    const QByteArray rsaBlob = hex("00000007") + "ssh-rsa" + hex("0000000123") + hex("000000030080c1");
    for (const quint32 type :
         {QNFingerprintTypeRSA, QNFingerprintTypeRSACertificateV0, QNFingerprintTypeRSACertificateV1}) {
        setRSA(type);
        EXPECT_EQ(fingerprint.hashKey(), rsaBlob) << type;
    }

    const QByteArray dsaBlob =
        hex("00000007") + "ssh-dss" + hex("0000000101") + hex("0000000102") + hex("00000000") + hex("000000020080");
    for (const quint32 type :
         {QNFingerprintTypeDSA, QNFingerprintTypeDSSCertificateV0, QNFingerprintTypeDSSCertificateV1}) {
        fingerprint.updateType(type);
        BN_set_word(fingerprint.dsa()->p.get(), 1);
        BN_set_word(fingerprint.dsa()->q.get(), 2);
        BN_set_word(fingerprint.dsa()->y.get(), 0x80);
        EXPECT_EQ(fingerprint.hashKey(), dsaBlob) << type;
    }

    for (const quint32 type : {0u, 16u, 0xFFFFFFFFu}) {
        fingerprint.updateType(type);
        EXPECT_FALSE(fingerprint.hashKey()) << type;
    }
}

TEST(FingerprintCodecs, HandMadeBlobsInKeyLines) {
    const QByteArray e = hex("0000000123");
    const QByteArray n = hex("000000030080c1");
    const QByteArray rsaName = qnWireString("ssh-rsa");
    const QString plainDigest =
        QString::fromLatin1(QCryptographicHash::hash(rsaName + e + n, QCryptographicHash::Md5).toHex(':'));
    const QByteArray nonce = qnWireString(QByteArray(32, '\x11'));
    const QByteArray certificateRest = qnWireUInt32(0) + qnWireString("rest of the certificate");
    const QByteArray v00 = "ssh-rsa-cert-v00@openssh.com";
    const QByteArray v01 = "ssh-rsa-cert-v01@openssh.com";
    const struct {
        const char* name;
        QByteArray line;
        quint32 type;
    } cases[] = {
        {"plain", qnKeyLine("ssh-rsa", rsaName + e + n), QNFingerprintTypeRSA},
        {"extra bytes after the key", qnKeyLine("ssh-rsa", rsaName + e + n + "trailing"), QNFingerprintTypeRSA},
        {"v00 certificate", qnKeyLine(v00, qnWireString(v00) + e + n + nonce + certificateRest),
         QNFingerprintTypeRSACertificateV0},
        {"v01 certificate", qnKeyLine(v01, qnWireString(v01) + nonce + e + n + certificateRest),
         QNFingerprintTypeRSACertificateV1},
        // Non-minimal numbers are re-encoded before hashing.
        {"padded exponent", qnKeyLine("ssh-rsa", rsaName + hex("000000020023") + n), QNFingerprintTypeRSA},
    };
    for (const auto& c : cases) {
        const auto fingerprint = QNFingerprint::fingerprintWithData(c.line, QString());
        EXPECT_EQ(fingerprint->fingerprintString(false, nullptr), plainDigest) << c.name;
        EXPECT_EQ(fingerprint->type(), c.type) << c.name;
    }
}
