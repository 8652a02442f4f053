#include "QNTestKeys.h"

#include "support/QNTestProcess.h"

#include "fingerprint/QNFingerprint.h"

#include <QFile>

#include <gtest/gtest.h>

QNTestKeys& QNTestKeys::shared() {
    static QNTestKeys keys;
    return keys;
}

QNTestKeys::QNTestKeys() = default;

QString QNTestKeys::path(const QString& name) const {
    return _folder.filePath(name);
}

QString QNTestKeys::writeFile(const QString& name, const QByteArray& contents) {
    const QString filePath = path(name);
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size()) {
        return QString();
    }
    return filePath;
}

static QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::optional<QNTestKey> QNTestKeys::key(const QString& name, const QString& type, const QStringList& options) {
    if (const auto it = _keys.constFind(name); it != _keys.constEnd()) {
        return *it;
    }
    std::optional<QNTestKey> made;
    QNTestKey key;
    key.privatePath = path(name);
    key.publicPath = key.privatePath + QStringLiteral(".pub");
    QStringList arguments = {QStringLiteral("-q"),
                             QStringLiteral("-t"),
                             type,
                             QStringLiteral("-C"),
                             QStringLiteral("%1@quillon.test").arg(name),
                             QStringLiteral("-f"),
                             key.privatePath};
    if (!options.contains(QStringLiteral("-N"))) {
        arguments << QStringLiteral("-N") << QString();
    }
    arguments << options;
    const QNTestProcessResult result = qnRunProcess(QStringLiteral("ssh-keygen"), arguments);
    if (result.started && result.exitCode == 0) {
        key.privateFile = readAll(key.privatePath);
        key.publicLine = readAll(key.publicPath);
        key.md5 = oracle(key.publicPath);
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
    if (!authority) {
        return std::nullopt;
    }
    const QNTestProcessResult result =
        qnRunProcess(QStringLiteral("ssh-keygen"),
                     {QStringLiteral("-q"), QStringLiteral("-s"), authority->privatePath, QStringLiteral("-I"),
                      QStringLiteral("quillon-test"), QStringLiteral("-n"), QStringLiteral("tester"), key.publicPath});
    if (!result.started || result.exitCode != 0) {
        return std::nullopt;
    }
    QString certificatePath = key.publicPath;
    certificatePath.replace(certificatePath.size() - 4, 4, QStringLiteral("-cert.pub"));
    const QByteArray line = readAll(certificatePath);
    return line.isEmpty() ? std::nullopt : std::optional<QByteArray>(line);
}

QString QNTestKeys::oracle(const QString& path, const QString& hash) {
    const QNTestProcessResult result = qnRunProcess(
        QStringLiteral("ssh-keygen"), {QStringLiteral("-l"), QStringLiteral("-E"), hash, QStringLiteral("-f"), path});
    if (!result.started || result.exitCode != 0) {
        return QString();
    }
    // "2048 MD5:aa:bb:... comment (RSA)", "256 SHA256:base64 comment (ED25519)"
    const QByteArray prefix = hash.toUpper().toLatin1() + ':';
    for (const QByteArray& field : result.standardOutput.split(' ')) {
        if (field.startsWith(prefix)) {
            return QString::fromLatin1(hash == QStringLiteral("md5") ? field.mid(4) : field);
        }
    }
    return QString();
}

QByteArray qnWireUInt32(quint32 value) {
    QByteArray bytes(4, '\0');
    bytes[0] = char(value >> 24);
    bytes[1] = char(value >> 16);
    bytes[2] = char(value >> 8);
    bytes[3] = char(value);
    return bytes;
}

QByteArray qnWireString(const QByteArray& bytes) {
    return qnWireUInt32(quint32(bytes.size())) + bytes;
}

QByteArray qnKeyLine(const QByteArray& name, const QByteArray& blob, const QByteArray& comment) {
    QByteArray line = name + ' ' + blob.toBase64();
    if (!comment.isEmpty()) {
        line += ' ' + comment;
    }
    return line + '\n';
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
