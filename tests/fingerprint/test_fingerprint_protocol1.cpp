// Protocol-1 RSA keys. Current ssh-keygen no longer writes them, so the lines and files are built here from
// the numbers of RSA keys it makes; the expected digest is MD5 of the modulus bytes followed by the exponent
// bytes, computed with Qt's MD5.

#include "QNTestKeys.h"

#include "fingerprint/QNFingerprint.h"

#include <gtest/gtest.h>

namespace {

struct Protocol1Key {
    QByteArray e;
    QByteArray n;
    int bits = 0;
    QString digest;

    QByteArray line(int statedBits, const QByteArray& separator = " ",
                    const QByteArray& tail = " rsa1@quillon.test\n") const {
        return QByteArray::number(statedBits) + separator + qnDecimal(e) + separator + qnDecimal(n) + tail;
    }
    QByteArray line() const { return line(bits); }
};

std::optional<Protocol1Key> protocol1Key(int bits) {
    const std::optional<QNTestKey> key = QNTestKeys::shared().rsa(bits);
    Protocol1Key result;
    if (!key || !qnSplitRSAPublicLine(key->publicLine, &result.e, &result.n)) {
        return std::nullopt;
    }
    result.bits = qnBitCount(result.n);
    result.digest = qnProtocol1Digest(result.e, result.n);
    return result;
}

QByteArray protocol1Number(const QByteArray& value) {
    const int bits = qnBitCount(value);
    QByteArray bytes;
    bytes += char(bits >> 8);
    bytes += char(bits);
    return bytes + value;
}

// Header, NUL, cipher type, four reserved bytes, key size, n, e, then comment and (encrypted) private part.
QByteArray protocol1PrivateFile(const Protocol1Key& key) {
    QByteArray file("SSH PRIVATE KEY FILE FORMAT 1.1\n");
    file += '\0';
    file += '\0';
    file += QByteArray(4, '\0');
    file += qnWireUInt32(quint32(key.bits));
    file += protocol1Number(key.n);
    file += protocol1Number(key.e);
    file += qnWireString("rsa1@quillon.test");
    file += QByteArray(64, '\x5a');
    return file;
}

QString publicDigest(const QByteArray& data) {
    return QNFingerprint::fingerprintWithData(data, QString())->fingerprintString(false, nullptr);
}

} // namespace

TEST(FingerprintProtocol1, PublicLines) {
    for (int bits : {1024, 2048}) {
        SCOPED_TRACE(bits);
        const std::optional<Protocol1Key> key = protocol1Key(bits);
        ASSERT_TRUE(key);
        const QByteArray line = key->line();
        const struct {
            const char* name;
            QByteArray data;
        } cases[] = {
            {"with comment", line},
            {"no comment, no line feed", key->line(key->bits, " ", "")},
            {"tabs and runs of blanks", key->line(key->bits, " \t ", "\n")},
            {"comment lines and blanks first", "# protocol 1\n\n  \n" + line},
            {"indented", "\t  " + line},
            {"after options", "from=\"10.0.0.1\",no-pty " + line},
            {"after a garbage line", "garbage\n" + line},
        };
        for (const auto& c : cases) {
            const auto fingerprint = QNFingerprint::fingerprintWithData(c.data, QString());
            EXPECT_EQ(fingerprint->fingerprintString(false, nullptr), key->digest) << c.name;
            EXPECT_EQ(fingerprint->type(), quint32(QNFingerprintTypeRSA1)) << c.name;
        }
    }
}

TEST(FingerprintProtocol1, StatedBitCountMustMatchTheModulus) {
    const std::optional<Protocol1Key> key = protocol1Key(1024);
    ASSERT_TRUE(key);
    for (const int stated : {key->bits - 1, key->bits + 1, 0, key->bits * 2}) {
        EXPECT_TRUE(publicDigest(key->line(stated)).isNull()) << stated;
        EXPECT_TRUE(publicDigest("no-pty " + key->line(stated)).isNull()) << stated;
    }
    // A bit count too large for 32 bits, and one with a huge run of digits.
    EXPECT_TRUE(publicDigest("4294968320 " + key->line().mid(5)).isNull());
    EXPECT_TRUE(publicDigest(QByteArray(100000, '9') + ' ' + key->line().mid(5)).isNull());
}

TEST(FingerprintProtocol1, MalformedPublicLines) {
    const std::optional<Protocol1Key> key = protocol1Key(1024);
    ASSERT_TRUE(key);
    const QByteArray bits = QByteArray::number(key->bits);
    const QByteArray e = qnDecimal(key->e);
    const QByteArray n = qnDecimal(key->n);
    const QByteArray cases[] = {
        bits + " " + e + "\n",                              // no modulus
        bits + " " + e + " x" + n + "\n",                   // modulus not a number
        bits + "x " + e + " " + n + "\n",                   // bit count not a number
        bits + " " + e + "\n" + n + "\n",                   // modulus on the next line
        bits + " -" + e + " " + n + "\n",                   // signed numbers
        bits + " " + e + " " + n.left(n.size() / 2) + "\n", // modulus cut short
    };
    for (const QByteArray& data : cases) {
        EXPECT_TRUE(publicDigest(data).isNull()) << data.left(60).constData();
    }
}

TEST(FingerprintProtocol1, PrivateKeyFile) {
    const std::optional<Protocol1Key> key = protocol1Key(2048);
    ASSERT_TRUE(key);
    const QByteArray file = protocol1PrivateFile(*key);
    const auto fingerprint = QNFingerprint::fingerprintWithData(file, QString());
    EXPECT_EQ(fingerprint->fingerprintString(false, nullptr), key->digest);
    EXPECT_EQ(fingerprint->type(), quint32(QNFingerprintTypeRSA1));
    // It is not a PEM key.
    EXPECT_TRUE(QNFingerprint::fingerprintWithData(file, QString())->fingerprintString(true, nullptr).isNull());

    const qsizetype nStart = 42;
    const qsizetype eStart = nStart + 2 + key->n.size();
    const qsizetype eEnd = eStart + 2 + key->e.size();
    QByteArray wrongHeader = file;
    wrongHeader[30] = '2';
    QByteArray noLineFeed = file;
    noLineFeed[31] = ' ';
    const struct {
        const char* name;
        QByteArray data;
    } broken[] = {
        {"header only", file.left(32)},
        {"header and the skipped bytes", file.left(42)},
        {"one byte of n", file.left(nStart + 1)},
        {"modulus cut short", file.left(eStart - 1)},
        {"exponent cut short", file.left(eEnd - 1)},
        {"nothing after the exponent", file.left(eEnd)},
        {"wrong version", wrongHeader},
        {"header without its line feed", noLineFeed},
    };
    for (const auto& c : broken) {
        EXPECT_TRUE(publicDigest(c.data).isNull()) << c.name;
    }
    EXPECT_EQ(publicDigest(file.left(eEnd + 1)), key->digest);
}
