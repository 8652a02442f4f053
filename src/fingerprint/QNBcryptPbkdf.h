#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// The bcrypt-based key derivation that OpenSSH uses to encrypt private key files: PBKDF2-like rounds over
// a bcrypt hash of the SHA-512 digests of passphrase and salt, with the output bytes spread across the
// blocks so that every block has to be computed. Time grows linearly with rounds times blocks of 32 bytes.
class QNBcryptPbkdf {
public:
    static constexpr qsizetype kMaximumSaltLength = 1 << 20;
    static constexpr qsizetype kMaximumKeyLength = 32 * 32;

    // keyLength bytes derived from passphrase and salt; none when an argument is out of range (an empty
    // passphrase or salt, no rounds, a salt or key longer than the maximum).
    static std::optional<QByteArray> derive(const QByteArray& passphrase, const QByteArray& salt, quint32 rounds,
                                            qsizetype keyLength);
};
