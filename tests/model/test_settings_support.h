#pragma once

#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <string>

namespace qntest {

inline QVariant number(qint64 value) {
    return QVariant::fromValue<qint64>(value);
}

// Equal settings, with every value of the same kind all the way down: a number written narrower than 64
// bits, or a text list written as a generic list, compares equal but reads back differently from the
// preference file.
inline void expectSameSettings(const QVariant& actual, const QVariant& expected, const std::string& path = "") {
    ASSERT_STREQ(actual.typeName(), expected.typeName()) << path;
    if (expected.typeId() == QMetaType::QVariantMap) {
        const QVariantMap a = actual.toMap();
        const QVariantMap e = expected.toMap();
        ASSERT_EQ(a.keys(), e.keys()) << path;
        for (auto it = e.constBegin(); it != e.constEnd(); ++it) {
            expectSameSettings(a.value(it.key()), *it, path + "/" + it.key().toStdString());
        }
    } else if (expected.typeId() == QMetaType::QVariantList) {
        const QVariantList a = actual.toList();
        const QVariantList e = expected.toList();
        ASSERT_EQ(a.size(), e.size()) << path;
        for (qsizetype i = 0; i < e.size(); ++i) {
            expectSameSettings(a[i], e[i], path + "[" + std::to_string(i) + "]");
        }
    } else {
        EXPECT_EQ(actual, expected) << path;
    }
}

} // namespace qntest
