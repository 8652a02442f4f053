#include "FingerprintCommand.h"

#include "fingerprint/QNFingerprint.h"
#include "util/QNUtilities.h"

#include <QFile>

#include <cstdio>

namespace {

// Key files are small; anything bigger is not worth holding in memory.
constexpr qint64 kMaximumFileSize = 16 * 1024 * 1024;

const char kUsage[] =
    "Usage: quillonctl fingerprint [options] FILE\n"
    "\n"
    "Prints the MD5 fingerprint of the SSH key in FILE as 16 colon-separated hex pairs, the digest\n"
    "'ssh-keygen -l -E md5' prints.\n"
    "FILE may hold a public key line or a certificate (RSA, DSA, Ed25519 or ECDSA; with or without\n"
    "authorised-keys options), a private key as ssh-keygen writes it (any of those types, possibly\n"
    "encrypted), a PEM private key (RSA or DSA, traditional or PKCS#8, possibly encrypted), or a\n"
    "protocol-1 key. A certificate has the fingerprint of the key it certifies.\n"
    "\n"
    "Options:\n"
    "  --sha256               Print the SHA-256 fingerprint instead, as 'ssh-keygen -l' does.\n"
    "  --passphrase-file F    Read the passphrase of an encrypted private key from the first line of F.\n"
    "  --display              Print the MD5 fingerprint as two lines of eight pairs.\n"
    "  --private              Read FILE as a private key even without its usual armour.\n"
    "  -h, --help             Show this help.\n";

void printError(const QString& text) {
    std::fprintf(stderr, "quillonctl fingerprint: %s\n", text.toLocal8Bit().constData());
}

int usageError(const QString& text) {
    printError(text);
    std::fprintf(stderr, "Try 'quillonctl fingerprint --help'.\n");
    return 2;
}

bool readFile(const QString& path, QByteArray* contents) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        printError(QStringLiteral("%1: %2").arg(path, file.errorString()));
        return false;
    }
    *contents = file.read(kMaximumFileSize + 1);
    if (contents->size() > kMaximumFileSize) {
        printError(QStringLiteral("%1: too large to be a key file").arg(path));
        return false;
    }
    return true;
}

// The passphrase is the file's first line, without its line end.
QString passphraseFromFile(const QByteArray& contents) {
    const qsizetype lineFeed = contents.indexOf('\n');
    QByteArray line = lineFeed < 0 ? contents : contents.left(lineFeed);
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    QString passphrase = QString::fromUtf8(line);
    if (passphrase.isNull()) {
        passphrase = QStringLiteral("");
    }
    return passphrase;
}

} // namespace

int runFingerprintCommand(const QStringList& arguments) {
    bool privateKey = false;
    bool display = false;
    bool sha256 = false;
    bool passphraseGiven = false;
    QString passphrasePath;
    QStringList files;
    bool optionsEnded = false;
    for (qsizetype index = 0; index < arguments.size(); ++index) {
        const QString& argument = arguments.at(index);
        if (optionsEnded || !argument.startsWith(u'-') || argument == QStringLiteral("-")) {
            files << argument;
        } else if (argument == QStringLiteral("--")) {
            optionsEnded = true;
        } else if (argument == QStringLiteral("-h") || argument == QStringLiteral("--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (argument == QStringLiteral("--private")) {
            privateKey = true;
        } else if (argument == QStringLiteral("--display")) {
            display = true;
        } else if (argument == QStringLiteral("--sha256")) {
            sha256 = true;
        } else if (argument == QStringLiteral("--passphrase-file")) {
            if (index + 1 >= arguments.size()) {
                return usageError(QStringLiteral("--passphrase-file needs a file"));
            }
            passphraseGiven = true;
            passphrasePath = arguments.at(++index);
        } else if (argument.startsWith(QStringLiteral("--passphrase-file="))) {
            passphraseGiven = true;
            passphrasePath = argument.mid(qsizetype(sizeof "--passphrase-file=") - 1);
        } else {
            return usageError(QStringLiteral("unknown option %1").arg(argument));
        }
    }
    if (display && sha256) {
        return usageError(QStringLiteral("--display shows MD5 fingerprints only"));
    }
    if (files.size() != 1) {
        return usageError(files.isEmpty() ? QStringLiteral("no key file given")
                                          : QStringLiteral("one key file at a time"));
    }
    const QString& path = files.constFirst();

    QByteArray data;
    if (!readFile(path, &data)) {
        return 1;
    }
    // A null passphrase means none was given; an empty first line is an empty passphrase.
    QString passphrase;
    if (passphraseGiven) {
        QByteArray contents;
        if (!readFile(passphrasePath, &contents)) {
            return 1;
        }
        passphrase = passphraseFromFile(contents);
    }

    // A private key file is known by its armour; its public key comes from the private reader.
    privateKey = privateKey || QNFingerprint::isPrivateKeyFile(data);
    bool needsPassphrase = false;
    const auto reader = QNFingerprint::fingerprintWithData(data, passphrase);
    const QString fingerprint = sha256 ? reader->fingerprintSHA256String(privateKey, &needsPassphrase)
                                       : reader->fingerprintString(privateKey, &needsPassphrase);
    if (fingerprint.isNull()) {
        if (needsPassphrase) {
            printError(
                QStringLiteral("%1: the key is encrypted; give its passphrase with --passphrase-file").arg(path));
        } else if (privateKey && passphraseGiven) {
            printError(QStringLiteral("%1: no private key could be read (wrong passphrase?)").arg(path));
        } else if (privateKey) {
            printError(QStringLiteral("%1: no private key could be read (RSA or DSA in PEM form, or any type in "
                                      "OpenSSH form)")
                           .arg(path));
        } else {
            printError(QStringLiteral("%1: no SSH key could be read").arg(path));
        }
        return 1;
    }
    const QString text = display ? QNUtilities::formatFingerprint(fingerprint) : fingerprint;
    std::fprintf(stdout, "%s\n", text.toUtf8().constData());
    return std::fflush(stdout) == 0 ? 0 : 1;
}
