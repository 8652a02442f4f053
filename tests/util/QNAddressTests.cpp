#include "util/QNUtilities.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

constexpr QNAddressWords kZero{0, 0, 0, 0};
constexpr QNAddressWords kSentinel{0xDEADBEEF, 0xDEADBEEF, 0xDEADBEEF, 0xDEADBEEF};

QNAddressWords v4(quint32 word) {
    return {0, 0, 0, word};
}

TEST(QNAddress, ParseIPRangeString) {
    const struct {
        QString text;
        bool valid;
        QNAddressWords start;
        QNAddressWords end;
        bool isIPv6;
    } cases[] = {
        {QStringLiteral(" 10.1.2.3 - 10.1.2.4 "), true, v4(0x0A010203), v4(0x0A010204), false},
        {QStringLiteral("10.1.2.3"), true, v4(0x0A010203), kZero, false},
        {QStringLiteral("fd00::-fdff::"), true, {0xFD000000, 0, 0, 0}, {0xFDFF0000, 0, 0, 0}, true},
        {QStringLiteral("2001:db8::1:2"), true, {0x20010DB8, 0, 0, 0x00010002}, kZero, true},
        // The order of a range is not checked.
        {QStringLiteral("10.0.0.9-10.0.0.1"), true, v4(0x0A000009), v4(0x0A000001), false},
        // Mixed families fail; the start written so far stays.
        {QStringLiteral("10.0.0.1-::1"), false, v4(0x0A000001), kZero, false},
        {QStringLiteral("::1-10.0.0.1"), false, kZero, kZero, false},
        {QStringLiteral("10.0.0.0/8"), false, kZero, kZero, false},
        {QStringLiteral("10.0.0"), false, kZero, kZero, false},
        {QStringLiteral("10.0.0.256"), false, kZero, kZero, false},
        {QStringLiteral("1.2.3.4-5.6.7.8-9.10.11.12"), false, kZero, kZero, false},
        {QStringLiteral("example.com"), false, kZero, kZero, false},
        {QStringLiteral(""), false, kZero, kZero, false},
        // An embedded NUL must not let the text before it pass.
        {QStringLiteral("127.0.0.1") + QChar(0) + QStringLiteral("x"), false, kZero, kZero, false},
        {QStringLiteral(u"\uFF11.2.3.4"), false, kZero, kZero, false},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.text.toStdString());
        QNAddressWords start = kSentinel;
        QNAddressWords end = kSentinel;
        bool isIPv6 = !entry.isIPv6;
        EXPECT_EQ(QNUtilities::parseIPRangeString(entry.text, &start, &end, &isIPv6), entry.valid);
        EXPECT_EQ(start, entry.start);
        EXPECT_EQ(end, entry.end);
        EXPECT_EQ(isIPv6, entry.isIPv6);
    }
    EXPECT_TRUE(QNUtilities::parseIPRangeString(QStringLiteral("::1"), nullptr, nullptr, nullptr));
}

TEST(QNAddress, ResolveHost) {
    const struct {
        QString text;
        bool valid;
        // None for names whose family depends on the machine's hosts file (whether localhost has an IPv6
        // entry): either is right, but the address must be the loopback of the family reported.
        std::optional<QNAddressWords> address;
        bool isIPv6;
    } cases[] = {
        {QStringLiteral("127.0.0.1"), true, v4(0x7F000001), false},
        {QStringLiteral("::1"), true, QNAddressWords{0, 0, 0, 1}, true},
        {QStringLiteral("http://10.9.8.7:3128/path?q=1"), true, v4(0x0A090807), false},
        {QStringLiteral("HTTP://10.9.8.7"), true, v4(0x0A090807), false},
        {QStringLiteral("ssh://[fd00::5]:22"), true, QNAddressWords{0xFD000000, 0, 0, 5}, true},
        {QStringLiteral("localhost"), true, std::nullopt, false},
        {QStringLiteral("socks5://localhost:1080"), true, std::nullopt, false},
        // "name:port" reads as a URL whose scheme is the name and which has no host.
        {QStringLiteral("localhost:8080"), false, kZero, false},
        {QStringLiteral("file:///tmp/x"), false, kZero, false},
        {QStringLiteral("http://nowhere.invalid:80"), false, kZero, false},
        {QStringLiteral(""), false, kZero, false},
        {QStringLiteral("127.0.0.1") + QChar(0) + QStringLiteral("x"), false, kZero, false},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.text.toStdString());
        QNAddressWords address = kSentinel;
        bool isIPv6 = !entry.isIPv6;
        EXPECT_EQ(QNUtilities::resolveHost(entry.text, &address, &isIPv6), entry.valid);
        if (entry.address) {
            EXPECT_EQ(address, *entry.address);
            EXPECT_EQ(isIPv6, entry.isIPv6);
        } else {
            EXPECT_EQ(address, isIPv6 ? QNAddressWords({0, 0, 0, 1}) : v4(0x7F000001));
        }
    }
    EXPECT_TRUE(QNUtilities::resolveHost(QStringLiteral("127.0.0.1"), nullptr, nullptr));
}

} // namespace
