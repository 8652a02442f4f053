// quillonctl fingerprint, run as a program on keys made by ssh-keygen.

#include "test_fixture.h"

namespace {

const QString kPassphrase = QStringLiteral("correct horse battery");

class FingerprintCommand : public Quillonctl {
protected:
    void SetUp() override {
        Quillonctl::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        // One key: its public half and the encrypted private key have the same fingerprint.
        const QNTestProcessResult made =
            qnRunProcess(QStringLiteral("ssh-keygen"),
                         {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("rsa"), QStringLiteral("-b"),
                          QStringLiteral("2048"), QStringLiteral("-m"), QStringLiteral("PEM"), QStringLiteral("-N"),
                          kPassphrase, QStringLiteral("-f"), path("encrypted")});
        ASSERT_EQ(made.exitCode, 0) << made.standardError.toStdString();
        _md5 = oracle(path("encrypted.pub"));
        ASSERT_EQ(_md5.size(), 47);
        ASSERT_TRUE(writeFile(path("passphrase"), kPassphrase.toUtf8() + "\n"));
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

    QString _md5;
};

} // namespace

// What the key files themselves may hold is the fingerprint library's tests' business; this is the command.
TEST_F(FingerprintCommand, PrintsTheFingerprintOrSaysWhy) {
    const QByteArray md5 = _md5.toLatin1();
    const struct {
        const char* name;
        QStringList arguments;
        int exitCode;
        QByteArray standardOutput;
        const char* errorContains;
    } cases[] = {
        {"public key", {path("encrypted.pub")}, 0, md5 + "\n", nullptr},
        {"display form", {"--display", path("encrypted.pub")}, 0, md5.left(24) + "\r\n" + md5.mid(24) + "\n", nullptr},
        {"encrypted, no passphrase", {"--private", path("encrypted")}, 1, "", "passphrase"},
        {"encrypted, passphrase file",
         {path("encrypted"), "--private", "--passphrase-file", path("passphrase")},
         0,
         md5 + "\n",
         nullptr},
        {"encrypted, passphrase file with =",
         {"--private", "--passphrase-file=" + path("passphrase"), path("encrypted")},
         0,
         md5 + "\n",
         nullptr},
        {"private key without --private", {path("encrypted")}, 1, "", "--private"},
        {"missing passphrase file",
         {"--private", "--passphrase-file", path("missing"), path("encrypted")},
         1,
         "",
         "missing"},
        {"no file", {}, 2, "", "fingerprint"},
        {"two files", {path("encrypted.pub"), path("encrypted.pub")}, 2, "", "fingerprint"},
        {"unknown option", {"--sha256", path("encrypted.pub")}, 2, "", "--sha256"},
        {"passphrase file without a name", {path("encrypted.pub"), "--passphrase-file"}, 2, "", "--passphrase-file"},
    };
    for (const auto& c : cases) {
        const QNTestProcessResult result = run(QStringList{QStringLiteral("fingerprint")} + c.arguments);
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
