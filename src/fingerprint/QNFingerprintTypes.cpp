// The key type table: names, certificate relations, and the key objects each type carries.

#include "fingerprint/QNFingerprint.h"

#include "util/QNConstants.h"

#include <iterator>

namespace {

struct TypeName {
    quint32 type;
    const QString& name;
    quint32 plainType; // for a certificate, the key it certifies; 0 otherwise
};

// Wire names, one per type; keyType also knows the short aliases of the oldest formats.
const TypeName kTypeNames[] = {
    {QNFingerprintTypeRSA, kQNFingerprintTypeStringSSHRSA, QNFingerprintTypeNone},
    {QNFingerprintTypeDSA, kQNFingerprintTypeStringSSHDSS, QNFingerprintTypeNone},
    {QNFingerprintTypeRSACertificateV0, kQNFingerprintTypeStringSSHRSACertificateV0, QNFingerprintTypeRSA},
    {QNFingerprintTypeDSSCertificateV0, kQNFingerprintTypeStringSSHDSSCertificateV0, QNFingerprintTypeDSA},
    {QNFingerprintTypeRSACertificateV1, kQNFingerprintTypeStringSSHRSACertificateV1, QNFingerprintTypeRSA},
    {QNFingerprintTypeDSSCertificateV1, kQNFingerprintTypeStringSSHDSSCertificateV1, QNFingerprintTypeDSA},
    {QNFingerprintTypeEd25519, kQNFingerprintTypeStringSSHEd25519, QNFingerprintTypeNone},
    {QNFingerprintTypeECDSA256, kQNFingerprintTypeStringECDSA256, QNFingerprintTypeNone},
    {QNFingerprintTypeECDSA384, kQNFingerprintTypeStringECDSA384, QNFingerprintTypeNone},
    {QNFingerprintTypeECDSA521, kQNFingerprintTypeStringECDSA521, QNFingerprintTypeNone},
    {QNFingerprintTypeEd25519CertificateV1, kQNFingerprintTypeStringSSHEd25519CertificateV1, QNFingerprintTypeEd25519},
    {QNFingerprintTypeECDSA256CertificateV1, kQNFingerprintTypeStringECDSA256CertificateV1, QNFingerprintTypeECDSA256},
    {QNFingerprintTypeECDSA384CertificateV1, kQNFingerprintTypeStringECDSA384CertificateV1, QNFingerprintTypeECDSA384},
    {QNFingerprintTypeECDSA521CertificateV1, kQNFingerprintTypeStringECDSA521CertificateV1, QNFingerprintTypeECDSA521},
};

const TypeName* entryOf(quint32 type) {
    for (const TypeName& entry : kTypeNames) {
        if (entry.type == type) {
            return &entry;
        }
    }
    return nullptr;
}

QNFingerprint::BigNumber newBigNumber() {
    return QNFingerprint::BigNumber(BN_new());
}

} // namespace

quint32 QNFingerprint::keyType(const QString& string) {
    if (string == kQNFingerprintTypeStringRSA1) {
        return QNFingerprintTypeRSA1;
    }
    if (string == kQNFingerprintTypeStringRSA) {
        return QNFingerprintTypeRSA;
    }
    if (string == kQNFingerprintTypeStringDSA) {
        return QNFingerprintTypeDSA;
    }
    for (const TypeName& entry : kTypeNames) {
        if (string == entry.name) {
            return entry.type;
        }
    }
    return QNFingerprintTypeNone;
}

QString QNFingerprint::keyName(quint32 type) {
    const TypeName* entry = entryOf(type);
    return entry ? entry->name : QString();
}

bool QNFingerprint::isKeyCertificate(quint32 type) {
    return certificateKeyType(type) != QNFingerprintTypeNone;
}

quint32 QNFingerprint::certificateKeyType(quint32 type) {
    const TypeName* entry = entryOf(type);
    return entry ? entry->plainType : quint32(QNFingerprintTypeNone);
}

QString QNFingerprint::curveName(quint32 type) {
    const quint32 plainType = isKeyCertificate(type) ? certificateKeyType(type) : type;
    switch (plainType) {
    case QNFingerprintTypeECDSA256:
        return QStringLiteral("nistp256");
    case QNFingerprintTypeECDSA384:
        return QStringLiteral("nistp384");
    case QNFingerprintTypeECDSA521:
        return QStringLiteral("nistp521");
    default:
        return QString();
    }
}

bool QNFingerprint::updateType(quint32 type) {
    _rsa.reset();
    _dsa.reset();
    _ed25519.reset();
    _ecdsa.reset();
    _type = type;
    const quint32 plainType = isKeyCertificate(type) ? certificateKeyType(type) : type;
    switch (plainType) {
    case QNFingerprintTypeRSA1:
    case QNFingerprintTypeRSA: {
        auto key = std::make_unique<RSAKey>(RSAKey{newBigNumber(), newBigNumber()});
        if (!key->n || !key->e) {
            _type = QNFingerprintTypeNone;
            return false;
        }
        _rsa = std::move(key);
        return true;
    }
    case QNFingerprintTypeDSA: {
        auto key = std::make_unique<DSAKey>(DSAKey{newBigNumber(), newBigNumber(), newBigNumber(), newBigNumber()});
        if (!key->p || !key->q || !key->g || !key->y) {
            _type = QNFingerprintTypeNone;
            return false;
        }
        _dsa = std::move(key);
        return true;
    }
    case QNFingerprintTypeEd25519:
        _ed25519 = std::make_unique<Ed25519Key>();
        return true;
    case QNFingerprintTypeECDSA256:
    case QNFingerprintTypeECDSA384:
    case QNFingerprintTypeECDSA521:
        _ecdsa = std::make_unique<ECDSAKey>();
        return true;
    default:
        return true;
    }
}
