#include "util/QNUtilities.h"

#include <QByteArray>
#include <QDateTime>
#include <QVariantList>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr qint64 kMax = std::numeric_limits<qint64>::max();
constexpr qint64 kMin = std::numeric_limits<qint64>::min();

// Texts are read the same as plain strings and inside a QVariant.
TEST(QNValueReading, IntegerAndBoolValues) {
    const struct {
        QVariant value;
        qint64 integer;
        bool boolean;
    } cases[] = {
        {QVariant(), 0, false},
        {QVariant(QString()), 0, false},
        {QVariant(QStringLiteral("")), 0, false},
        {QVariant(QStringLiteral("42")), 42, true},
        {QVariant(QStringLiteral("  \t\n42")), 42, true},
        {QVariant(QStringLiteral("+17")), 17, true},
        {QVariant(QStringLiteral("-17")), -17, true},
        {QVariant(QStringLiteral("12abc")), 12, true},
        {QVariant(QStringLiteral("0.5")), 0, false},
        {QVariant(QStringLiteral("-")), 0, false},
        {QVariant(QStringLiteral("- 5")), 0, false},
        {QVariant(QStringLiteral("9223372036854775807")), kMax, true},
        {QVariant(QStringLiteral("9223372036854775808")), kMax, true},
        {QVariant(QStringLiteral("99999999999999999999999999")), kMax, true},
        {QVariant(QStringLiteral("-9223372036854775808")), kMin, true},
        {QVariant(QStringLiteral("-9223372036854775809")), kMin, true},
        {QVariant(QStringLiteral("-99999999999999999999999999")), kMin, true},
        {QVariant(QStringLiteral("000000000000000000000000000000007")), 7, true},
        {QVariant(QStringLiteral("000")), 0, false},
        // Digits of other scripts count with their values, also outside the Basic Multilingual Plane.
        {QVariant(QStringLiteral(u"\u0668\u0660")), 80, true},
        {QVariant(QStringLiteral(u"\U0001D7D7\U0001D7CE")), 90, true},
        {QVariant(QStringLiteral(u"\u00A012")), 12, true},
        // A lone surrogate is no digit and no space.
        {QVariant(QString(QChar(0xD800)) + QStringLiteral("5")), 0, false},
        // Y and T (any case, after blanks) are true; so is any text with a non-zero leading integer.
        {QVariant(QStringLiteral("YES")), 0, true},
        {QVariant(QStringLiteral("  yes")), 0, true},
        {QVariant(QStringLiteral("T")), 0, true},
        {QVariant(QStringLiteral("no")), 0, false},
        {QVariant(QStringLiteral("+Y")), 0, false},
        {QVariant(QByteArray("77 bottles")), 77, true},
        {QVariant(QByteArray("Yes")), 0, true},
        {QVariant(true), 1, true},
        {QVariant(false), 0, false},
        {QVariant(0), 0, false},
        {QVariant(int(-5)), -5, true},
        {QVariant(uint(4000000000u)), 4000000000LL, true},
        {QVariant(qlonglong(kMin)), kMin, true},
        {QVariant(qulonglong(18446744073709551615ULL)), kMax, true},
        // Numbers are truncated and clamped; as booleans, any fraction counts.
        {QVariant(2.9), 2, true},
        {QVariant(-2.9), -2, true},
        {QVariant(0.25), 0, true},
        {QVariant(0.0), 0, false},
        {QVariant(1e300), kMax, true},
        {QVariant(-1e300), kMin, true},
        {QVariant(std::nan("")), 0, true},
        {QVariant(std::numeric_limits<double>::infinity()), kMax, true},
        {QVariant(QVariantList{true}), 0, false},
        {QVariant(QDateTime::fromSecsSinceEpoch(1000)), 0, false},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.value.toString().toStdString() + " (" +
                     (entry.value.typeName() ? entry.value.typeName() : "invalid") + ")");
        EXPECT_EQ(QNUtilities::integerValue(entry.value), entry.integer);
        EXPECT_EQ(QNUtilities::boolValue(entry.value), entry.boolean);
        if (entry.value.typeId() == QMetaType::QString) {
            EXPECT_EQ(QNUtilities::integerValue(entry.value.toString()), entry.integer);
        }
    }
}

} // namespace
