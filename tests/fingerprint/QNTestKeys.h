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
        return key(QStringLiteral("rsa%1").arg(bits), QStringLiteral("rsa"),
                   {QStringLiteral("-b"), QString::number(bits)});
    }
    std::optional<QNTestKey> dsa() { return key(QStringLiteral("dsa"), QStringLiteral("dsa")); }
    // The certificate of a public key, signed by a fresh CA key: the -cert.pub line.
    std::optional<QByteArray> certificate(const QNTestKey& key);

    // The digest ssh-keygen reports for a key file: for md5 the hex pairs, for sha256 "SHA256:" and the
    // base64; null when it cannot read the file.
    static QString oracle(const QString& path, const QString& hash = QStringLiteral("md5"));
    QString writeFile(const QString& name, const QByteArray& contents);
    QString path(const QString& name) const;

private:
    QNTestKeys();

    QTemporaryDir _folder;
    QHash<QString, std::optional<QNTestKey>> _keys;
};

// A protocol-2 key line of the given name around an arbitrary blob.
QByteArray qnKeyLine(const QByteArray& name, const QByteArray& blob, const QByteArray& comment = "test");
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
