#include "util/QNUtilities.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace {

TEST(QNFormatting, ConvertDataToString) {
    const quint8 bytes[] = {0x00, 0x9F, 0xA0, 0xFF, 0x01, 0x10};
    char buffer[16];
    std::string(sizeof buffer, '#').copy(buffer, sizeof buffer);
    QNUtilities::convertDataToString(bytes, buffer, 4);
    // Exactly eight characters, no terminator.
    EXPECT_EQ(std::string(buffer, sizeof buffer), "009FA0FF########");
    QNUtilities::convertDataToString(bytes + 4, buffer, 2);
    EXPECT_EQ(std::string(buffer, 4), "0110");
    QNUtilities::convertDataToString(nullptr, nullptr, 0);
}

TEST(QNFormatting, DataSizeString) {
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const struct {
        quint64 size;
        const char* text;
    } cases[] = {
        {0, "0 B"},
        {1023, "1,023 B"},
        {1024, "1.0 KB"},
        {1048575, "1024.0 KB"},
        {1048576, "1.0 MB"},
        {1610612736, "1.5 GB"},
        {1099511627775, "1024.0 GB"},
        {1099511627776, "1.0 TB"},
        {1125899906842624, "1024.0 TB"},
        // The float carries 24 significant bits; larger counts print at that precision.
        {18446744073709551615ULL, "16777216.0 TB"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.size);
        EXPECT_EQ(QNUtilities::dataSizeString(entry.size, english), QString::fromLatin1(entry.text));
    }
}

TEST(QNFormatting, DataSizeStringLocales) {
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_EQ(QNUtilities::dataSizeString(1023, german), QStringLiteral("1.023 B"));
    // The C locale omits group separators unless told otherwise; small counts still get them.
    EXPECT_EQ(QNUtilities::dataSizeString(1023, QLocale::c()), QStringLiteral("1,023 B"));
    // Larger counts always use "." whatever the locale.
    const QLocale previous;
    QLocale::setDefault(german);
    EXPECT_EQ(QNUtilities::dataSizeString(1536, german), QStringLiteral("1.5 KB"));
    EXPECT_EQ(QNUtilities::dataSizeString(1536), QStringLiteral("1.5 KB"));
    QLocale::setDefault(previous);
}

TEST(QNFormatting, FormatFingerprint) {
    const struct {
        QString fingerprint;
        QString expected;
    } cases[] = {
        {QStringLiteral("00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff"),
         QStringLiteral("00:11:22:33:44:55:66:77:\r\n88:99:aa:bb:cc:dd:ee:ff")},
        {QStringLiteral("a"), QStringLiteral("a\r\n")},
        {QStringLiteral("ab"), QStringLiteral("ab\r\n")},
        {QStringLiteral("abcd"), QStringLiteral("abc\r\nd")},
        {QStringLiteral(""), QStringLiteral("\r\n")},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.fingerprint.toStdString());
        EXPECT_EQ(QNUtilities::formatFingerprint(entry.fingerprint), entry.expected);
    }
}

// Points the temporary folder somewhere of the test's own for the life of the object.
class TemporaryFolderOverride {
public:
    explicit TemporaryFolderOverride(const QString& path)
        : _previous(qgetenv("TMPDIR"))
        , _hadPrevious(qEnvironmentVariableIsSet("TMPDIR")) {
        qputenv("TMPDIR", QFile::encodeName(path));
    }
    ~TemporaryFolderOverride() {
        if (_hadPrevious) {
            qputenv("TMPDIR", _previous);
        } else {
            qunsetenv("TMPDIR");
        }
    }

private:
    QByteArray _previous;
    bool _hadPrevious;
};

TEST(QNFormatting, TemporaryFilePath) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    {
        TemporaryFolderOverride override(folder.path());
        const QString first = QNUtilities::temporaryfilePath();
        const QString second = QNUtilities::temporaryfilePath();
        ASSERT_FALSE(first.isNull());
        EXPECT_NE(first, second);
        for (const QString& path : {first, second}) {
            SCOPED_TRACE(path.toStdString());
            const QFileInfo info(path);
            EXPECT_TRUE(info.isFile());
            EXPECT_EQ(info.size(), 0);
            EXPECT_EQ(info.absolutePath(), QDir(folder.path()).absolutePath());
            EXPECT_TRUE(info.fileName().startsWith(QStringLiteral("QNTempFile")));
            EXPECT_EQ(info.fileName().size(), 16);
            struct stat status {};
            ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, 0600u);
        }
    }
    // A temporary folder that does not exist gives no path.
    TemporaryFolderOverride missing(folder.filePath(QStringLiteral("missing")));
    EXPECT_TRUE(QNUtilities::temporaryfilePath().isNull());
}

} // namespace
