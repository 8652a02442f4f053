// Feeds arbitrary bytes to the key-file reader. The first byte picks the path: its low bit chooses the
// private (PEM) reader, the next bit whether a passphrase is given; the rest is the key file.

#include "fingerprint/QNFingerprint.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

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
    if (digest && digest->size() != 16) {
        std::abort();
    }
    // A failed read leaves no key behind.
    if (!digest && (fingerprint->type() != QNFingerprintTypeNone || fingerprint->rsa() || fingerprint->dsa())) {
        std::abort();
    }
    // Only the private reader can ask for a passphrase, and only when none was given.
    if (needsPassphrase && (!privateKey || !passphrase.isNull())) {
        std::abort();
    }
    const QString text = fingerprint->fingerprintString(privateKey, nullptr);
    if (text.isNull() != !digest || (!text.isNull() && text.size() != 47)) {
        std::abort();
    }
    return 0;
}
