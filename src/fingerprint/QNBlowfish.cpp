#include "fingerprint/QNBlowfish.h"

#include "fingerprint/QNBlowfishPi.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace {

// The next big-endian word of a byte string read round and round; *at is the position, kept in range.
quint32 cyclicWord(const quint8* bytes, size_t length, size_t* at) {
    quint32 word = 0;
    for (int count = 0; count < 4; ++count) {
        word = (word << 8) | bytes[*at];
        *at = (*at + 1) % length;
    }
    return word;
}

} // namespace

QNBlowfish::QNBlowfish() {
    static_assert(sizeof kQNBlowfishPi / sizeof kQNBlowfishPi[0] == kRounds + 2 + 4 * 256);
    std::copy_n(kQNBlowfishPi, kRounds + 2, _p);
    std::copy_n(kQNBlowfishPi + kRounds + 2, 4 * 256, &_s[0][0]);
}

QNBlowfish::~QNBlowfish() {
    // The state is derived from a passphrase.
    OPENSSL_cleanse(_p, sizeof _p);
    OPENSSL_cleanse(_s, sizeof _s);
}

quint32 QNBlowfish::feistel(quint32 half) const {
    return ((_s[0][half >> 24] + _s[1][(half >> 16) & 0xFF]) ^ _s[2][(half >> 8) & 0xFF]) + _s[3][half & 0xFF];
}

void QNBlowfish::encrypt(quint32* left, quint32* right) const {
    quint32 l = *left ^ _p[0];
    quint32 r = *right;
    for (int round = 1; round <= kRounds; round += 2) {
        r ^= feistel(l) ^ _p[round];
        l ^= feistel(r) ^ _p[round + 1];
    }
    *left = r ^ _p[kRounds + 1];
    *right = l;
}

void QNBlowfish::mixKeyIntoP(const quint8* key, size_t keyLength) {
    size_t at = 0;
    for (quint32& word : _p) {
        word ^= cyclicWord(key, keyLength, &at);
    }
}

// Chains encryption through P and then the S-boxes, each block replacing the next two subkeys. With a salt,
// its words are folded into the block first.
void QNBlowfish::regenerate(const quint8* salt, size_t saltLength) {
    size_t at = 0;
    quint32 left = 0;
    quint32 right = 0;
    const auto next = [&](quint32* into) {
        if (salt) {
            left ^= cyclicWord(salt, saltLength, &at);
            right ^= cyclicWord(salt, saltLength, &at);
        }
        encrypt(&left, &right);
        into[0] = left;
        into[1] = right;
    };
    for (int index = 0; index < kRounds + 2; index += 2) {
        next(_p + index);
    }
    for (auto& box : _s) {
        for (int index = 0; index < 256; index += 2) {
            next(box + index);
        }
    }
}

void QNBlowfish::expandKey(const quint8* key, size_t keyLength) {
    mixKeyIntoP(key, keyLength);
    regenerate(nullptr, 0);
}

void QNBlowfish::expandKey(const quint8* key, size_t keyLength, const quint8* salt, size_t saltLength) {
    mixKeyIntoP(key, keyLength);
    regenerate(salt, saltLength);
}
