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
        {"string length cut short", string, hex("000000"), 0, false, "", 0},
        {"string offset near 2^32", string, hex("00000001") + "a", 0xFFFFFFFEu, false, "", 0xFFFFFFFEu},
        {"string at its bound", string, hex("00040000") + QByteArray(262144, 'a'), 0, true, QByteArray(262144, 'a'),
         262148},
        {"string over its bound", string, hex("00040001") + QByteArray(262145, 'a'), 0, false, "", 0},
        // Binary strings keep bytes that are not UTF-8.
        {"data", data, hex("00000003ff0080") + "x", 0, true, hex("ff0080"), 7},
        {"mpint", mpint, hex("000000020102"), 0, true, hex("0102"), 6},
        {"mpint with sign byte", mpint, hex("0000000300ff01"), 0, true, hex("ff01"), 7},
        {"mpint zero", mpint, hex("00000000ff"), 0, true, "", 4},
        {"mpint at its bound", mpint, hex("00002000") + big8192, 0, true, big8192, 8196},
        {"mpint at an offset near 2^32", mpint, hex("0000000101"), 0xFFFFFFFCu, false, "", 0xFFFFFFFCu},
        {"binary", binary, hex("000901ff") + "x", 0, true, hex("01ff"), 4},
        {"binary high bit is not a sign", binary, hex("0008ff") + "x", 0, true, hex("ff"), 3},
        {"binary zero bits", binary, hex("0000") + "x", 0, true, "", 2},
        {"binary largest count", binary, hex("ffff") + QByteArray(8192, '\x01') + "x", 0, true,
         QByteArray(8192, '\x01'), 8194},
        {"decimal", decimal, "65537 rest", 0, true, hex("010001"), 5},
        {"decimal at an offset", decimal, "12 34\n", 2, true, hex("22"), 5},
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
    // A set top bit gets a zero byte in front, or it would read as the sign; zero has no bytes at all.
    BigNumber number(BN_new());
    QByteArray buffer("pre");
    quint32 offset = 3;
    for (const BN_ULONG value : {0x80, 0x7f, 0}) {
        BN_set_word(number.get(), value);
        ASSERT_TRUE(QNFingerprint::writeBigNumber(&buffer, number.get(), &offset));
    }
    EXPECT_EQ(buffer, "pre" + hex("000000020080") + hex("000000017f") + hex("00000000"));
    EXPECT_EQ(offset, quint32(buffer.size()));
    // Keys hold no negative numbers, and writing one would give the wrong bytes.
    BN_set_word(number.get(), 5);
    BN_set_negative(number.get(), 1);
    EXPECT_FALSE(QNFingerprint::writeBigNumber(&buffer, number.get(), &offset));
    // An offset that would carry the end past 32 bits is refused before anything is allocated.
    offset = 0xFFFFFFFEu;
    EXPECT_FALSE(QNFingerprint::writeString(&buffer, QStringLiteral("x"), &offset));
    EXPECT_EQ(offset, 0xFFFFFFFEu);
    EXPECT_EQ(buffer.size(), 18);
}

// Only exact names count, and the short aliases of the oldest formats name their keys.
TEST(FingerprintCodecs, KeyNames) {
    for (const char* name : {"RSA", "ssh-rsa ", "ed25519", "ecdsa", "ssh-ed25519-cert-v00@openssh.com",
                             "ecdsa-sha2-nistp224", "ssh-rsa-cert-v01", ""}) {
        EXPECT_EQ(QNFingerprint::keyType(QString::fromLatin1(name)), quint32(QNFingerprintTypeNone)) << name;
    }
    EXPECT_EQ(QNFingerprint::keyType(QStringLiteral("rsa1")), quint32(QNFingerprintTypeRSA1));
    EXPECT_EQ(QNFingerprint::keyType(QStringLiteral("rsa")), quint32(QNFingerprintTypeRSA));
    EXPECT_EQ(QNFingerprint::keyType(QStringLiteral("dsa")), quint32(QNFingerprintTypeDSA));
}

// Blobs ssh-keygen no longer writes: each is hashed as the plain key it holds, numbers re-encoded minimally.
TEST(FingerprintCodecs, HandMadeBlobsInKeyLines) {
    const QByteArray e = hex("0000000123");
    const QByteArray n = hex("000000030080c1");
    const QByteArray rsa = qnWireString("ssh-rsa") + e + n;
    // p, q, g (zero) and y (whose top bit needs the zero byte)
    const QByteArray dsaNumbers = hex("0000000101") + hex("0000000102") + hex("00000000") + hex("000000020080");
    const QByteArray dsa = qnWireString("ssh-dss") + dsaNumbers;
    const QByteArray nonce = qnWireString(QByteArray(32, '\x11'));
    const QByteArray certificateRest = qnWireUInt32(0) + qnWireString("rest of the certificate");
    const QByteArray rsaV00 = "ssh-rsa-cert-v00@openssh.com";
    const QByteArray rsaV01 = "ssh-rsa-cert-v01@openssh.com";
    const QByteArray dssV00 = "ssh-dss-cert-v00@openssh.com";
    const struct {
        const char* name;
        QByteArray line;
        QByteArray hashed;
        quint32 type;
    } cases[] = {
        {"plain", qnKeyLine("ssh-rsa", rsa), rsa, QNFingerprintTypeRSA},
        {"extra bytes after the key", qnKeyLine("ssh-rsa", rsa + "trailing"), rsa, QNFingerprintTypeRSA},
        {"v00 certificate", qnKeyLine(rsaV00, qnWireString(rsaV00) + e + n + nonce + certificateRest), rsa,
         QNFingerprintTypeRSACertificateV0},
        {"v01 certificate", qnKeyLine(rsaV01, qnWireString(rsaV01) + nonce + e + n + certificateRest), rsa,
         QNFingerprintTypeRSACertificateV1},
        {"padded exponent", qnKeyLine("ssh-rsa", qnWireString("ssh-rsa") + hex("000000020023") + n), rsa,
         QNFingerprintTypeRSA},
        {"DSA", qnKeyLine("ssh-dss", dsa), dsa, QNFingerprintTypeDSA},
        {"DSA v00 certificate", qnKeyLine(dssV00, qnWireString(dssV00) + dsaNumbers + nonce + certificateRest), dsa,
         QNFingerprintTypeDSSCertificateV0},
    };
    for (const auto& c : cases) {
        const auto fingerprint = QNFingerprint::fingerprintWithData(c.line, QString());
        EXPECT_EQ(fingerprint->fingerprintString(false, nullptr),
                  QString::fromLatin1(QCryptographicHash::hash(c.hashed, QCryptographicHash::Md5).toHex(':')))
            << c.name;
        EXPECT_EQ(fingerprint->type(), c.type) << c.name;
        EXPECT_EQ(fingerprint->publicKeyBlob(), c.hashed) << c.name;
    }
}
