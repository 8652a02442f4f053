#include "util/QNDataAdditions.h"

#include <QByteArray>

#include <gtest/gtest.h>

namespace {

TEST(QNDataAdditions, Base64Encode) {
    const struct {
        QByteArray data;
        QString text;
    } cases[] = {
        {QByteArray(), QStringLiteral("")},
        {QByteArray("a"), QStringLiteral("YQ==")},
        {QByteArray("ab"), QStringLiteral("YWI=")},
        {QByteArray("abc"), QStringLiteral("YWJj")},
        {QByteArray("\x00\xFF\xFE\x3E\x3F", 5), QStringLiteral("AP/+Pj8=")},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.text.toStdString());
        const QString encoded = QNDataAdditions::base64String(entry.data);
        EXPECT_EQ(encoded, entry.text);
        EXPECT_FALSE(encoded.isNull());
    }
    // No line breaks however long.
    EXPECT_EQ(QNDataAdditions::base64String(QByteArray(300, 'x')).size(), 400);
}

TEST(QNDataAdditions, Base64Decode) {
    const struct {
        QString text;
        std::optional<QByteArray> data;
    } cases[] = {
        {QStringLiteral("YWJj"), QByteArray("abc")},
        {QStringLiteral("YW\r\nJj"), QByteArray("abc")},
        {QStringLiteral(" Y W\tJ j \n"), QByteArray("abc")},
        {QStringLiteral("YWI="), QByteArray("ab")},
        {QStringLiteral("YQ=="), QByteArray("a")},
        {QStringLiteral("AP/+Pj8="), QByteArray("\x00\xFF\xFE\x3E\x3F", 5)},
        {QStringLiteral("YWJ"), std::nullopt},
        {QStringLiteral(""), std::nullopt},
        {QString(), std::nullopt},
        {QStringLiteral(" \r\n"), std::nullopt},
        {QStringLiteral("YWJjZ"), std::nullopt},
        {QStringLiteral("===="), QByteArray()},
        // Characters outside the alphabet, a padding sign inside the text and other blanks read as 0.
        {QStringLiteral("YW!j"), QByteArray("a`#")},
        {QStringLiteral("Y=Jj"), QByteArray("`\x02\x63", 3)},
        {QStringLiteral(u"Y\u00E9Jj"), QByteArray("`\x02\x63", 3)},
        {QStringLiteral(u"YW\u000BJj"), std::nullopt},
        // Only trailing padding is dropped; the group cut short reads its missing characters as "A".
        {QStringLiteral("YWJjYQ=="), QByteArray("abca")},
        {QStringLiteral("YWJjY==="), QByteArray("abc")},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.text.toStdString());
        const std::optional<QByteArray> data = QNDataAdditions::dataWithBase64String(entry.text);
        ASSERT_EQ(data.has_value(), entry.data.has_value());
        if (data) {
            EXPECT_EQ(data->toHex(), entry.data->toHex());
        }
    }
}

TEST(QNDataAdditions, Base64RoundTripOfEveryByte) {
    QByteArray data;
    for (int value = 0; value < 256; ++value) {
        data.append(char(value));
    }
    for (qsizetype length = 0; length <= data.size(); length += 37) {
        const QByteArray slice = data.left(length);
        const std::optional<QByteArray> decoded =
            QNDataAdditions::dataWithBase64String(QNDataAdditions::base64String(slice));
        if (length == 0) {
            EXPECT_FALSE(decoded.has_value());
            continue;
        }
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(*decoded, slice);
    }
}

TEST(QNDataAdditions, Base64Value) {
    const QByteArray alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int value = 0; value < 64; ++value) {
        EXPECT_EQ(QNDataAdditions::base64Value(alphabet[value]), value) << alphabet[value];
    }
    for (int outside : {int('='), int('-'), int('_'), int(' '), 0, 127, 128, 255, 0x10FFFF, -1, -200}) {
        EXPECT_EQ(QNDataAdditions::base64Value(outside), 0) << outside;
    }
}

} // namespace
