#include "util/QNDataAdditions.h"

#include <QByteArray>

#include <gtest/gtest.h>

namespace {

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
        {QStringLiteral(" \r\n"), std::nullopt},
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
    // Values outside the alphabet's table are read as 0, not looked up.
    for (int outside : {int('='), 128, 255, 0x10FFFF, -1, -200}) {
        EXPECT_EQ(QNDataAdditions::base64Value(outside), 0) << outside;
    }
}

// Every byte value through the encoder and back, in slices of every remainder modulo 3.
TEST(QNDataAdditions, Base64RoundTripOfEveryByte) {
    QByteArray data;
    for (int value = 0; value < 256; ++value) {
        data.append(char(value));
    }
    for (qsizetype length = 1; length <= data.size(); length += 37) {
        const QByteArray slice = data.left(length);
        const QString text = QNDataAdditions::base64String(slice);
        // One line however long.
        EXPECT_FALSE(text.contains(u'\n'));
        EXPECT_EQ(QNDataAdditions::dataWithBase64String(text), slice) << length;
    }
    // Empty, not null: null stands for failure.
    EXPECT_FALSE(QNDataAdditions::base64String(QByteArray()).isNull());
    EXPECT_TRUE(QNDataAdditions::base64String(QByteArray()).isEmpty());
}

} // namespace
