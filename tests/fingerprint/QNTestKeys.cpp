#include "QNTestKeys.h"

#include "support/QNTestProcess.h"

#include <QCryptographicHash>
#include <QFile>

#include <openssl/bn.h>

#include <memory>

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
        if (!key.privateFile.isEmpty() && !key.publicLine.isEmpty() && !key.md5.isNull()) {
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

QString QNTestKeys::oracle(const QString& path) {
    const QNTestProcessResult result =
        qnRunProcess(QStringLiteral("ssh-keygen"),
                     {QStringLiteral("-l"), QStringLiteral("-E"), QStringLiteral("md5"), QStringLiteral("-f"), path});
    if (!result.started || result.exitCode != 0) {
        return QString();
    }
    // "2048 MD5:aa:bb:... comment (RSA)"
    for (const QByteArray& field : result.standardOutput.split(' ')) {
        if (field.startsWith("MD5:")) {
            return QString::fromLatin1(field.mid(4).trimmed());
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

static bool takeString(const QByteArray& blob, qsizetype* at, QByteArray* out) {
    if (*at + 4 > blob.size()) {
        return false;
    }
    const auto* p = reinterpret_cast<const quint8*>(blob.constData()) + *at;
    const qsizetype length = qsizetype(quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3]);
    if (length > blob.size() - *at - 4) {
        return false;
    }
    *out = blob.mid(*at + 4, length);
    *at += 4 + length;
    return true;
}

static QByteArray withoutLeadingZeros(QByteArray bytes) {
    while (!bytes.isEmpty() && bytes.at(0) == '\0') {
        bytes.remove(0, 1);
    }
    return bytes;
}

bool qnSplitRSAPublicLine(const QByteArray& line, QByteArray* e, QByteArray* n) {
    const QList<QByteArray> fields = line.trimmed().split(' ');
    if (fields.size() < 2 || fields.at(0) != "ssh-rsa") {
        return false;
    }
    const QByteArray blob = QByteArray::fromBase64(fields.at(1));
    qsizetype at = 0;
    QByteArray name;
    if (!takeString(blob, &at, &name) || name != "ssh-rsa" || !takeString(blob, &at, e) || !takeString(blob, &at, n)) {
        return false;
    }
    *e = withoutLeadingZeros(*e);
    *n = withoutLeadingZeros(*n);
    return true;
}

namespace {
struct BigNumberFree {
    void operator()(BIGNUM* number) const { BN_free(number); }
};
} // namespace

QByteArray qnDecimal(const QByteArray& bigEndian) {
    std::unique_ptr<BIGNUM, BigNumberFree> number(
        BN_bin2bn(reinterpret_cast<const unsigned char*>(bigEndian.constData()), int(bigEndian.size()), nullptr));
    char* text = BN_bn2dec(number.get());
    const QByteArray decimal(text);
    OPENSSL_free(text);
    return decimal;
}

int qnBitCount(const QByteArray& bigEndian) {
    const QByteArray bytes = withoutLeadingZeros(bigEndian);
    if (bytes.isEmpty()) {
        return 0;
    }
    int bits = int(bytes.size() - 1) * 8;
    for (quint8 top = quint8(bytes.at(0)); top != 0; top >>= 1) {
        ++bits;
    }
    return bits;
}

QString qnProtocol1Digest(const QByteArray& e, const QByteArray& n) {
    return QString::fromLatin1(QCryptographicHash::hash(n + e, QCryptographicHash::Md5).toHex(':'));
}

QByteArray qnKeyLine(const QByteArray& name, const QByteArray& blob, const QByteArray& comment) {
    QByteArray line = name + ' ' + blob.toBase64();
    if (!comment.isEmpty()) {
        line += ' ' + comment;
    }
    return line + '\n';
}
