// quillonctl fingerprint, run as a program on keys made by ssh-keygen.

#include "support/QNTestProcess.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

#ifdef QN_QUILLONCTL_PATH
const QString kQuillonctl = QStringLiteral(QN_QUILLONCTL_PATH);
#else
const QString kQuillonctl;
#endif

const QString kPassphrase = QStringLiteral("correct horse battery");

class FingerprintCommand : public ::testing::Test {
protected:
    void SetUp() override {
        if (kQuillonctl.isEmpty()) {
            GTEST_SKIP() << "quillonctl is not built";
        }
        ASSERT_TRUE(_folder.isValid());
        ASSERT_TRUE(makeKey(QStringLiteral("plain"), {}));
        ASSERT_TRUE(makeKey(QStringLiteral("encrypted"),
                            {QStringLiteral("-m"), QStringLiteral("PEM"), QStringLiteral("-N"), kPassphrase}));
        _md5 = oracle(path(QStringLiteral("plain.pub")));
        _encryptedMD5 = oracle(path(QStringLiteral("encrypted.pub")));
        ASSERT_EQ(_md5.size(), 47);
        ASSERT_EQ(_encryptedMD5.size(), 47);
        ASSERT_TRUE(write(QStringLiteral("passphrase"), kPassphrase.toUtf8() + "\n"));
        ASSERT_TRUE(write(QStringLiteral("wrong"), "not it\n"));
        ASSERT_TRUE(write(QStringLiteral("garbage"), "this is not a key\n"));
    }

    QString path(const QString& name) const { return _folder.filePath(name); }

    bool write(const QString& name, const QByteArray& contents) const {
        QFile file(path(name));
        return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
    }

    bool makeKey(const QString& name, const QStringList& options) const {
        QStringList arguments = {QStringLiteral("-q"),
                                 QStringLiteral("-t"),
                                 QStringLiteral("rsa"),
                                 QStringLiteral("-b"),
                                 QStringLiteral("2048"),
                                 QStringLiteral("-f"),
                                 path(name)};
        if (!options.contains(QStringLiteral("-N"))) {
            arguments << QStringLiteral("-N") << QString();
        }
        const QNTestProcessResult result = qnRunProcess(QStringLiteral("ssh-keygen"), arguments + options);
        return result.started && result.exitCode == 0;
    }

    static QString oracle(const QString& file) {
        const QNTestProcessResult result =
            qnRunProcess(QStringLiteral("ssh-keygen"), {QStringLiteral("-l"), QStringLiteral("-E"),
                                                        QStringLiteral("md5"), QStringLiteral("-f"), file});
        for (const QByteArray& field : result.standardOutput.split(' ')) {
            if (field.startsWith("MD5:")) {
                return QString::fromLatin1(field.mid(4));
            }
        }
        return QString();
    }

    QTemporaryDir _folder;
    QString _md5;
    QString _encryptedMD5;
};

} // namespace

TEST_F(FingerprintCommand, PrintsTheFingerprintOrSaysWhy) {
    const QByteArray md5 = _md5.toLatin1();
    const QByteArray encryptedMD5 = _encryptedMD5.toLatin1();
    const struct {
        const char* name;
        QStringList arguments;
        int exitCode;
        QByteArray standardOutput;
        const char* errorContains;
    } cases[] = {
        {"public key", {path("plain.pub")}, 0, md5 + "\n", nullptr},
        {"display form", {"--display", path("plain.pub")}, 0, md5.left(24) + "\r\n" + md5.mid(24) + "\n", nullptr},
        {"encrypted, no passphrase", {"--private", path("encrypted")}, 1, "", "passphrase"},
        {"encrypted, passphrase file",
         {path("encrypted"), "--private", "--passphrase-file", path("passphrase")},
         0,
         encryptedMD5 + "\n",
         nullptr},
        {"encrypted, passphrase file with =",
         {"--private", "--passphrase-file=" + path("passphrase"), path("encrypted")},
         0,
         encryptedMD5 + "\n",
         nullptr},
        {"encrypted, wrong passphrase",
         {"--private", "--passphrase-file", path("wrong"), path("encrypted")},
         1,
         "",
         "encrypted"},
        {"private key without --private", {path("encrypted")}, 1, "", "--private"},
        {"not a key", {path("garbage")}, 1, "", "garbage"},
        {"missing file", {path("missing")}, 1, "", "missing"},
        {"missing passphrase file",
         {"--private", "--passphrase-file", path("missing"), path("encrypted")},
         1,
         "",
         "missing"},
        {"no file", {}, 2, "", "fingerprint"},
        {"two files", {path("plain.pub"), path("plain.pub")}, 2, "", "fingerprint"},
        {"unknown option", {"--sha256", path("plain.pub")}, 2, "", "--sha256"},
        {"passphrase file without a name", {path("plain.pub"), "--passphrase-file"}, 2, "", "--passphrase-file"},
    };
    for (const auto& c : cases) {
        const QNTestProcessResult result =
            qnRunProcess(kQuillonctl, QStringList{QStringLiteral("fingerprint")} + c.arguments);
        ASSERT_TRUE(result.started) << c.name;
        EXPECT_FALSE(result.crashed) << c.name;
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.standardError.constData();
        EXPECT_EQ(result.standardOutput, c.standardOutput) << c.name;
        if (c.errorContains) {
            EXPECT_TRUE(result.standardError.contains(c.errorContains))
                << c.name << ": " << result.standardError.constData();
        } else {
            EXPECT_TRUE(result.standardError.isEmpty()) << c.name << ": " << result.standardError.constData();
        }
    }
}

TEST_F(FingerprintCommand, Help) {
    const QNTestProcessResult result =
        qnRunProcess(kQuillonctl, {QStringLiteral("fingerprint"), QStringLiteral("--help")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.standardOutput.startsWith("Usage: quillonctl fingerprint"));
    EXPECT_TRUE(result.standardOutput.contains("--passphrase-file"));
}
