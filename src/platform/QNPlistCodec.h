#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// Property lists <-> Qt values, on top of libplist.
//
// Values: dictionary <-> QVariantMap, array <-> QVariantList (a QStringList is written as an array too),
// string <-> QString, integer <-> qint64 (quint64 only above the signed range), real <-> double,
// true/false <-> bool, data <-> QByteArray, date <-> QDateTime in UTC (the format keeps seconds since
// 2001-01-01 UTC; XML keeps whole seconds; years 1000 to 9999, earlier or later ones read as the nearest
// end of that range). A keyed-archiver UID reads as a dictionary {"CF$UID": n},
// which is how the XML form spells it, so it survives a read and a write.
//
// Input is treated as hostile: its size, nesting depth and number of values are bounded, and every failure
// is a message, never a crash. XML is read by QNPlistXMLReader; binary input is checked by
// QNPlistCodecScan before libplist parses it. Writing refuses what reading would refuse, so a list written
// here always reads back.
class QNPlistCodec {
public:
    enum class Format { XML, Binary };

    static constexpr qsizetype kMaximumInputSize = 64 * 1024 * 1024;
    static constexpr int kMaximumDepth = 128;
    // Far beyond any real preference file, and read in a fraction of a second. A few hundred bytes of
    // binary input with shared objects reach it, and fuzzing builds, 20 times slower, would spend seconds
    // on each such input: they bound it lower.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    static constexpr qint64 kMaximumValueCount = 100000;
#else
    static constexpr qint64 kMaximumValueCount = 2000000;
#endif

    QNPlistCodec() = delete;

    // Any property list, XML or binary (told apart by the binary magic).
    static std::optional<QVariant> propertyListWithData(const QByteArray& data, QString* error = nullptr);
    // A property list whose root is a dictionary.
    static std::optional<QVariantMap> dictionaryWithData(const QByteArray& data, QString* error = nullptr);
    // Fails on values a property list cannot hold (null, unknown types, texts with control characters) and
    // on lists beyond the reading limits.
    static std::optional<QByteArray> dataWithPropertyList(const QVariant& propertyList, Format format = Format::XML,
                                                          QString* error = nullptr);
};
