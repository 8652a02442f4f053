// Wire codecs, the type table and the bytes that are hashed, with byte-exact vectors.

#include "QNTestKeys.h"

#include "fingerprint/QNFingerprint.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <memory>

namespace {

struct BigNumberFree {
    void operator()(BIGNUM* number) const { BN_free(number); }
};
using BigNumber = std::unique_ptr<BIGNUM, BigNumberFree>;

BigNumber newNumber() {
    return BigNumber(BN_new());
}

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

QByteArray numberBytes(const BIGNUM* number) {
    QByteArray bytes(BN_num_bytes(number), '\0');
    BN_bn2bin(number, reinterpret_cast<unsigned char*>(bytes.data()));
    return bytes;
}

using Reader = bool (*)(const QByteArray&, BIGNUM*, quint32*);

struct ReadCase {
    const char* name;
    Reader reader;
    QByteArray buffer;
    quint32 offset;
    bool ok;
    QByteArray value; // expected unsigned big-endian value
    quint32 offsetAfter;
};

} // namespace

TEST(FingerprintCodecs, ReadString) {
    const struct {
        const char* name;
        QByteArray buffer;
        quint32 offset;
        bool ok;
        QString value;
        quint32 offsetAfter;
    } cases[] = {
        {"simple", hex("00000003") + "abc" + "x", 0, true, QStringLiteral("abc"), 7},
        {"ends at the buffer's end", hex("00000003") + "abc", 0, true, QStringLiteral("abc"), 7},
        {"at an offset", "zz" + hex("00000002") + "hi", 2, true, QStringLiteral("hi"), 8},
        {"empty string with a byte after it", hex("00000000") + "x", 0, true, QString(), 4},
        // The length field must be followed by at least one byte.
        {"empty string at the end", hex("00000000"), 0, false, QString(), 0},
        {"length past the end", hex("00000004") + "abc", 0, false, QString(), 0},
        {"length field cut short", hex("000000"), 0, false, QString(), 0},
        {"offset past the end", hex("00000001") + "a", 9, false, QString(), 9},
        {"offset near 2^32", hex("00000001") + "a", 0xFFFFFFFEu, false, QString(), 0xFFFFFFFEu},
        {"length near 2^32", hex("FFFFFFFF") + "abc", 0, false, QString(), 0},
        {"over the string bound", hex("00040001") + QByteArray(262145, 'a'), 0, false, QString(), 0},
        {"at the string bound", hex("00040000") + QByteArray(262144, 'a'), 0, true, QString(262144, u'a'), 262148},
        {"UTF-8", hex("00000002") + "\xc3\xa9", 0, true, QString(QChar(0xe9)), 6},
    };
    for (const auto& c : cases) {
        quint32 offset = c.offset;
        QString value;
        EXPECT_EQ(QNFingerprint::readString(c.buffer, &value, &offset), c.ok) << c.name;
        EXPECT_EQ(offset, c.offsetAfter) << c.name;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.name;
            // Skipping advances the same way.
            quint32 skipped = c.offset;
            EXPECT_TRUE(QNFingerprint::readString(c.buffer, nullptr, &skipped)) << c.name;
            EXPECT_EQ(skipped, c.offsetAfter) << c.name;
        }
    }
    QString value;
    EXPECT_FALSE(QNFingerprint::readString(hex("00000001") + "a", &value, nullptr));
}

TEST(FingerprintCodecs, ReadBigNumbers) {
    const QByteArray big8192 = "\x7f" + QByteArray(8191, '\xff');
    const ReadCase cases[] = {
        // mpint
        {"mpint", QNFingerprint::readBigNumber2, hex("000000020102"), 0, true, hex("0102"), 6},
        {"mpint with sign byte", QNFingerprint::readBigNumber2, hex("0000000300ff01"), 0, true, hex("ff01"), 7},
        {"mpint zero", QNFingerprint::readBigNumber2, hex("00000000ff"), 0, true, QByteArray(), 4},
        {"mpint negative", QNFingerprint::readBigNumber2, hex("0000000280ff"), 0, false, QByteArray(), 0},
        {"mpint past the end", QNFingerprint::readBigNumber2, hex("000000030102"), 0, false, QByteArray(), 0},
        {"mpint header only", QNFingerprint::readBigNumber2, hex("00000001"), 0, false, QByteArray(), 0},
        {"mpint length near 2^32", QNFingerprint::readBigNumber2, hex("FFFFFFFF01"), 0, false, QByteArray(), 0},
        {"mpint at its bound", QNFingerprint::readBigNumber2, hex("00002000") + big8192, 0, true, big8192, 8196},
        {"mpint over its bound", QNFingerprint::readBigNumber2, hex("00002001") + big8192 + "\x01", 0, false,
         QByteArray(), 0},
        {"mpint at an offset near 2^32", QNFingerprint::readBigNumber2, hex("0000000101"), 0xFFFFFFFCu, false,
         QByteArray(), 0xFFFFFFFCu},
        // protocol-1 binary
        {"binary", QNFingerprint::readBigNumber, hex("0009") + hex("01ff") + "x", 0, true, hex("01ff"), 4},
        {"binary high bit is not a sign", QNFingerprint::readBigNumber, hex("0008ff") + "x", 0, true, hex("ff"), 3},
        {"binary zero bits", QNFingerprint::readBigNumber, hex("0000") + "x", 0, true, QByteArray(), 2},
        {"binary must not end the buffer", QNFingerprint::readBigNumber, hex("000901ff"), 0, false, QByteArray(), 0},
        {"binary past the end", QNFingerprint::readBigNumber, hex("0011") + hex("01ff"), 0, false, QByteArray(), 0},
        {"binary header only", QNFingerprint::readBigNumber, hex("0009"), 0, false, QByteArray(), 0},
        {"binary largest count", QNFingerprint::readBigNumber, hex("ffff") + QByteArray(8192, '\x01') + "x", 0, true,
         QByteArray(8192, '\x01'), 8194},
        // decimal
        {"decimal", QNFingerprint::readBigNumber3, "65537 rest", 0, true, hex("010001"), 5},
        {"decimal after blanks", QNFingerprint::readBigNumber3, " \t 255", 0, true, hex("ff"), 6},
        {"decimal at an offset", QNFingerprint::readBigNumber3, "12 34\n", 2, true, hex("22"), 5},
        {"decimal leading zeros", QNFingerprint::readBigNumber3, "0001", 0, true, hex("01"), 4},
        {"decimal needs a digit", QNFingerprint::readBigNumber3, "  x1", 0, false, QByteArray(), 0},
        {"decimal no sign", QNFingerprint::readBigNumber3, "-5", 0, false, QByteArray(), 0},
        {"decimal not across lines", QNFingerprint::readBigNumber3, " \n5", 0, false, QByteArray(), 0},
        {"decimal only blanks", QNFingerprint::readBigNumber3, "   ", 0, false, QByteArray(), 0},
        {"decimal too many digits", QNFingerprint::readBigNumber3, QByteArray(20001, '7'), 0, false, QByteArray(), 0},
        {"decimal offset past the end", QNFingerprint::readBigNumber3, "5", 7, false, QByteArray(), 7},
    };
    for (const auto& c : cases) {
        BigNumber number = newNumber();
        BN_set_word(number.get(), 99); // whatever was there is replaced
        quint32 offset = c.offset;
        EXPECT_EQ(c.reader(c.buffer, number.get(), &offset), c.ok) << c.name;
        EXPECT_EQ(offset, c.offsetAfter) << c.name;
        if (c.ok) {
            EXPECT_EQ(numberBytes(number.get()), c.value) << c.name;
            EXPECT_FALSE(BN_is_negative(number.get())) << c.name;
            quint32 skipped = c.offset;
            EXPECT_TRUE(c.reader(c.buffer, nullptr, &skipped)) << c.name;
            EXPECT_EQ(skipped, c.offsetAfter) << c.name;
        }
    }
}

TEST(FingerprintCodecs, Writers) {
    const struct {
        const char* name;
        const char* decimal;
        bool ok;
        QByteArray wire;
    } cases[] = {
        {"zero", "0", true, hex("00000000")},
        {"small", "1", true, hex("0000000101")},
        {"top bit clear", "127", true, hex("000000017f")},
        {"top bit set gets a zero byte", "128", true, hex("000000020080")},
        {"exponent", "65537", true, hex("00000003010001")},
        {"two bytes, top bit set", "65535", true, hex("0000000300ffff")},
        {"negative", "-5", false, QByteArray()},
    };
    for (const auto& c : cases) {
        BIGNUM* number = nullptr;
        ASSERT_NE(BN_dec2bn(&number, c.decimal), 0);
        BigNumber holder(number);
        QByteArray buffer("pre");
        quint32 offset = 3;
        EXPECT_EQ(QNFingerprint::writeBigNumber(&buffer, number, &offset), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(buffer, "pre" + c.wire) << c.name;
            EXPECT_EQ(offset, quint32(3 + c.wire.size())) << c.name;
            // What is written reads back.
            BigNumber back = newNumber();
            quint32 readOffset = 3;
            EXPECT_TRUE(QNFingerprint::readBigNumber2(buffer + "x", back.get(), &readOffset)) << c.name;
            EXPECT_EQ(BN_cmp(back.get(), number), 0) << c.name;
        } else {
            EXPECT_EQ(offset, 3u) << c.name;
        }
    }

    QByteArray buffer;
    quint32 offset = 0;
    ASSERT_TRUE(QNFingerprint::writeString(&buffer, QStringLiteral("ssh-rsa"), &offset));
    ASSERT_TRUE(QNFingerprint::writeString(&buffer, QString(), &offset));
    EXPECT_EQ(buffer, hex("00000007") + "ssh-rsa" + hex("00000000"));
    EXPECT_EQ(offset, 15u);
    // Writing in the middle overwrites and keeps the rest.
    offset = 4;
    ASSERT_TRUE(QNFingerprint::writeString(&buffer, QString(), &offset));
    EXPECT_EQ(buffer, hex("00000007") + hex("00000000") + "rsa" + hex("00000000"));
    // An offset that would carry the end past 32 bits is refused before anything is allocated.
    offset = 0xFFFFFFFEu;
    EXPECT_FALSE(QNFingerprint::writeString(&buffer, QStringLiteral("x"), &offset));
    EXPECT_EQ(offset, 0xFFFFFFFEu);
}

TEST(FingerprintCodecs, TypeTable) {
    // Names compare exactly; every wire name maps back to its code; certificates name their plain key.
    for (const char* name : {"RSA", "ssh-rsa ", "ssh-ed25519", "ecdsa-sha2-nistp256", "ssh-rsa-cert-v01", ""}) {
        EXPECT_EQ(QNFingerprint::keyType(QString::fromLatin1(name)), quint32(QNFingerprintTypeNone)) << name;
    }
    EXPECT_EQ(QNFingerprint::keyType(QStringLiteral("rsa1")), quint32(QNFingerprintTypeRSA1));
    EXPECT_EQ(QNFingerprint::keyType(QStringLiteral("rsa")), quint32(QNFingerprintTypeRSA));
    EXPECT_EQ(QNFingerprint::keyType(QStringLiteral("dsa")), quint32(QNFingerprintTypeDSA));
    // Certificate codes 4 to 7 and the plain type each certifies.
    const quint32 certified[] = {0, 0, 0, 0, 2, 3, 2, 3, 0};
    for (quint32 type = 0; type <= 8; ++type) {
        const QString name = QNFingerprint::keyName(type);
        EXPECT_EQ(name.isNull(), type < 2 || type > 7) << type;
        EXPECT_EQ(QNFingerprint::keyType(name), name.isNull() ? 0 : type) << type;
        EXPECT_EQ(QNFingerprint::isKeyCertificate(type), certified[type] != 0) << type;
        EXPECT_EQ(QNFingerprint::certificateKeyType(type), certified[type]) << type;
    }
    EXPECT_EQ(QNFingerprint::keyName(6), QStringLiteral("ssh-rsa-cert-v01@openssh.com"));
    EXPECT_EQ(QNFingerprint::keyName(5), QStringLiteral("ssh-dss-cert-v00@openssh.com"));
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

    for (const quint32 type : {0u, 8u, 0xFFFFFFFFu}) {
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
    const struct {
        const char* name;
        QByteArray line;
        quint32 type;
    } cases[] = {
        {"plain", qnKeyLine("ssh-rsa", rsaName + e + n), QNFingerprintTypeRSA},
        {"extra bytes after the key", qnKeyLine("ssh-rsa", rsaName + e + n + "trailing"), QNFingerprintTypeRSA},
        {"v00 certificate",
         qnKeyLine("ssh-rsa-cert-v00@openssh.com",
                   qnWireString("ssh-rsa-cert-v00@openssh.com") + e + n + nonce + certificateRest),
         QNFingerprintTypeRSACertificateV0},
        {"v01 certificate",
         qnKeyLine("ssh-rsa-cert-v01@openssh.com",
                   qnWireString("ssh-rsa-cert-v01@openssh.com") + nonce + e + n + certificateRest),
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
