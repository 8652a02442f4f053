#include "util/QNUtilities.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

namespace {

TEST(QNFormatting, ConvertDataToString) {
    const quint8 bytes[] = {0x00, 0x9F, 0xA0, 0xFF};
    char buffer[16];
    std::string(sizeof buffer, '#').copy(buffer, sizeof buffer);
    QNUtilities::convertDataToString(bytes, buffer, 4);
    // Exactly eight characters, no terminator.
    EXPECT_EQ(std::string(buffer, sizeof buffer), "009FA0FF########");
    QNUtilities::convertDataToString(nullptr, nullptr, 0);
}

TEST(QNFormatting, DataSizeString) {
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QLocale german(QLocale::German, QLocale::Germany);
    const struct {
        quint64 size;
        QLocale locale;
        const char* text;
    } cases[] = {
        {0, english, "0 B"},
        {1023, english, "1,023 B"},
        {1023, german, "1.023 B"},
        // The C locale omits group separators unless told otherwise; small counts still get them.
        {1023, QLocale::c(), "1,023 B"},
        {1024, english, "1.0 KB"},
        // Larger counts always use "." whatever the locale.
        {1536, german, "1.5 KB"},
        {1048575, english, "1024.0 KB"},
        {1048576, english, "1.0 MB"},
        {1610612736, english, "1.5 GB"},
        {1099511627775, english, "1024.0 GB"},
        {1099511627776, english, "1.0 TB"},
        {1125899906842624, english, "1024.0 TB"},
        // The float carries 24 significant bits; larger counts print at that precision.
        {18446744073709551615ULL, english, "16777216.0 TB"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.size);
        EXPECT_EQ(QNUtilities::dataSizeString(entry.size, entry.locale), QString::fromLatin1(entry.text));
    }
}

// The break goes after half the text and one character more (the fingerprint itself is checked end to end
// through quillonctl fingerprint --display); after the empty text it is appended rather than padded.
TEST(QNFormatting, FormatFingerprint) {
    EXPECT_EQ(QNUtilities::formatFingerprint(QStringLiteral("abcd")), QStringLiteral("abc\r\nd"));
    EXPECT_EQ(QNUtilities::formatFingerprint(QString()), QStringLiteral("\r\n"));
}

TEST(QNFormatting, TemporaryFilePath) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QByteArray previous = qgetenv("TMPDIR");
    const bool hadPrevious = qEnvironmentVariableIsSet("TMPDIR");
    const auto restore = qScopeGuard([&] { hadPrevious ? qputenv("TMPDIR", previous) : qunsetenv("TMPDIR"); });
    qputenv("TMPDIR", QFile::encodeName(folder.path()));
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
        struct stat status {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u);
    }
    // A temporary folder that does not exist gives no path.
    qputenv("TMPDIR", QFile::encodeName(folder.filePath(QStringLiteral("missing"))));
    EXPECT_TRUE(QNUtilities::temporaryfilePath().isNull());
}

} // namespace
