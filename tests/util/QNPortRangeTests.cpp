#include "util/QNUtilities.h"

#include <gtest/gtest.h>

namespace {

TEST(QNPortRange, Validators) {
    using Validator = bool (*)(const QString&);
    const Validator port = QNUtilities::validatePortString;
    const Validator ranges = QNUtilities::validatePortRangeString;
    const Validator interval = QNUtilities::validateServerAliveIntervalString;
    const struct {
        Validator validate;
        QString text;
        bool valid;
    } cases[] = {
        {port, "80", true},
        {port, "0", false},
        {port, "", false},
        {port, " 80", false},
        {port, "+80", false},
        {port, "65535", true},
        // Values are narrowed to 16 bits without complaint.
        {port, "65536", false},
        {port, "65537", true},
        // Clamped to the largest 64-bit number, whose low 16 bits are all set.
        {port, "99999999999999999999999", true},
        {port, QStringLiteral(u"\u0668\u0660"), true},
        {port, QStringLiteral(u"\u0660"), false},
        {ranges, " 1000 - 2000 , 80 ", true},
        {ranges, "2000-1000", false},
        {ranges, "80-", false},
        {ranges, "-80", true},
        {ranges, "1-2-3", false},
        {ranges, "80,a", false},
        {ranges, "", true},
        {ranges, "70000", true},
        // Compared before narrowing: 70000 is above 1000 even though it narrows to 4464.
        {ranges, "1000-70000", true},
        {ranges, "70000-1000", false},
        {ranges, "1\n-2", false},
        {ranges, QStringLiteral(u"1\u3000-\u20022"), true},
        {interval, "30", true},
        {interval, "0", false},
        {interval, "", false},
        {interval, "+30", false},
        {interval, "-30", false},
        {interval, "30s", false},
        {interval, "65536", true},
        {interval, "99999999999999999999", true},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.text.toStdString());
        EXPECT_EQ(entry.validate(entry.text), entry.valid);
    }
}

TEST(QNPortRange, ParsePortRangeString) {
    const struct {
        QString text;
        quint16 start;
        quint16 end;
        bool valid;
    } cases[] = {
        {QStringLiteral("8080"), 8080, 0, true},
        {QStringLiteral(" 1000 - 2000 "), 1000, 2000, true},
        {QStringLiteral("2000-1000"), 2000, 1000, false},
        {QStringLiteral("80-x"), 80, 0, false},
        {QStringLiteral("x-80"), 0, 0, false},
        {QStringLiteral("80-80"), 80, 80, true},
        {QStringLiteral(""), 0, 0, true},
        {QStringLiteral("-80"), 0, 80, true},
        {QStringLiteral("80-"), 80, 0, false},
        {QStringLiteral("65536"), 0, 0, true},
        {QStringLiteral("80,443"), 0, 0, false},
        // The end is compared after narrowing: 70000 narrows to 4464.
        {QStringLiteral("1000-70000"), 1000, 4464, true},
        {QStringLiteral("5000-70000"), 5000, 4464, false},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.text.toStdString());
        quint16 start = 0xBEEF;
        quint16 end = 0xBEEF;
        EXPECT_EQ(QNUtilities::parsePortRangeString(entry.text, &start, &end), entry.valid);
        EXPECT_EQ(start, entry.start);
        EXPECT_EQ(end, entry.end);
    }
    EXPECT_TRUE(QNUtilities::parsePortRangeString(QStringLiteral("1-2"), nullptr, nullptr));
}

TEST(QNVersion, CompareVersionString) {
    const struct {
        QString a;
        QString b;
        int expected;
    } cases[] = {
        {QStringLiteral("2.10"), QStringLiteral("2.9"), 1},
        {QStringLiteral("2.1"), QStringLiteral("2.1.0"), -1},
        {QStringLiteral("2.1.0"), QStringLiteral("2.1"), 1},
        {QString(), QStringLiteral("1"), -1},
        {QString(), QString(), 0},
        // The empty text has one (zero) component; the absent one has none.
        {QStringLiteral(""), QString(), 1},
        {QStringLiteral(""), QStringLiteral("0"), 0},
        {QStringLiteral("2.0.1\n"), QStringLiteral("2.0.1"), 0},
        {QStringLiteral("<html>"), QStringLiteral("2.0.0"), -1},
        {QStringLiteral("2.0b3"), QStringLiteral("2.0"), 0},
        {QStringLiteral("3"), QStringLiteral("2.99.99"), 1},
        // Components compare by their low 32 bits, unsigned.
        {QStringLiteral("4294967297"), QStringLiteral("1"), 0},
        {QStringLiteral("4294967295"), QStringLiteral("4294967294"), 1},
        {QStringLiteral("-1"), QStringLiteral("5"), 1},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE((entry.a.isNull() ? QStringLiteral("<null>") : entry.a).toStdString() + " vs " +
                     (entry.b.isNull() ? QStringLiteral("<null>") : entry.b).toStdString());
        EXPECT_EQ(QNUtilities::compareVersionString(entry.a, entry.b), entry.expected);
    }
}

} // namespace
