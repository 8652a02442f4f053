// What opening an encrypted OpenSSH private key costs: the bcrypt KDF for 48 bytes (aes256-ctr's key and
// IV, the cipher ssh-keygen picks) at ssh-keygen's default of 16 rounds, at 100, and at the most rounds a
// key file may ask for; then a whole fingerprint of an Ed25519 key encrypted that way by ssh-keygen.

#include "fingerprint/QNBcryptPbkdf.h"
#include "fingerprint/QNFingerprint.h"
#include "fingerprint/QNOpenSSHPrivateKey.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

void bcryptKDF(benchmark::State& state) {
    const QByteArray salt(16, 's');
    for (auto _ : state) {
        benchmark::DoNotOptimize(QNBcryptPbkdf::derive("correct horse battery", salt, quint32(state.range(0)), 48));
    }
}
BENCHMARK(bcryptKDF)->Arg(16)->Arg(100)->Arg(QNOpenSSHPrivateKey::kMaximumRounds)->Unit(benchmark::kMillisecond);

void encryptedKeyFingerprint(benchmark::State& state) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("key"));
    if (QProcess::execute(QStringLiteral("ssh-keygen"),
                          {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"), QStringLiteral("-N"),
                           QStringLiteral("pass phrase"), QStringLiteral("-f"), path}) != 0) {
        state.SkipWithError("ssh-keygen failed");
        return;
    }
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    const QByteArray data = file.readAll();
    for (auto _ : state) {
        const auto fingerprint = QNFingerprint::fingerprintWithData(data, QStringLiteral("pass phrase"));
        if (!fingerprint->fingerprintData(true, nullptr)) {
            state.SkipWithError("the key did not load");
            return;
        }
    }
}
BENCHMARK(encryptedKeyFingerprint)->Unit(benchmark::kMillisecond);

} // namespace
