#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

// A key made by ssh-keygen, with the digest ssh-keygen itself gives for it.
struct QNTestKey {
    QString privatePath;
    QString publicPath;
    QByteArray privateFile;
    QByteArray publicLine; // the .pub file as written: "type base64 comment\n"
    QString md5;           // "aa:bb:..." from ssh-keygen -l -E md5
    QString sha256;        // "SHA256:..." from ssh-keygen -l -E sha256
};

// Makes keys with ssh-keygen in a temporary folder that lives as long as the test program, and keeps them
// so that tests sharing a key pay for it once.
class QNTestKeys {
public:
    static QNTestKeys& shared();

    // ssh-keygen -t type [options], cached by name. Empty when ssh-keygen refused (e.g. no DSA support).
    std::optional<QNTestKey> key(const QString& name, const QString& type, const QStringList& options = {});
    std::optional<QNTestKey> rsa(int bits) {
        return key(QStringLiteral("rsa%1").arg(bits), QStringLiteral("rsa"), {"-b", QString::number(bits)});
    }
    std::optional<QNTestKey> dsa() { return key(QStringLiteral("dsa"), QStringLiteral("dsa")); }
    std::optional<QNTestKey> ed25519() { return key(QStringLiteral("ed25519"), QStringLiteral("ed25519")); }
    std::optional<QNTestKey> ecdsa(int bits) {
        return key(QStringLiteral("ecdsa%1").arg(bits), QStringLiteral("ecdsa"), {"-b", QString::number(bits)});
    }
    // The certificate of a public key, signed by a fresh CA key: the -cert.pub line. Empty unless ssh-keygen
    // gives it the digest of the key it certifies.
    std::optional<QByteArray> certificate(const QNTestKey& key);
    // The private file of an unencrypted key written again by ssh-keygen -p with the given options (-N, -m,
    // -Z, -a): the same key in another form.
    std::optional<QByteArray> rewritten(const QNTestKey& key, const QStringList& options);

private:
    QNTestKeys() = default;

    QTemporaryDir _folder;
    QHash<QString, std::optional<QNTestKey>> _keys;
    int _rewrites = 0;
};

// A protocol-2 key line of the given name around an arbitrary blob.
QByteArray qnKeyLine(const QByteArray& name, const QByteArray& blob);
// SSH wire pieces for building blobs by hand.
QByteArray qnWireString(const QByteArray& bytes);
QByteArray qnWireUInt32(quint32 value);

// Reads the bytes as a public key file and as a private one (with a passphrase), and checks the shape of
// whatever comes back: a digest of 47 characters or null, and no key left behind on failure.
struct QNReadOutcome {
    QString publicText;
    QString privateText;
    bool needsPassphrase = false;
};
QNReadOutcome qnReadBothWays(const QByteArray& data);
