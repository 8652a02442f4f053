#include "QNTestKeys.h"

#include "support/QNTestProcess.h"

#include "fingerprint/QNFingerprint.h"

#include <QFile>
#include <QtEndian>

#include <gtest/gtest.h>

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool ranSshKeygen(const QStringList& arguments) {
    const QNTestProcessResult result = qnRunProcess(QStringLiteral("ssh-keygen"), arguments);
    return result.started && result.exitCode == 0;
}

// The digest ssh-keygen reports for a key file: for md5 the hex pairs, for sha256 "SHA256:" and the base64.
QString oracle(const QString& path, const QString& hash) {
    const QNTestProcessResult result = qnRunProcess(QStringLiteral("ssh-keygen"), {"-l", "-E", hash, "-f", path});
    // "2048 MD5:aa:bb:... comment (RSA)", "256 SHA256:base64 comment (ED25519)"
    const QByteArray prefix = hash.toUpper().toLatin1() + ':';
    for (const QByteArray& field : result.standardOutput.split(' ')) {
        if (result.exitCode == 0 && field.startsWith(prefix)) {
            return QString::fromLatin1(hash == QStringLiteral("md5") ? field.mid(4) : field);
        }
    }
    return QString();
}

} // namespace

QNTestKeys& QNTestKeys::shared() {
    static QNTestKeys keys;
    return keys;
}

std::optional<QNTestKey> QNTestKeys::key(const QString& name, const QString& type, const QStringList& options) {
    if (const auto it = _keys.constFind(name); it != _keys.constEnd()) {
        return *it;
    }
    QNTestKey key;
    key.privatePath = _folder.filePath(name);
    key.publicPath = key.privatePath + QStringLiteral(".pub");
    QStringList arguments{"-q", "-t", type, "-C", name + QStringLiteral("@quillon.test"), "-f", key.privatePath};
    if (!options.contains(QStringLiteral("-N"))) {
        arguments << QStringLiteral("-N") << QString();
    }
    std::optional<QNTestKey> made;
    if (ranSshKeygen(arguments + options)) {
        key.privateFile = readAll(key.privatePath);
        key.publicLine = readAll(key.publicPath);
        key.md5 = oracle(key.publicPath, QStringLiteral("md5"));
        key.sha256 = oracle(key.publicPath, QStringLiteral("sha256"));
        if (!key.privateFile.isEmpty() && !key.publicLine.isEmpty() && !key.md5.isNull() && !key.sha256.isNull()) {
            made = key;
        }
    }
    _keys.insert(name, made);
    return made;
}

std::optional<QByteArray> QNTestKeys::certificate(const QNTestKey& key) {
    const std::optional<QNTestKey> authority = this->key(QStringLiteral("ca"), QStringLiteral("ed25519"));
    QString path = key.publicPath;
    path.replace(path.size() - 4, 4, QStringLiteral("-cert.pub"));
    if (!authority ||
        !ranSshKeygen({"-q", "-s", authority->privatePath, "-I", "quillon-test", "-n", "tester", key.publicPath}) ||
        oracle(path, QStringLiteral("md5")) != key.md5) {
        return std::nullopt;
    }
    return readAll(path);
}

std::optional<QByteArray> QNTestKeys::rewritten(const QNTestKey& key, const QStringList& options) {
    const QString copy = _folder.filePath(QStringLiteral("rewrite%1").arg(++_rewrites));
    QFile file(copy);
    // ssh-keygen refuses private files that others may read.
    const bool copied = file.open(QIODevice::WriteOnly) && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) &&
                        file.write(key.privateFile) == key.privateFile.size();
    file.close();
    if (!copied || !ranSshKeygen(QStringList{"-q", "-p", "-P", QString(), "-f", copy} + options)) {
        return std::nullopt;
    }
    const QByteArray written = readAll(copy);
    return written == key.privateFile ? std::nullopt : std::optional<QByteArray>(written);
}

QByteArray qnWireUInt32(quint32 value) {
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray qnWireString(const QByteArray& bytes) {
    return qnWireUInt32(quint32(bytes.size())) + bytes;
}

QByteArray qnKeyLine(const QByteArray& name, const QByteArray& blob) {
    return name + ' ' + blob.toBase64() + " test\n";
}

QNReadOutcome qnReadBothWays(const QByteArray& data) {
    QNReadOutcome outcome;
    const auto fingerprint = QNFingerprint::fingerprintWithData(data, QString());
    outcome.publicText = fingerprint->fingerprintString(false, nullptr);
    outcome.privateText = QNFingerprint::fingerprintWithData(data, QStringLiteral("pass phrase"))
                              ->fingerprintString(true, &outcome.needsPassphrase);
    for (const QString& text : {outcome.publicText, outcome.privateText}) {
        EXPECT_TRUE(text.isNull() || text.size() == 47);
    }
    if (outcome.publicText.isNull()) {
        EXPECT_EQ(fingerprint->type(), quint32(QNFingerprintTypeNone));
        EXPECT_EQ(fingerprint->rsa(), nullptr);
        EXPECT_EQ(fingerprint->dsa(), nullptr);
        EXPECT_EQ(fingerprint->ed25519(), nullptr);
        EXPECT_EQ(fingerprint->ecdsa(), nullptr);
    }
    return outcome;
}
