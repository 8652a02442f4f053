#include "util/QNUtilities.h"

#include <QByteArray>
#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr qint64 kMax = std::numeric_limits<qint64>::max();
constexpr qint64 kMin = std::numeric_limits<qint64>::min();

TEST(QNValueReading, IntegerValueOfText) {
    const struct {
        QString text;
        qint64 expected;
    } cases[] = {
        {QString(), 0},
        {QStringLiteral("42"), 42},
        {QStringLiteral("  \t\n42"), 42},
        {QStringLiteral("+17"), 17},
        {QStringLiteral("-17"), -17},
        {QStringLiteral("12abc"), 12},
        {QStringLiteral("3.9"), 3},
        {QStringLiteral("-"), 0},
        {QStringLiteral("+-5"), 0},
        {QStringLiteral("- 5"), 0},
        {QStringLiteral("9223372036854775807"), kMax},
        {QStringLiteral("9223372036854775808"), kMax},
        {QStringLiteral("99999999999999999999999999"), kMax},
        {QStringLiteral("-9223372036854775808"), kMin},
        {QStringLiteral("-9223372036854775809"), kMin},
        {QStringLiteral("-99999999999999999999999999"), kMin},
        {QStringLiteral("000000000000000000000000000000007"), 7},
        // Digits of other scripts count with their values, also outside the Basic Multilingual Plane.
        {QStringLiteral(u"\u0668\u0660"), 80},
        {QStringLiteral(u"\U0001D7D7\U0001D7CE"), 90},
        {QStringLiteral(u"\u00A012"), 12},
        // A lone surrogate is no digit and no space.
        {QString(QChar(0xD800)) + QStringLiteral("5"), 0},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.text.toStdString());
        EXPECT_EQ(QNUtilities::integerValue(entry.text), entry.expected);
    }
}

TEST(QNValueReading, IntegerValueOfVariant) {
    const struct {
        QVariant value;
        qint64 expected;
    } cases[] = {
        {QVariant(), 0},
        {QVariant(true), 1},
        {QVariant(false), 0},
        {QVariant(int(-5)), -5},
        {QVariant(uint(4000000000u)), 4000000000LL},
        {QVariant(qlonglong(kMin)), kMin},
        {QVariant(qulonglong(18446744073709551615ULL)), kMax},
        {QVariant(2.9), 2},
        {QVariant(-2.9), -2},
        {QVariant(1e300), kMax},
        {QVariant(-1e300), kMin},
        {QVariant(std::nan("")), 0},
        {QVariant(std::numeric_limits<double>::infinity()), kMax},
        {QVariant(QStringLiteral(" -12x")), -12},
        {QVariant(QByteArray("77 bottles")), 77},
        {QVariant(QVariantList{1, 2}), 0},
        {QVariant(QVariantMap{{QStringLiteral("a"), 1}}), 0},
        {QVariant(QDateTime::fromSecsSinceEpoch(1000)), 0},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.value.typeName() ? entry.value.typeName() : "invalid");
        EXPECT_EQ(QNUtilities::integerValue(entry.value), entry.expected);
    }
}

TEST(QNValueReading, BoolValue) {
    const struct {
        QVariant value;
        bool expected;
    } cases[] = {
        {QVariant(), false},
        {QVariant(true), true},
        {QVariant(false), false},
        {QVariant(0), false},
        {QVariant(-1), true},
        {QVariant(qulonglong(1) << 63), true},
        {QVariant(0.0), false},
        {QVariant(0.25), true},
        {QVariant(QStringLiteral("YES")), true},
        {QVariant(QStringLiteral("  yes")), true},
        {QVariant(QStringLiteral("T")), true},
        {QVariant(QStringLiteral("no")), false},
        {QVariant(QStringLiteral("0")), false},
        {QVariant(QStringLiteral("000")), false},
        {QVariant(QStringLiteral("0.5")), false},
        {QVariant(QStringLiteral("007")), true},
        {QVariant(QStringLiteral("-3")), true},
        {QVariant(QStringLiteral("+Y")), false},
        {QVariant(QStringLiteral("")), false},
        {QVariant(QByteArray("Yes")), true},
        {QVariant(QVariantList{true}), false},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.value.toString().toStdString());
        EXPECT_EQ(QNUtilities::boolValue(entry.value), entry.expected);
    }
}

} // namespace
