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
        // Two encrypted keys, a PEM RSA key and one as ssh-keygen writes it today; each has the fingerprint of
        // its public half.
        for (const QStringList& options : {QStringList{"-t", "rsa", "-b", "2048", "-m", "PEM", "-f", path("encrypted")},
                                           QStringList{"-t", "ed25519", "-a", "2", "-f", path("id_ed25519")}}) {
            const QNTestProcessResult made =
                qnRunProcess(QStringLiteral("ssh-keygen"), QStringList{"-q", "-N", kPassphrase} + options);
            ASSERT_EQ(made.exitCode, 0) << made.standardError.toStdString();
        }
        _md5 = oracle(path("encrypted.pub"), "MD5:");
        _edMD5 = oracle(path("id_ed25519.pub"), "MD5:");
        _edSHA256 = oracle(path("id_ed25519.pub"), "SHA256:");
        ASSERT_EQ(_md5.size(), 47);
        ASSERT_EQ(_edMD5.size(), 47);
        ASSERT_EQ(_edSHA256.size(), 50);
        ASSERT_TRUE(writeFile(path("passphrase"), kPassphrase.toUtf8() + "\n"));
        ASSERT_TRUE(writeFile(path("wrong"), "not it\n"));
        ASSERT_TRUE(writeFile(path("garbage"), "not a key\n"));
    }

    // ssh-keygen -l -E md5 prints "MD5:" and the pairs; the SHA-256 form is printed whole.
    static QByteArray oracle(const QString& file, const QByteArray& prefix) {
        const QNTestProcessResult result =
            qnRunProcess(QStringLiteral("ssh-keygen"), {"-l", "-E", prefix == "MD5:" ? "md5" : "sha256", "-f", file});
        for (const QByteArray& field : result.standardOutput.split(' ')) {
            if (field.startsWith(prefix)) {
                return prefix == "MD5:" ? field.mid(4) : field;
            }
        }
        return QByteArray();
    }

    QByteArray _md5;
    QByteArray _edMD5;
    QByteArray _edSHA256;
};

} // namespace

// What the key files themselves may hold is the fingerprint library's tests' business; this is the command.
TEST_F(FingerprintCommand, PrintsTheFingerprintOrSaysWhy) {
    const QByteArray& md5 = _md5;
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
        {"PEM key known by its armour",
         {path("encrypted"), "--passphrase-file", path("passphrase")},
         0,
         md5 + "\n",
         nullptr},
        {"OpenSSH key", {path("id_ed25519"), "--passphrase-file", path("passphrase")}, 0, _edMD5 + "\n", nullptr},
        {"OpenSSH key, SHA-256",
         {"--sha256", path("id_ed25519"), "--passphrase-file", path("passphrase")},
         0,
         _edSHA256 + "\n",
         nullptr},
        {"public key, SHA-256", {"--sha256", path("id_ed25519.pub")}, 0, _edSHA256 + "\n", nullptr},
        {"OpenSSH key, no passphrase", {path("id_ed25519")}, 1, "", "--passphrase-file"},
        {"OpenSSH key, wrong passphrase",
         {path("id_ed25519"), "--passphrase-file", path("wrong")},
         1,
         "",
         "wrong passphrase"},
        {"not a key", {path("garbage")}, 1, "", "no SSH key"},
        {"SHA-256 has no display form", {"--sha256", "--display", path("encrypted.pub")}, 2, "", "--display"},
        {"missing passphrase file",
         {"--private", "--passphrase-file", path("missing"), path("encrypted")},
         1,
         "",
         "missing"},
        {"no file", {}, 2, "", "fingerprint"},
        {"two files", {path("encrypted.pub"), path("encrypted.pub")}, 2, "", "fingerprint"},
        {"unknown option", {"--sha1", path("encrypted.pub")}, 2, "", "--sha1"},
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
