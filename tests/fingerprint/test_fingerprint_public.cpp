// Public key lines, files and certificates made by ssh-keygen, checked against ssh-keygen's own digest.

#include "QNTestKeys.h"

#include "fingerprint/QNFingerprint.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

QString publicDigest(const QByteArray& data) {
    return QNFingerprint::fingerprintWithData(data, QString())->fingerprintString(false, nullptr);
}

// The line ssh-keygen wrote, split into "type base64" and the comment.
QByteArray withoutComment(const QByteArray& line) {
    const QList<QByteArray> fields = line.trimmed().split(' ');
    return fields.at(0) + ' ' + fields.at(1);
}

std::optional<QNTestKey> dsaOrSkip() {
    return QNTestKeys::shared().dsa();
}

} // namespace

TEST(FingerprintPublic, RSAKeysOfSeveralSizesMatchSshKeygen) {
    for (int bits : {1024, 2048, 3072, 4096}) {
        SCOPED_TRACE(bits);
        const std::optional<QNTestKey> key = QNTestKeys::shared().rsa(bits);
        ASSERT_TRUE(key);
        const auto fingerprint = QNFingerprint::fingerprintWithData(key->publicLine, QString());
        const QString text = fingerprint->fingerprintString(false, nullptr);
        EXPECT_EQ(text, key->md5);
        EXPECT_EQ(fingerprint->type(), quint32(QNFingerprintTypeRSA));
        EXPECT_EQ(BN_num_bits(fingerprint->rsa()->n.get()), bits);

        // The raw form is the same digest as bytes.
        const std::optional<QByteArray> raw = fingerprint->fingerprintData(false, nullptr);
        ASSERT_TRUE(raw);
        EXPECT_EQ(raw->size(), 16);
        EXPECT_EQ(QString::fromLatin1(raw->toHex(':')), key->md5);
    }
}

TEST(FingerprintPublic, TextFormIsFortySevenLowerCaseCharacters) {
    const std::optional<QNTestKey> key = QNTestKeys::shared().rsa(2048);
    ASSERT_TRUE(key);
    const QString text = publicDigest(key->publicLine);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^([0-9a-f]{2}:){15}[0-9a-f]{2}$")).match(text).hasMatch())
        << text.toStdString();
}

TEST(FingerprintPublic, DSAKeyMatchesSshKeygen) {
    const std::optional<QNTestKey> key = dsaOrSkip();
    if (!key) {
        GTEST_SKIP() << "this ssh-keygen no longer makes DSA keys";
    }
    const auto fingerprint = QNFingerprint::fingerprintWithData(key->publicLine, QString());
    EXPECT_EQ(fingerprint->fingerprintString(false, nullptr), key->md5);
    EXPECT_EQ(fingerprint->type(), quint32(QNFingerprintTypeDSA));
}

TEST(FingerprintPublic, LineFormsAndSurroundings) {
    const std::optional<QNTestKey> key = QNTestKeys::shared().rsa(2048);
    ASSERT_TRUE(key);
    const QByteArray bare = withoutComment(key->publicLine);
    const QByteArray comment = "# made for the test\n";
    const struct {
        const char* name;
        QByteArray data;
    } cases[] = {
        {"as written", key->publicLine},
        {"no final line feed", key->publicLine.trimmed()},
        {"no comment, no line feed", bare},
        {"no comment, final line feed", bare + '\n'},
        {"carriage return line ends", bare + "\r\n"},
        {"comment with blanks", bare + " a comment\twith blanks\n"},
        {"comment lines first", comment + comment + key->publicLine},
        {"blank lines first", "\n   \n\t\n" + key->publicLine},
        {"comments and blanks mixed", "\n" + comment + "  \n" + comment + key->publicLine},
        {"indented key line", "  \t" + key->publicLine},
        {"several blanks before the base64", "ssh-rsa   \t" + key->publicLine.mid(8)},
        {"garbage line first", "not a key at all\n" + key->publicLine},
        {"key name alias", "rsa " + key->publicLine.mid(8)},
        // A line without a comment ends at its line feed: the next line does not join its base64.
        {"no comment, then a comment line", bare + "\n# trailing\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(publicDigest(c.data), key->md5) << c.name;
    }
}

TEST(FingerprintPublic, SeveralKeysInOneFile) {
    const std::optional<QNTestKey> first = QNTestKeys::shared().rsa(2048);
    const std::optional<QNTestKey> second = QNTestKeys::shared().rsa(1024);
    ASSERT_TRUE(first && second);
    // The protocol-1 pass tries only the first key line as protocol 1 and reads the lines after it as
    // protocol-2 lines, so of several protocol-2 keys the second one is the one fingerprinted.
    EXPECT_EQ(publicDigest(first->publicLine + second->publicLine), second->md5);
    EXPECT_EQ(publicDigest(withoutComment(first->publicLine) + '\n' + withoutComment(second->publicLine) + '\n'),
              second->md5);
    // A line that is not a key does not count as the first one.
    EXPECT_EQ(publicDigest("# keys\n" + first->publicLine + second->publicLine), second->md5);
}

TEST(FingerprintPublic, AuthorizedKeysOptions) {
    const std::optional<QNTestKey> key = QNTestKeys::shared().rsa(2048);
    ASSERT_TRUE(key);
    const QByteArray line = key->publicLine;
    const struct {
        const char* name;
        QByteArray data;
    } cases[] = {
        {"plain option", "no-pty " + line},
        {"option list", "no-pty,no-agent-forwarding,no-X11-forwarding " + line},
        {"quoted value with spaces", "command=\"echo hello world\" " + line},
        {"escaped quotes inside", "command=\"echo \\\"a b\\\" c\",no-pty " + line},
        {"tab after options", "from=\"10.0.0.1\"\t" + line},
        {"options after a comment line", "# authorized keys\n\nno-pty " + line},
        {"indented options", "  environment=\"A=b c\" " + line},
        {"after a line without key", "no-pty\nno-pty " + line},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(publicDigest(c.data), key->md5) << c.name;
        // ssh-keygen reads the same files; the oracle agrees with itself on them.
        EXPECT_EQ(QNTestKeys::oracle(QNTestKeys::shared().writeFile(QStringLiteral("authorized"), c.data)), key->md5)
            << c.name;
    }
}

TEST(FingerprintPublic, RSACertificateHasTheDigestOfTheCertifiedKey) {
    const std::optional<QNTestKey> key = QNTestKeys::shared().rsa(2048);
    ASSERT_TRUE(key);
    const std::optional<QByteArray> certificate = QNTestKeys::shared().certificate(*key);
    ASSERT_TRUE(certificate);
    ASSERT_TRUE(certificate->startsWith("ssh-rsa-cert-v01@openssh.com "));
    const auto fingerprint = QNFingerprint::fingerprintWithData(*certificate, QString());
    EXPECT_EQ(fingerprint->fingerprintString(false, nullptr), key->md5);
    EXPECT_EQ(fingerprint->type(), quint32(QNFingerprintTypeRSACertificateV1));
    EXPECT_EQ(QNTestKeys::oracle(QNTestKeys::shared().writeFile(QStringLiteral("cert"), *certificate)), key->md5);
    // With options in front, as in an authorised-keys list.
    EXPECT_EQ(publicDigest("cert-authority,no-pty " + *certificate), key->md5);
}

TEST(FingerprintPublic, DSACertificateHasTheDigestOfTheCertifiedKey) {
    const std::optional<QNTestKey> key = dsaOrSkip();
    if (!key) {
        GTEST_SKIP() << "this ssh-keygen no longer makes DSA keys";
    }
    const std::optional<QByteArray> certificate = QNTestKeys::shared().certificate(*key);
    ASSERT_TRUE(certificate);
    const auto fingerprint = QNFingerprint::fingerprintWithData(*certificate, QString());
    EXPECT_EQ(fingerprint->fingerprintString(false, nullptr), key->md5);
    EXPECT_EQ(fingerprint->type(), quint32(QNFingerprintTypeDSSCertificateV1));
}

TEST(FingerprintPublic, NameInTheTextMustMatchTheBlob) {
    const std::optional<QNTestKey> key = QNTestKeys::shared().rsa(1024);
    ASSERT_TRUE(key);
    const std::optional<QByteArray> certificate = QNTestKeys::shared().certificate(*key);
    ASSERT_TRUE(certificate);
    const QByteArray certificateBlob = certificate->split(' ').at(1);
    const QByteArray keyBlob = key->publicLine.split(' ').at(1);
    const QByteArray cases[] = {
        "ssh-dss " + keyBlob + " x\n",
        "ssh-rsa " + certificateBlob + " x\n",
        "ssh-rsa-cert-v01@openssh.com " + keyBlob + " x\n",
        "ssh-rsa-cert-v00@openssh.com " + certificateBlob + " x\n",
        "SSH-RSA " + keyBlob + " x\n",
        "rsa1 " + keyBlob + " x\n",
    };
    for (const QByteArray& data : cases) {
        EXPECT_TRUE(publicDigest(data).isNull()) << data.left(40).constData();
    }
}

TEST(FingerprintPublic, OtherAlgorithmsAreRejected) {
    const struct {
        const char* type;
        QStringList options;
    } cases[] = {
        {"ecdsa", {}},
        {"ecdsa", {QStringLiteral("-b"), QStringLiteral("521")}},
        {"ed25519", {}},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const std::optional<QNTestKey> key =
            QNTestKeys::shared().key(QStringLiteral("other%1").arg(index++), QString::fromLatin1(c.type), c.options);
        ASSERT_TRUE(key);
        bool needsPassphrase = false;
        const auto fingerprint = QNFingerprint::fingerprintWithData(key->publicLine, QString());
        EXPECT_TRUE(fingerprint->fingerprintString(false, &needsPassphrase).isNull());
        EXPECT_FALSE(needsPassphrase);
        EXPECT_EQ(fingerprint->type(), quint32(QNFingerprintTypeNone));
        EXPECT_EQ(fingerprint->rsa(), nullptr);
        EXPECT_EQ(fingerprint->dsa(), nullptr);
        // Their private files are refused whichever way they are read.
        EXPECT_TRUE(
            QNFingerprint::fingerprintWithData(key->privateFile, QString())->fingerprintString(true, nullptr).isNull());
        EXPECT_TRUE(QNFingerprint::fingerprintWithData(key->privateFile, QString())
                        ->fingerprintString(false, nullptr)
                        .isNull());
    }
}

TEST(FingerprintPublic, SameObjectGivesTheSameAnswerTwice) {
    const std::optional<QNTestKey> key = QNTestKeys::shared().rsa(2048);
    ASSERT_TRUE(key);
    const auto fingerprint = QNFingerprint::fingerprintWithData(key->publicLine, QString());
    EXPECT_EQ(fingerprint->fingerprintString(false, nullptr), key->md5);
    EXPECT_EQ(fingerprint->fingerprintString(false, nullptr), key->md5);
    // New data on the same object: the old key is gone.
    fingerprint->setData("garbage");
    EXPECT_TRUE(fingerprint->fingerprintString(false, nullptr).isNull());
    EXPECT_EQ(fingerprint->rsa(), nullptr);
}
