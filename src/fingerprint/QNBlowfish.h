#pragma once

#include <QtGlobal>

#include <cstddef>

// Blowfish with the key schedule the bcrypt family uses: the state starts from the digits of pi and is
// reshaped by a key, optionally with a salt folded in ("expensive" key schedule). Only the pieces the
// bcrypt KDF needs: block encryption and the two schedule steps.
class QNBlowfish {
public:
    QNBlowfish();
    ~QNBlowfish();
    QNBlowfish(const QNBlowfish&) = delete;
    QNBlowfish& operator=(const QNBlowfish&) = delete;

    // Encrypts one 64-bit block given as its two big-endian halves.
    void encrypt(quint32* left, quint32* right) const;
    // The plain Blowfish schedule: key into the P-array, then every subkey replaced by chained encryption.
    // The key is read cyclically, 4 bytes a word; it must not be empty.
    void expandKey(const quint8* key, size_t keyLength);
    // The salted schedule: as above, but salt words (read cyclically) are mixed into each block before it
    // is encrypted.
    void expandKey(const quint8* key, size_t keyLength, const quint8* salt, size_t saltLength);

private:
    quint32 feistel(quint32 half) const;
    void mixKeyIntoP(const quint8* key, size_t keyLength);
    void regenerate(const quint8* salt, size_t saltLength);

    static constexpr int kRounds = 16;
    quint32 _p[kRounds + 2];
    quint32 _s[4][256];
};
