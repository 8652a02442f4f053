// Feeds arbitrary bytes to the key-file reader. The first byte picks the path: its low bit chooses the
// private (PEM) reader, the next bit whether a passphrase is given; the rest is the key file.
//
// Whatever key is read, its fingerprint must come out the same in text and raw form, and the same again
// when the key is written as a plain public key line and read back: a certificate, a PEM private key
// and a protocol-1 file all fingerprint as the public key they hold.
#include "QNFuzzCheck.h"

#include "fingerprint/QNFingerprint.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>

namespace {

struct OpenSSLFree {
    void operator()(char* text) const { OPENSSL_free(text); }
};

QByteArray decimal(const BIGNUM* number) {
    const std::unique_ptr<char, OpenSSLFree> text(BN_bn2dec(number));
    return text ? QByteArray(text.get()) : QByteArray();
}

// The key the fingerprint holds as one public key line: "bits e n" for protocol 1, else the key's name
// and its base64 wire form (hashKey gives exactly those bytes for the plain key).
QByteArray publicKeyLine(const QNFingerprint& fingerprint) {
    if (fingerprint.type() == QNFingerprintTypeRSA1) {
        const QNFingerprint::RSAKey* rsa = fingerprint.rsa();
        return QByteArray::number(BN_num_bits(rsa->n.get())) + ' ' + decimal(rsa->e.get()) + ' ' +
               decimal(rsa->n.get()) + "\n";
    }
    const std::optional<QByteArray> blob = fingerprint.hashKey();
    qnFuzzCheck(blob.has_value(), "a key that was read has a wire form");
    QString name;
    quint32 offset = 0;
    qnFuzzCheck(QNFingerprint::readString(*blob, &name, &offset), "the wire form starts with the key's name");
    return name.toUtf8() + ' ' + blob->toBase64() + " comment\n";
}

bool isHexPairs(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool ok = i % 3 == 2 ? c == u':' : (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
        if (!ok) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t selector = bytes[0];
    const QByteArray data(reinterpret_cast<const char*>(bytes + 1), static_cast<qsizetype>(size - 1));
    const bool privateKey = (selector & 1) != 0;
    const QString passphrase = (selector & 2) != 0 ? QStringLiteral("fuzz passphrase") : QString();

    bool needsPassphrase = false;
    const auto fingerprint = QNFingerprint::fingerprintWithData(data, passphrase);
    const std::optional<QByteArray> digest = fingerprint->fingerprintData(privateKey, &needsPassphrase);
    qnFuzzCheck(!digest || digest->size() == 16, "an MD5 digest has 16 bytes");
    qnFuzzCheck(digest || (fingerprint->type() == QNFingerprintTypeNone && !fingerprint->rsa() && !fingerprint->dsa()),
                "a failed read leaves no key behind");
    qnFuzzCheck(!needsPassphrase || (privateKey && passphrase.isNull()),
                "only the private reader asks for a passphrase, and only when none was given");

    const QString text = fingerprint->fingerprintString(privateKey, nullptr);
    qnFuzzCheck(text.isNull() == !digest, "text and raw forms fail together");
    if (!digest) {
        return 0;
    }
    qnFuzzCheck(text.size() == 47 && isHexPairs(text), "the text form is 16 lower-case hex pairs joined by colons");
    qnFuzzCheck(QByteArray::fromHex(text.toLatin1()) == *digest, "the text form spells the raw form");

    // A key whose last number is 0 has no line that reads back: a protocol-1 line needs a modulus of some
    // bits, and the wire reader wants bytes after the length of the last field. No real key is like that.
    const BIGNUM* last = fingerprint->rsa() ? fingerprint->rsa()->n.get() : fingerprint->dsa()->y.get();
    if (BN_is_zero(last)) {
        return 0;
    }
    const auto line = QNFingerprint::fingerprintWithData(publicKeyLine(*fingerprint), QString());
    qnFuzzCheck(line->fingerprintData(false, nullptr) == digest, "the key's public line has the same fingerprint");
    return 0;
}
