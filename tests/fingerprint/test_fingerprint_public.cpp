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

} // namespace

TEST(FingerprintPublic, KeysMatchSshKeygen) {
    const struct {
        std::optional<QNTestKey> key;
        quint32 type;
        int bits;
    } cases[] = {
        {QNTestKeys::shared().rsa(1024), QNFingerprintTypeRSA, 1024},
        {QNTestKeys::shared().rsa(2048), QNFingerprintTypeRSA, 2048},
        {QNTestKeys::shared().rsa(4096), QNFingerprintTypeRSA, 4096},
        {QNTestKeys::shared().dsa(), QNFingerprintTypeDSA, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        if (!c.key && c.type == QNFingerprintTypeDSA) {
            continue; // this ssh-keygen no longer makes DSA keys
        }
        ASSERT_TRUE(c.key);
        const auto fingerprint = QNFingerprint::fingerprintWithData(c.key->publicLine, QString());
        const QString text = fingerprint->fingerprintString(false, nullptr);
        EXPECT_EQ(text, c.key->md5);
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^([0-9a-f]{2}:){15}[0-9a-f]{2}$")).match(text).hasMatch());
        EXPECT_EQ(fingerprint->type(), c.type);
        if (c.bits != 0) {
            EXPECT_EQ(BN_num_bits(fingerprint->rsa()->n.get()), c.bits);
        }
        // The raw form is the same digest as bytes.
        const std::optional<QByteArray> raw = fingerprint->fingerprintData(false, nullptr);
        ASSERT_TRUE(raw);
        EXPECT_EQ(QString::fromLatin1(raw->toHex(':')), c.key->md5);
        // The same object gives the same answer again; new data on it replaces the old key.
        EXPECT_EQ(fingerprint->fingerprintString(false, nullptr), c.key->md5);
        fingerprint->setData("garbage");
        EXPECT_TRUE(fingerprint->fingerprintString(false, nullptr).isNull());
        EXPECT_EQ(fingerprint->rsa(), nullptr);
        EXPECT_EQ(fingerprint->dsa(), nullptr);
    }
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
        {"carriage return line ends", bare + "\r\n"},
        {"comment with blanks", bare + " a comment\twith blanks\n"},
        {"comments and blank lines first", "\n" + comment + "  \n\t\n" + comment + key->publicLine},
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

// A name that does not match its blob, and keys of algorithms we do not read, give nothing either way, and no
// request for a passphrase.
TEST(FingerprintPublic, MismatchedNamesAndOtherAlgorithmsAreRejected) {
    QNTestKeys& keys = QNTestKeys::shared();
    const std::optional<QNTestKey> key = keys.rsa(1024);
    const std::optional<QNTestKey> ed25519 = keys.key(QStringLiteral("ed25519"), QStringLiteral("ed25519"));
    const std::optional<QNTestKey> ecdsa =
        keys.key(QStringLiteral("ecdsa"), QStringLiteral("ecdsa"), {QStringLiteral("-b"), QStringLiteral("256")});
    ASSERT_TRUE(key && ed25519 && ecdsa);
    const std::optional<QByteArray> certificate = keys.certificate(*key);
    ASSERT_TRUE(certificate);
    const QByteArray certificateBlob = certificate->split(' ').at(1);
    const QByteArray keyBlob = key->publicLine.split(' ').at(1);
    const QByteArray ed25519Blob = ed25519->publicLine.split(' ').at(1);
    const QByteArray ecdsaBlob = ecdsa->publicLine.split(' ').at(1);
    const QByteArray cases[] = {
        "ssh-dss " + keyBlob + " x\n",
        "ssh-rsa " + certificateBlob + " x\n",
        "ssh-rsa-cert-v01@openssh.com " + keyBlob + " x\n",
        "ssh-rsa-cert-v00@openssh.com " + certificateBlob + " x\n",
        "SSH-RSA " + keyBlob + " x\n",
        "rsa1 " + keyBlob + " x\n",
        "ssh-ed25519 " + ecdsaBlob + " x\n",
        "ecdsa-sha2-nistp384 " + ecdsaBlob + " x\n",
        "ssh-ed25519-cert-v01@openssh.com " + ed25519Blob + " x\n",
        "ed25519 " + ed25519Blob + " x\n",
        // A security-key type: its blob has an application string after the key.
        qnKeyLine("sk-ssh-ed25519@openssh.com", qnWireString("sk-ssh-ed25519@openssh.com") +
                                                    qnWireString(QByteArray(32, '\x11')) + qnWireString("ssh:")),
    };
    for (const QByteArray& data : cases) {
        const QNReadOutcome outcome = qnReadBothWays(data);
        EXPECT_TRUE(outcome.publicText.isNull()) << data.left(40).constData();
        EXPECT_TRUE(outcome.privateText.isNull()) << data.left(40).constData();
        EXPECT_FALSE(outcome.needsPassphrase) << data.left(40).constData();
    }
}
