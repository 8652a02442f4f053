#include "fingerprint/QNFingerprint.h"

#include "fingerprint/QNOpenSSHPrivateKey.h"
#include "util/QNConstants.h"
#include "util/QNDataAdditions.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

constexpr quint64 kMaximumOffset = 0xFFFFFFFFu;
// Longer than any name in the type table, so a longer first field cannot be a key name.
constexpr quint64 kMaximumKeyNameLength = 64;

quint8 byteAt(const QByteArray& data, quint64 at) {
    return static_cast<quint8>(data.at(static_cast<qsizetype>(at)));
}

bool isDigit(quint8 byte) {
    return byte >= '0' && byte <= '9';
}

bool isBlank(quint8 byte) {
    return byte == ' ' || byte == '\t';
}

// End of the line that starts at start: the offset of its line feed, or the data's length.
quint64 lineEnd(const QByteArray& data, quint64 start) {
    const qsizetype at = data.indexOf('\n', static_cast<qsizetype>(start));
    return at < 0 ? quint64(data.size()) : quint64(at);
}

// Copies one named number of a libcrypto key into ours.
bool copyKeyParameter(const EVP_PKEY* key, const char* name, BIGNUM* into) {
    BIGNUM* value = nullptr;
    if (!into || EVP_PKEY_get_bn_param(key, name, &value) != 1) {
        return false;
    }
    QNFingerprint::BigNumber holder(value);
    return BN_copy(into, holder.get()) != nullptr;
}

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct PKeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct GroupFree {
    void operator()(EC_GROUP* group) const { EC_GROUP_free(group); }
};
struct PointFree {
    void operator()(EC_POINT* point) const { EC_POINT_free(point); }
};

// An uncompressed point (0x04, x, y) that lies on the curve, as OpenSSH requires of ECDSA keys.
bool isCurvePoint(quint32 type, const QByteArray& point) {
    int curve = NID_undef;
    qsizetype coordinateLength = 0;
    switch (type) {
    case QNFingerprintTypeECDSA256:
        curve = NID_X9_62_prime256v1;
        coordinateLength = 32;
        break;
    case QNFingerprintTypeECDSA384:
        curve = NID_secp384r1;
        coordinateLength = 48;
        break;
    case QNFingerprintTypeECDSA521:
        curve = NID_secp521r1;
        coordinateLength = 66;
        break;
    default:
        return false;
    }
    if (point.size() != 1 + 2 * coordinateLength || point.at(0) != '\x04') {
        return false;
    }
    std::unique_ptr<EC_GROUP, GroupFree> group(EC_GROUP_new_by_curve_name(curve));
    std::unique_ptr<EC_POINT, PointFree> decoded(group ? EC_POINT_new(group.get()) : nullptr);
    const bool onCurve = decoded && EC_POINT_oct2point(group.get(), decoded.get(),
                                                       reinterpret_cast<const unsigned char*>(point.constData()),
                                                       size_t(point.size()), nullptr) == 1;
    ERR_clear_error();
    return onCurve;
}

// A private key in PEM armour: a line "-----BEGIN <kind> PRIVATE KEY-----" (RSA, DSA, EC, ENCRYPTED, none).
bool holdsPEMPrivateKey(const QByteArray& data) {
    static const QByteArray begin = QByteArrayLiteral("-----BEGIN ");
    static const QByteArray end = QByteArrayLiteral("PRIVATE KEY-----");
    for (qsizetype at = data.indexOf(begin); at >= 0; at = data.indexOf(begin, at + 1)) {
        if (at > 0 && data.at(at - 1) != '\n') {
            continue;
        }
        qsizetype lineEnd = data.indexOf('\n', at);
        lineEnd = lineEnd < 0 ? data.size() : lineEnd;
        const QByteArray line = data.mid(at, lineEnd - at).trimmed();
        if (line.endsWith(end)) {
            return true;
        }
    }
    return false;
}

} // namespace

int QNFingerprintKeyPassphraseCallback(char* buffer, int size, int rwflag, void* userData) {
    Q_UNUSED(buffer);
    Q_UNUSED(size);
    Q_UNUSED(rwflag);
    if (userData) {
        static_cast<QNFingerprint*>(userData)->setNeedsPassphrase(true);
    }
    return 0;
}

void QNFingerprint::init() {
    // OpenSSL 3 loads its algorithm tables on first use and frees them at exit by itself.
}

void QNFingerprint::destroy() {
    // Deliberately empty: tearing libcrypto down (OPENSSL_cleanup) cannot be undone in the same process,
    // and libssh keeps using it after us.
}

std::shared_ptr<QNFingerprint> QNFingerprint::fingerprintWithData(const QByteArray& data, const QString& passphrase) {
    return std::make_shared<QNFingerprint>(data, passphrase);
}

QNFingerprint::QNFingerprint(const QByteArray& data, const QString& passphrase)
    : _data(data)
    , _passphrase(passphrase) {}

QNFingerprint::~QNFingerprint() = default;

QString QNFingerprint::fingerprintString(bool privateKey, bool* needsPassphrase) {
    const std::optional<QByteArray> digest = fingerprintData(privateKey, needsPassphrase);
    if (!digest) {
        return QString();
    }
    return QString::fromLatin1(digest->toHex(':'));
}

std::optional<QByteArray> QNFingerprint::fingerprintData(bool privateKey, bool* needsPassphrase) {
    return digest(privateKey, needsPassphrase, EVP_md5());
}

std::optional<QByteArray> QNFingerprint::fingerprintSHA256Data(bool privateKey, bool* needsPassphrase) {
    return digest(privateKey, needsPassphrase, EVP_sha256());
}

QString QNFingerprint::fingerprintSHA256String(bool privateKey, bool* needsPassphrase) {
    const std::optional<QByteArray> digest = fingerprintSHA256Data(privateKey, needsPassphrase);
    if (!digest) {
        return QString();
    }
    return QStringLiteral("SHA256:") + QString::fromLatin1(digest->toBase64(QByteArray::OmitTrailingEquals));
}

std::optional<QByteArray> QNFingerprint::publicKeyBlob() const {
    if (_type == QNFingerprintTypeRSA1) {
        return std::nullopt;
    }
    return hashKey();
}

bool QNFingerprint::isPrivateKeyFile(const QByteArray& data) {
    return QNOpenSSHPrivateKey::holdsKey(data) || holdsPEMPrivateKey(data);
}

std::optional<QByteArray> QNFingerprint::digest(bool privateKey, bool* needsPassphrase, const EVP_MD* algorithm) {
    _needsPassphrase = false;
    if (!loadKey(privateKey)) {
        if (needsPassphrase) {
            *needsPassphrase = _needsPassphrase;
        }
        return std::nullopt;
    }
    const std::optional<QByteArray> bytes = hashKey();
    if (!bytes) {
        return std::nullopt;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(bytes->constData(), static_cast<size_t>(bytes->size()), digest, &digestLength, algorithm, nullptr) !=
        1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(digestLength));
}

bool QNFingerprint::loadKey(bool privateKey) {
    // Offsets into the data are 32-bit.
    if (quint64(_data.size()) > kMaximumOffset) {
        updateType(QNFingerprintTypeNone);
        return false;
    }
    if (privateKey) {
        // libcrypto knows only PEM; the OpenSSH format has its own reader.
        return QNOpenSSHPrivateKey::holdsKey(_data) ? loadPrivateOpenSSH() : loadPrivateUnknown();
    }
    return loadPrivateRSA1() || loadPublicRSA1() || loadPublicSSH2() || loadPublicUnknown();
}

bool QNFingerprint::loadPrivateUnknown() {
    updateType(QNFingerprintTypeNone);
    if (quint64(_data.size()) > quint64(INT_MAX)) {
        return false;
    }
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(_data.constData(), static_cast<int>(_data.size())));
    if (!bio) {
        return false;
    }
    std::unique_ptr<EVP_PKEY, PKeyFree> key;
    if (_passphrase.isNull()) {
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, QNFingerprintKeyPassphraseCallback, this));
    } else {
        QByteArray passphrase = _passphrase.toUtf8();
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, passphrase.data()));
        passphrase.fill('\0');
    }
    // Whatever libcrypto complained about is answered by our result; leave no errors behind for libssh.
    ERR_clear_error();
    if (!key || !takeKey(key.get())) {
        updateType(QNFingerprintTypeNone);
        return false;
    }
    return true;
}

bool QNFingerprint::loadPrivateOpenSSH() {
    updateType(QNFingerprintTypeNone);
    QByteArray blob;
    const QNOpenSSHPrivateKey::Status status = QNOpenSSHPrivateKey::read(_data, _passphrase, &blob);
    quint32 offset = 0;
    QString name;
    // The clear public key must be a plain key even when the rest cannot be read yet: a file whose public
    // part is garbage fails outright instead of asking for a passphrase.
    const bool blobRead = status != QNOpenSSHPrivateKey::Status::Failed && readString(blob, &name, &offset) &&
                          readKeyBlob(blob, keyType(name)) && !isKeyCertificate(_type);
    if (status == QNOpenSSHPrivateKey::Status::NeedsPassphrase && blobRead) {
        _needsPassphrase = true;
    }
    if (status != QNOpenSSHPrivateKey::Status::Read || !blobRead) {
        updateType(QNFingerprintTypeNone);
        return false;
    }
    return true;
}

bool QNFingerprint::takeKey(const EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "RSA")) {
        return updateType(QNFingerprintTypeRSA) && copyKeyParameter(key, OSSL_PKEY_PARAM_RSA_N, _rsa->n.get()) &&
               copyKeyParameter(key, OSSL_PKEY_PARAM_RSA_E, _rsa->e.get());
    }
    if (EVP_PKEY_is_a(key, "DSA")) {
        return updateType(QNFingerprintTypeDSA) && copyKeyParameter(key, OSSL_PKEY_PARAM_FFC_P, _dsa->p.get()) &&
               copyKeyParameter(key, OSSL_PKEY_PARAM_FFC_Q, _dsa->q.get()) &&
               copyKeyParameter(key, OSSL_PKEY_PARAM_FFC_G, _dsa->g.get()) &&
               copyKeyParameter(key, OSSL_PKEY_PARAM_PUB_KEY, _dsa->y.get());
    }
    return false;
}

bool QNFingerprint::loadPrivateRSA1() {
    updateType(QNFingerprintTypeNone);
    const QByteArray header = kQNFingerprintPrivateKeyString.toUtf8();
    // The header, then ten bytes (cipher, reserved, key size) nobody needs for the public part.
    constexpr quint32 publicKeyOffset = 42;
    if (_data.size() <= header.size() || !_data.startsWith(header) || _data.size() <= publicKeyOffset) {
        return false;
    }
    quint32 offset = publicKeyOffset;
    if (!updateType(QNFingerprintTypeRSA1) || !readBigNumber(_data, _rsa->n.get(), &offset) ||
        !readBigNumber(_data, _rsa->e.get(), &offset)) {
        updateType(QNFingerprintTypeNone);
        return false;
    }
    return true;
}

bool QNFingerprint::loadPublicRSA1() {
    if (!updateType(QNFingerprintTypeRSA1) || !tryReadKey()) {
        updateType(QNFingerprintTypeNone);
        return false;
    }
    return true;
}

bool QNFingerprint::loadPublicSSH2() {
    updateType(QNFingerprintTypeNone);
    return tryReadKey();
}

bool QNFingerprint::tryReadKey() {
    const quint64 length = quint64(_data.size());
    for (quint64 start = 0; start < length; start = lineEnd(_data, start) + 1) {
        const quint8 first = byteAt(_data, start);
        if (first == '\0' || first == '\n' || first == '#') {
            continue;
        }
        quint64 keyStart = start;
        while (keyStart < length && isBlank(byteAt(_data, keyStart))) {
            ++keyStart;
        }
        if (keyStart >= length || byteAt(_data, keyStart) == '\n') {
            continue;
        }
        if (readKey(static_cast<quint32>(keyStart))) {
            return true;
        }
    }
    return false;
}

bool QNFingerprint::readKey(quint32 offset) {
    const bool read = offset < quint64(_data.size()) &&
                      (_type == QNFingerprintTypeRSA1 ? readProtocol1KeyLine(offset) : readPublicKeyLine(offset));
    if (!read) {
        updateType(QNFingerprintTypeNone);
    }
    return read;
}

// "bits e n [comment]", all three in decimal.
bool QNFingerprint::readProtocol1KeyLine(quint32 offset) {
    const quint64 length = quint64(_data.size());
    if (!_rsa || !isDigit(byteAt(_data, offset))) {
        return false;
    }
    quint64 bits = 0;
    quint64 at = offset;
    for (; at < length && isDigit(byteAt(_data, at)); ++at) {
        // Past 32 bits no modulus can match; keep walking the digits but stop counting.
        if (bits <= kMaximumOffset) {
            bits = bits * 10 + (byteAt(_data, at) - '0');
        }
    }
    if (bits == 0 || bits > kMaximumOffset) {
        return false;
    }
    quint32 position = static_cast<quint32>(at);
    return readBigNumber3(_data, _rsa->e.get(), &position) && readBigNumber3(_data, _rsa->n.get(), &position) &&
           quint64(BN_num_bits(_rsa->n.get())) == bits;
}

// "name base64-blob [comment]"; the blob names its own type, which must agree with the text.
bool QNFingerprint::readPublicKeyLine(quint32 offset) {
    const quint64 length = quint64(_data.size());
    // The name ends at the first space. It never holds a line feed, so the search stops there: a line
    // without a space cannot pull the next line into its name.
    const quint64 end = lineEnd(_data, offset);
    quint64 nameEnd = offset;
    while (nameEnd < end && byteAt(_data, nameEnd) != ' ') {
        ++nameEnd;
    }
    if (nameEnd >= end) {
        return false;
    }
    if (nameEnd + 1 >= length || byteAt(_data, nameEnd + 1) == '\0' || nameEnd - offset > kMaximumKeyNameLength) {
        return false;
    }
    const quint32 nameType = keyType(QString::fromUtf8(_data.constData() + offset, qsizetype(nameEnd - offset)));
    if (nameType == QNFingerprintTypeNone || (_type != QNFingerprintTypeNone && _type != nameType)) {
        return false;
    }
    quint64 textStart = nameEnd + 1;
    while (textStart < length && isBlank(byteAt(_data, textStart))) {
        ++textStart;
    }
    // The base64 text ends at a blank, a NUL or the end of its line: a key line without a comment must
    // not swallow the lines after it.
    quint64 textEnd = textStart;
    while (textEnd < length) {
        const quint8 byte = byteAt(_data, textEnd);
        if (isBlank(byte) || byte == '\0' || byte == '\n') {
            break;
        }
        ++textEnd;
    }
    const std::optional<QByteArray> blob = QNDataAdditions::dataWithBase64String(
        QString::fromLatin1(_data.constData() + textStart, qsizetype(textEnd - textStart)));
    return blob && readKeyBlob(*blob, nameType);
}

bool QNFingerprint::readKeyBlob(const QByteArray& blob, quint32 nameType) {
    quint32 offset = 0;
    QString blobName;
    if (!readString(blob, &blobName, &offset)) {
        return false;
    }
    const quint32 blobType = keyType(blobName);
    bool read = false;
    switch (blobType) {
    case QNFingerprintTypeRSA:
    case QNFingerprintTypeRSACertificateV0:
        read = updateType(blobType) && readRSANumbers(blob, &offset);
        break;
    case QNFingerprintTypeRSACertificateV1:
        // Version 01 certificates put a nonce before the key.
        read = updateType(blobType) && readString(blob, nullptr, &offset) && readRSANumbers(blob, &offset);
        break;
    case QNFingerprintTypeDSA:
    case QNFingerprintTypeDSSCertificateV0:
        read = updateType(blobType) && readDSANumbers(blob, &offset);
        break;
    case QNFingerprintTypeDSSCertificateV1:
        read = updateType(blobType) && readString(blob, nullptr, &offset) && readDSANumbers(blob, &offset);
        break;
    case QNFingerprintTypeEd25519:
        read = updateType(blobType) && readEd25519Key(blob, &offset);
        break;
    case QNFingerprintTypeEd25519CertificateV1:
        read = updateType(blobType) && readString(blob, nullptr, &offset) && readEd25519Key(blob, &offset);
        break;
    case QNFingerprintTypeECDSA256:
    case QNFingerprintTypeECDSA384:
    case QNFingerprintTypeECDSA521:
        read = updateType(blobType) && readECDSAKey(blob, &offset);
        break;
    case QNFingerprintTypeECDSA256CertificateV1:
    case QNFingerprintTypeECDSA384CertificateV1:
    case QNFingerprintTypeECDSA521CertificateV1:
        read = updateType(blobType) && readString(blob, nullptr, &offset) && readECDSAKey(blob, &offset);
        break;
    default:
        return false;
    }
    return read && blobType == nameType;
}

bool QNFingerprint::readRSANumbers(const QByteArray& blob, quint32* offset) {
    return _rsa && readBigNumber2(blob, _rsa->e.get(), offset) && readBigNumber2(blob, _rsa->n.get(), offset);
}

bool QNFingerprint::readDSANumbers(const QByteArray& blob, quint32* offset) {
    return _dsa && readBigNumber2(blob, _dsa->p.get(), offset) && readBigNumber2(blob, _dsa->q.get(), offset) &&
           readBigNumber2(blob, _dsa->g.get(), offset) && readBigNumber2(blob, _dsa->y.get(), offset);
}

bool QNFingerprint::readEd25519Key(const QByteArray& blob, quint32* offset) {
    QByteArray publicKey;
    if (!_ed25519 || !readData(blob, &publicKey, offset) || publicKey.size() != 32) {
        return false;
    }
    _ed25519->publicKey = publicKey;
    return true;
}

// The curve's name, which must be the one the type names, then the point.
bool QNFingerprint::readECDSAKey(const QByteArray& blob, quint32* offset) {
    QString curve;
    QByteArray point;
    const quint32 plainType = isKeyCertificate(_type) ? certificateKeyType(_type) : _type;
    if (!_ecdsa || !readString(blob, &curve, offset) || curve != curveName(plainType) ||
        !readData(blob, &point, offset) || !isCurvePoint(plainType, point)) {
        return false;
    }
    _ecdsa->point = point;
    return true;
}

// Authorised-keys lines: an options field may stand before the key.
bool QNFingerprint::loadPublicUnknown() {
    updateType(QNFingerprintTypeNone);
    const quint64 length = quint64(_data.size());
    for (quint64 start = 0; start < length; start = lineEnd(_data, start) + 1) {
        const quint64 end = lineEnd(_data, start);
        quint64 at = start;
        while (at < end && isBlank(byteAt(_data, at))) {
            ++at;
        }
        if (at >= end || byteAt(_data, at) == '\0' || byteAt(_data, at) == '#') {
            continue;
        }
        std::optional<quint64> keyStart;
        if (byteAt(_data, at) >= '1' && byteAt(_data, at) <= '9') {
            quint64 digit = at;
            while (digit < end && isDigit(byteAt(_data, digit))) {
                ++digit;
            }
            if (digit < end && isBlank(byteAt(_data, digit))) {
                keyStart = at;
            }
        }
        if (!keyStart) {
            // Options end at the first blank outside double quotes; \" is a quote character, not a delimiter.
            // A field that runs into a NUL or the end of its line leaves the line without a key.
            bool quoted = false;
            for (quint64 option = at; option < end; ++option) {
                const quint8 byte = byteAt(_data, option);
                if (byte == '\0') {
                    break;
                }
                if (byte == '\\' && option + 1 < end && byteAt(_data, option + 1) == '"') {
                    ++option;
                } else if (byte == '"') {
                    quoted = !quoted;
                } else if (!quoted && isBlank(byte)) {
                    keyStart = option + 1;
                    break;
                }
            }
        }
        if (!keyStart || *keyStart >= end) {
            continue;
        }
        const quint32 offset = static_cast<quint32>(*keyStart);
        if (updateType(QNFingerprintTypeRSA1) && readKey(offset)) {
            return true;
        }
        updateType(QNFingerprintTypeNone);
        if (readKey(offset)) {
            return true;
        }
    }
    updateType(QNFingerprintTypeNone);
    return false;
}

std::optional<QByteArray> QNFingerprint::hashKey() const {
    if (_type == QNFingerprintTypeRSA1) {
        if (!_rsa) {
            return std::nullopt;
        }
        // Protocol 1 hashes the bare numbers, modulus first.
        const int modulusLength = BN_num_bytes(_rsa->n.get());
        const int exponentLength = BN_num_bytes(_rsa->e.get());
        QByteArray bytes(modulusLength + exponentLength, '\0');
        auto* out = reinterpret_cast<unsigned char*>(bytes.data());
        BN_bn2bin(_rsa->n.get(), out);
        BN_bn2bin(_rsa->e.get(), out + modulusLength);
        return bytes;
    }
    // A certificate is hashed as the plain key it certifies.
    const quint32 plainType = isKeyCertificate(_type) ? certificateKeyType(_type) : _type;
    QByteArray bytes;
    quint32 offset = 0;
    if (plainType == QNFingerprintTypeRSA && _rsa) {
        if (writeString(&bytes, keyName(plainType), &offset) && writeBigNumber(&bytes, _rsa->e.get(), &offset) &&
            writeBigNumber(&bytes, _rsa->n.get(), &offset)) {
            return bytes;
        }
    } else if (plainType == QNFingerprintTypeDSA && _dsa) {
        if (writeString(&bytes, keyName(plainType), &offset) && writeBigNumber(&bytes, _dsa->p.get(), &offset) &&
            writeBigNumber(&bytes, _dsa->q.get(), &offset) && writeBigNumber(&bytes, _dsa->g.get(), &offset) &&
            writeBigNumber(&bytes, _dsa->y.get(), &offset)) {
            return bytes;
        }
    } else if (plainType == QNFingerprintTypeEd25519 && _ed25519) {
        if (writeString(&bytes, keyName(plainType), &offset) && writeData(&bytes, _ed25519->publicKey, &offset)) {
            return bytes;
        }
    } else if (!curveName(plainType).isNull() && _ecdsa) {
        if (writeString(&bytes, keyName(plainType), &offset) && writeString(&bytes, curveName(plainType), &offset) &&
            writeData(&bytes, _ecdsa->point, &offset)) {
            return bytes;
        }
    }
    return std::nullopt;
}
