// quillonctl fingerprint, run as a program on a key made by ssh-keygen.

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
        // An encrypted RSA key in PEM form; the private key has the fingerprint of its public half.
        const QNTestProcessResult made = qnRunProcess(
            "ssh-keygen", {"-q", "-N", kPassphrase, "-t", "rsa", "-b", "2048", "-m", "PEM", "-f", path("rsa")});
        ASSERT_EQ(made.exitCode, 0) << made.standardError.toStdString();
        _md5 = oracle("md5");
        _sha256 = oracle("sha256");
        ASSERT_EQ(_md5.size(), 47);
        ASSERT_EQ(_sha256.size(), 50);
        ASSERT_TRUE(writeFile(path("pass"), kPassphrase.toUtf8() + "\n"));
        ASSERT_TRUE(writeFile(path("wrong"), "not it\n"));
        ASSERT_TRUE(writeFile(path("garbage"), "not a key\n"));
    }

    // ssh-keygen -l prints "MD5:" and the pairs, or the SHA-256 form whole.
    QByteArray oracle(const char* hash) const {
        const QNTestProcessResult result = qnRunProcess("ssh-keygen", {"-l", "-E", hash, "-f", path("rsa.pub")});
        for (const QByteArray& field : result.standardOutput.split(' ')) {
            if (field.startsWith("MD5:")) {
                return field.mid(4);
            }
            if (field.startsWith("SHA256:")) {
                return field;
            }
        }
        return QByteArray();
    }

    QByteArray _md5;
    QByteArray _sha256;
};

} // namespace

// What the key files themselves may hold is the fingerprint library's tests' business; this is the command.
TEST_F(FingerprintCommand, PrintsTheFingerprintOrSaysWhy) {
    const auto f = [this](const char* name) { return path(name); };
    const QByteArray& md5 = _md5;
    const struct {
        const char* name;
        QStringList arguments;
        int exitCode;
        QByteArray printed; // the line on stdout for 0, part of stderr otherwise
    } cases[] = {
        {"public key", {f("rsa.pub")}, 0, md5},
        {"display form", {"--display", f("rsa.pub")}, 0, md5.left(24) + "\r\n" + md5.mid(24)},
        {"SHA-256", {"--sha256", f("rsa.pub")}, 0, _sha256},
        {"encrypted, no passphrase", {"--private", f("rsa")}, 1, "--passphrase-file"},
        {"encrypted, passphrase file", {f("rsa"), "--private", "--passphrase-file", f("pass")}, 0, md5},
        {"passphrase file with =", {"--private", "--passphrase-file=" + f("pass"), f("rsa")}, 0, md5},
        {"private key known by its armour", {"--sha256", f("rsa"), "--passphrase-file", f("pass")}, 0, _sha256},
        {"wrong passphrase", {f("rsa"), "--passphrase-file", f("wrong")}, 1, "wrong passphrase"},
        {"not a key", {f("garbage")}, 1, "no SSH key"},
        {"SHA-256 has no display form", {"--sha256", "--display", f("rsa.pub")}, 2, "--display"},
        {"missing passphrase file", {"--private", "--passphrase-file", f("missing"), f("rsa")}, 1, "missing"},
        {"no file", {}, 2, "fingerprint"},
        {"two files", {f("rsa.pub"), f("rsa.pub")}, 2, "fingerprint"},
        {"unknown option", {"--sha1", f("rsa.pub")}, 2, "--sha1"},
        {"passphrase file without a name", {f("rsa.pub"), "--passphrase-file"}, 2, "--passphrase-file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QNTestProcessResult result = run(QStringList{"fingerprint"} + c.arguments);
        ASSERT_TRUE(result.started);
        EXPECT_FALSE(result.crashed);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.standardError.toStdString();
        if (c.exitCode == 0) {
            EXPECT_EQ(result.standardOutput, c.printed + "\n");
            EXPECT_TRUE(result.standardError.isEmpty()) << result.standardError.toStdString();
        } else {
            EXPECT_TRUE(result.standardOutput.isEmpty());
            EXPECT_TRUE(result.standardError.contains(c.printed)) << result.standardError.toStdString();
        }
    }
}
