// Protocol-1 RSA keys. Current ssh-keygen no longer writes them, so the lines and files are built here from
// the numbers of RSA keys it makes; the expected digest is MD5 of the modulus bytes followed by the exponent
// bytes, computed with Qt's MD5.

#include "QNTestKeys.h"

#include "fingerprint/QNFingerprint.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

namespace {

QByteArray bytesOf(const BIGNUM* number) {
    QByteArray bytes(BN_num_bytes(number), '\0');
    BN_bn2bin(number, reinterpret_cast<unsigned char*>(bytes.data()));
    return bytes;
}

QByteArray decimalOf(const BIGNUM* number) {
    char* text = BN_bn2dec(number);
    const QByteArray decimal(text);
    OPENSSL_free(text);
    return decimal;
}

// Protocol-1 binary form: a 16-bit bit count, then the bytes.
QByteArray binaryOf(const BIGNUM* number) {
    const int bits = BN_num_bits(number);
    return QByteArray(1, char(bits >> 8)) + char(bits) + bytesOf(number);
}

struct Protocol1Key {
    QNFingerprint::BigNumber e;
    QNFingerprint::BigNumber n;
    int bits = 0;
    QString digest;

    QByteArray line(int statedBits, const QByteArray& separator = " ",
                    const QByteArray& tail = " rsa1@quillon.test\n") const {
        return QByteArray::number(statedBits) + separator + decimalOf(e.get()) + separator + decimalOf(n.get()) + tail;
    }
    QByteArray line() const { return line(bits); }

    // Header, NUL, cipher type, four reserved bytes, key size, n, e, then comment and (encrypted) private part.
    QByteArray privateFile() const {
        return QByteArray("SSH PRIVATE KEY FILE FORMAT 1.1\n") + QByteArray(6, '\0') + qnWireUInt32(quint32(bits)) +
               binaryOf(n.get()) + binaryOf(e.get()) + qnWireString("rsa1@quillon.test") + QByteArray(64, '\x5a');
    }
};

// The numbers come from the protocol-2 line through the protocol-2 reader, whose digest of that line
// must agree with ssh-keygen's first.
std::optional<Protocol1Key> protocol1Key() {
    const std::optional<QNTestKey> key = QNTestKeys::shared().rsa(2048);
    if (!key) {
        return std::nullopt;
    }
    const auto fingerprint = QNFingerprint::fingerprintWithData(key->publicLine, QString());
    if (fingerprint->fingerprintString(false, nullptr) != key->md5) {
        return std::nullopt;
    }
    Protocol1Key result;
    result.e.reset(BN_dup(fingerprint->rsa()->e.get()));
    result.n.reset(BN_dup(fingerprint->rsa()->n.get()));
    result.bits = BN_num_bits(result.n.get());
    result.digest = QString::fromLatin1(
        QCryptographicHash::hash(bytesOf(result.n.get()) + bytesOf(result.e.get()), QCryptographicHash::Md5)
            .toHex(':'));
    return result;
}

QString publicDigest(const QByteArray& data) {
    return QNFingerprint::fingerprintWithData(data, QString())->fingerprintString(false, nullptr);
}

} // namespace

TEST(FingerprintProtocol1, KeysAreRead) {
    const std::optional<Protocol1Key> key = protocol1Key();
    ASSERT_TRUE(key);
    const QByteArray line = key->line();
    const QByteArray file = key->privateFile();
    const qsizetype eEnd = 42 + 2 + BN_num_bytes(key->n.get()) + 2 + BN_num_bytes(key->e.get());
    const struct {
        const char* name;
        QByteArray data;
    } cases[] = {
        {"with comment", line},
        {"no comment, no line feed", key->line(key->bits, " ", "")},
        {"tabs and runs of blanks", key->line(key->bits, " \t ", "\n")},
        {"after options", "from=\"10.0.0.1\",no-pty " + line},
        {"after a garbage line", "garbage\n" + line},
        {"private key file", file},
        // The private part is never read: one byte after the exponent will do.
        {"private key file up to the exponent", file.left(eEnd + 1)},
    };
    for (const auto& c : cases) {
        const auto fingerprint = QNFingerprint::fingerprintWithData(c.data, QString());
        EXPECT_EQ(fingerprint->fingerprintString(false, nullptr), key->digest) << c.name;
        EXPECT_EQ(fingerprint->type(), quint32(QNFingerprintTypeRSA1)) << c.name;
    }
    // The private key file is not one to read with the private-key reader.
    EXPECT_TRUE(QNFingerprint::fingerprintWithData(file, QString())->fingerprintString(true, nullptr).isNull());
}

TEST(FingerprintProtocol1, BrokenKeys) {
    const std::optional<Protocol1Key> key = protocol1Key();
    ASSERT_TRUE(key);
    const QByteArray bits = QByteArray::number(key->bits);
    const QByteArray e = decimalOf(key->e.get());
    const QByteArray n = decimalOf(key->n.get());
    const QByteArray file = key->privateFile();
    const qsizetype nStart = 42;
    const qsizetype eStart = nStart + 2 + BN_num_bytes(key->n.get());
    const qsizetype eEnd = eStart + 2 + BN_num_bytes(key->e.get());
    QByteArray wrongHeader = file;
    wrongHeader[30] = '2';
    QByteArray noLineFeed = file;
    noLineFeed[31] = ' ';
    const struct {
        const char* name;
        QByteArray data;
    } cases[] = {
        // The stated bit count must match the modulus.
        {"one bit short", key->line(key->bits - 1)},
        {"one bit over", key->line(key->bits + 1)},
        {"zero bits", key->line(0)},
        {"bit count past 32 bits", "4294968320 " + e + " " + n + "\n"},
        {"bit count of endless digits", QByteArray(100000, '9') + " " + e + " " + n + "\n"},
        {"no modulus", bits + " " + e + "\n"},
        {"modulus not a number", bits + " " + e + " x" + n + "\n"},
        {"bit count not a number", bits + "x " + e + " " + n + "\n"},
        {"modulus on the next line", bits + " " + e + "\n" + n + "\n"},
        {"signed numbers", bits + " -" + e + " " + n + "\n"},
        {"modulus cut short", bits + " " + e + " " + n.left(n.size() / 2) + "\n"},
        {"file header only", file.left(32)},
        {"file header and the skipped bytes", file.left(42)},
        {"file with one byte of n", file.left(nStart + 1)},
        {"file with the modulus cut short", file.left(eStart - 1)},
        {"file with the exponent cut short", file.left(eEnd - 1)},
        {"file with nothing after the exponent", file.left(eEnd)},
        {"file of the wrong version", wrongHeader},
        {"file header without its line feed", noLineFeed},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(publicDigest(c.data).isNull()) << c.name;
        EXPECT_TRUE(publicDigest("no-pty " + c.data).isNull()) << c.name;
    }
}
