#include "fingerprint/QNBcryptPbkdf.h"

#include "fingerprint/QNBlowfish.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>

namespace {

constexpr size_t kHashLength = 32;
constexpr size_t kDigestLength = 64;
using Hash = std::array<quint8, kHashLength>;
using Digest = std::array<quint8, kDigestLength>;

// Wipes what it holds when it goes: everything here is derived from the passphrase.
template <typename T> struct Wiped : T {
    ~Wiped() { OPENSSL_cleanse(this->data(), this->size()); }
};

bool sha512(const quint8* bytes, size_t length, quint8* digest) {
    return EVP_Digest(bytes, length, digest, nullptr, EVP_sha512(), nullptr) == 1;
}

// bcrypt's core on SHA-512 digests: a salted expensive schedule, 64 alternating re-keyings with salt and
// passphrase, then a fixed 32-byte text encrypted 64 times. The words come out little-endian.
void bcryptHash(const Digest& passphrase, const Digest& salt, Hash* out) {
    QNBlowfish state;
    state.expandKey(passphrase.data(), kDigestLength, salt.data(), kDigestLength);
    for (int round = 0; round < 64; ++round) {
        state.expandKey(salt.data(), kDigestLength);
        state.expandKey(passphrase.data(), kDigestLength);
    }
    static const char kText[] = "OxychromaticBlowfishSwatDynamite";
    static_assert(sizeof kText - 1 == kHashLength);
    quint32 words[kHashLength / 4];
    for (size_t index = 0; index < kHashLength / 4; ++index) {
        const auto* bytes = reinterpret_cast<const quint8*>(kText) + 4 * index;
        words[index] = quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 | bytes[3];
    }
    for (int round = 0; round < 64; ++round) {
        for (size_t index = 0; index < kHashLength / 4; index += 2) {
            state.encrypt(&words[index], &words[index + 1]);
        }
    }
    for (size_t index = 0; index < kHashLength / 4; ++index) {
        for (int shift = 0; shift < 4; ++shift) {
            (*out)[4 * index + size_t(shift)] = quint8(words[index] >> (8 * shift));
        }
    }
    OPENSSL_cleanse(words, sizeof words);
}

} // namespace

std::optional<QByteArray> QNBcryptPbkdf::derive(const QByteArray& passphrase, const QByteArray& salt, quint32 rounds,
                                                qsizetype keyLength) {
    if (passphrase.isEmpty() || salt.isEmpty() || salt.size() > kMaximumSaltLength || rounds == 0 || keyLength <= 0 ||
        keyLength > kMaximumKeyLength) {
        return std::nullopt;
    }
    Wiped<Digest> passphraseDigest;
    if (!sha512(reinterpret_cast<const quint8*>(passphrase.constData()), size_t(passphrase.size()),
                passphraseDigest.data())) {
        return std::nullopt;
    }
    // Block b (counted from 1) supplies output bytes b-1, b-1+stride, b-1+2*stride, ...
    const qsizetype stride = (keyLength + qsizetype(kHashLength) - 1) / qsizetype(kHashLength);
    QByteArray key(keyLength, '\0');
    QByteArray countedSalt = salt + QByteArray(4, '\0');
    for (qsizetype block = 1; block <= stride; ++block) {
        for (int shift = 0; shift < 4; ++shift) {
            countedSalt[salt.size() + shift] = char(quint32(block) >> (24 - 8 * shift));
        }
        Wiped<Digest> saltDigest;
        Wiped<Hash> hash;
        Wiped<Hash> sum;
        if (!sha512(reinterpret_cast<const quint8*>(countedSalt.constData()), size_t(countedSalt.size()),
                    saltDigest.data())) {
            return std::nullopt;
        }
        bcryptHash(passphraseDigest, saltDigest, &hash);
        std::copy(hash.begin(), hash.end(), sum.begin());
        for (quint32 round = 1; round < rounds; ++round) {
            if (!sha512(hash.data(), kHashLength, saltDigest.data())) {
                return std::nullopt;
            }
            bcryptHash(passphraseDigest, saltDigest, &hash);
            for (size_t index = 0; index < kHashLength; ++index) {
                sum[index] ^= hash[index];
            }
        }
        for (qsizetype index = 0; index < qsizetype(kHashLength); ++index) {
            const qsizetype at = index * stride + block - 1;
            if (at >= keyLength) {
                break;
            }
            key[at] = char(sum[size_t(index)]);
        }
    }
    return key;
}
