#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <openssl/bn.h>
#include <openssl/types.h>

#include <memory>
#include <optional>

// Key type codes. Codes are carried as quint32 because key files and callers may hand us any number.
enum QNFingerprintType : quint32 {
    QNFingerprintTypeNone = 0,
    QNFingerprintTypeRSA1 = 1,
    QNFingerprintTypeRSA = 2,
    QNFingerprintTypeDSA = 3,
    QNFingerprintTypeRSACertificateV0 = 4,
    QNFingerprintTypeDSSCertificateV0 = 5,
    QNFingerprintTypeRSACertificateV1 = 6,
    QNFingerprintTypeDSSCertificateV1 = 7,
    QNFingerprintTypeEd25519 = 8,
    QNFingerprintTypeECDSA256 = 9,
    QNFingerprintTypeECDSA384 = 10,
    QNFingerprintTypeECDSA521 = 11,
    QNFingerprintTypeEd25519CertificateV1 = 12,
    QNFingerprintTypeECDSA256CertificateV1 = 13,
    QNFingerprintTypeECDSA384CertificateV1 = 14,
    QNFingerprintTypeECDSA521CertificateV1 = 15,
};

// libcrypto's passphrase callback while no passphrase was given: it records on the fingerprint object
// (userData) that one is needed and supplies none.
int QNFingerprintKeyPassphraseCallback(char* buffer, int size, int rwflag, void* userData);

// Reads an SSH key from the bytes of a key file (protocol-1 public lines and private files, protocol-2
// public lines, certificates and authorised-keys lines, PEM RSA and DSA private keys, and private keys in
// the OpenSSH format of every type) and gives the MD5 digest of its public part in the SSH wire encoding,
// or its SHA-256 digest. Every parser here treats its input as hostile: offsets are checked
// in 64-bit arithmetic, lengths are bounded, and garbage gives a failure, never a crash.
class QNFingerprint {
public:
    struct BigNumberFree {
        void operator()(BIGNUM* number) const { BN_clear_free(number); }
    };
    using BigNumber = std::unique_ptr<BIGNUM, BigNumberFree>;

    // The public parts of the keys we understand; the numbers belong to the fingerprint object.
    struct RSAKey {
        BigNumber n;
        BigNumber e;
    };
    struct DSAKey {
        BigNumber p;
        BigNumber q;
        BigNumber g;
        BigNumber y;
    };
    struct Ed25519Key {
        QByteArray publicKey; // 32 bytes
    };
    struct ECDSAKey {
        QByteArray point; // uncompressed, on the type's curve
    };

    // Where libcrypto's global tables would be loaded and unloaded. OpenSSL 3 manages them itself, so
    // both may be called any number of times, in any order, with fingerprints made before and after.
    static void init();
    static void destroy();

    // A null passphrase means none was given; an empty one is a passphrase of no characters.
    static std::shared_ptr<QNFingerprint> fingerprintWithData(const QByteArray& data, const QString& passphrase);
    QNFingerprint(const QByteArray& data, const QString& passphrase);
    ~QNFingerprint();
    QNFingerprint(const QNFingerprint&) = delete;
    QNFingerprint& operator=(const QNFingerprint&) = delete;

    // privateKey is true for a private key file (PEM or OpenSSH format; isPrivateKeyFile tells) and false
    // for everything else. On a failure to load the key, *needsPassphrase (when given) tells whether an
    // encrypted key lacked its passphrase; it is left untouched otherwise, so callers initialise it.
    // Text form: 16 lower-case hex pairs joined by colons (47 characters); null on failure.
    QString fingerprintString(bool privateKey, bool* needsPassphrase);
    // Raw form: the 16 digest bytes; empty on failure.
    std::optional<QByteArray> fingerprintData(bool privateKey, bool* needsPassphrase);
    // The SHA-256 digest of the same bytes: 32 raw bytes, or "SHA256:" and their unpadded base64.
    std::optional<QByteArray> fingerprintSHA256Data(bool privateKey, bool* needsPassphrase);
    QString fingerprintSHA256String(bool privateKey, bool* needsPassphrase);
    // After a fingerprint succeeded: the public key in the SSH wire encoding, the blob a server presents
    // (for a certificate, that of the key it certifies). None for protocol-1 keys or when nothing is loaded.
    std::optional<QByteArray> publicKeyBlob() const;

    // Whether the bytes hold a private key in PEM or OpenSSH armour, to be read with privateKey true.
    static bool isPrivateKeyFile(const QByteArray& data);

    const QByteArray& data() const { return _data; }
    void setData(const QByteArray& data) { _data = data; }
    const QString& passphrase() const { return _passphrase; }
    void setPassphrase(const QString& passphrase) { _passphrase = passphrase; }
    bool needsPassphrase() const { return _needsPassphrase; }
    void setNeedsPassphrase(bool needsPassphrase) { _needsPassphrase = needsPassphrase; }

    quint32 type() const { return _type; }
    const RSAKey* rsa() const { return _rsa.get(); }
    const DSAKey* dsa() const { return _dsa.get(); }
    const Ed25519Key* ed25519() const { return _ed25519.get(); }
    const ECDSAKey* ecdsa() const { return _ecdsa.get(); }

    // The steps of loading. Each returns success; a failing loader leaves type 0 and no key behind.
    bool loadKey(bool privateKey);
    bool loadPrivateUnknown();
    bool loadPrivateOpenSSH();
    bool loadPrivateRSA1();
    bool loadPublicRSA1();
    bool loadPublicSSH2();
    bool loadPublicUnknown();
    bool tryReadKey();
    bool readKey(quint32 offset);
    // The bytes the digest is taken of, for the key loaded; empty when there is none.
    std::optional<QByteArray> hashKey() const;

    // Wire codecs. Each reads from or writes into the buffer at *offset and advances it on success; a read
    // that would leave the buffer fails without touching *offset. A null target skips the value.
    static bool readString(const QByteArray& buffer, QString* string, quint32* offset);
    static bool readData(const QByteArray& buffer, QByteArray* data, quint32* offset);
    static bool readBigNumber(const QByteArray& buffer, BIGNUM* bigNumber, quint32* offset);
    static bool readBigNumber2(const QByteArray& buffer, BIGNUM* bigNumber, quint32* offset);
    static bool readBigNumber3(const QByteArray& buffer, BIGNUM* bigNumber, quint32* offset);
    // Writers grow the buffer as needed.
    static bool writeString(QByteArray* buffer, const QString& string, quint32* offset);
    static bool writeData(QByteArray* buffer, const QByteArray& data, quint32* offset);
    static bool writeBigNumber(QByteArray* buffer, const BIGNUM* bigNumber, quint32* offset);

    // The type table.
    static quint32 keyType(const QString& string);
    static QString keyName(quint32 type);
    static bool isKeyCertificate(quint32 type);
    static quint32 certificateKeyType(quint32 type);
    // The curve an ECDSA type names in its blob ("nistp256", ...); null for every other type.
    static QString curveName(quint32 type);
    // Frees the key objects, stores the type and makes empty key objects for it. False only when memory
    // is short, in which case the type is 0.
    bool updateType(quint32 type);

private:
    bool readPublicKeyLine(quint32 offset);
    bool readProtocol1KeyLine(quint32 offset);
    bool readKeyBlob(const QByteArray& blob, quint32 nameType);
    bool readRSANumbers(const QByteArray& blob, quint32* offset);
    bool readDSANumbers(const QByteArray& blob, quint32* offset);
    bool readEd25519Key(const QByteArray& blob, quint32* offset);
    bool readECDSAKey(const QByteArray& blob, quint32* offset);
    bool takeKey(const EVP_PKEY* key);
    std::optional<QByteArray> digest(bool privateKey, bool* needsPassphrase, const EVP_MD* algorithm);

    QByteArray _data;
    QString _passphrase;
    quint32 _type = QNFingerprintTypeNone;
    std::unique_ptr<RSAKey> _rsa;
    std::unique_ptr<DSAKey> _dsa;
    std::unique_ptr<Ed25519Key> _ed25519;
    std::unique_ptr<ECDSAKey> _ecdsa;
    bool _needsPassphrase = false;
};
