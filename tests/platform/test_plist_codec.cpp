#include "platform/QNPlistCodec.h"
#include "platform/QNPlistCodecScan.h"
#include "support/QNTestProcess.h"

#include <QDataStream>
#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QUrl>

#include <gtest/gtest.h>

#include <limits>

namespace {

using Format = QNPlistCodec::Format;

QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), QTimeZone::utc());
}

QByteArray allBytes() {
    QByteArray bytes;
    for (int value = 0; value < 256; ++value) {
        bytes.append(char(value));
    }
    return bytes;
}

// A domain holding every kind of value, with the integers at the edges of their ranges.
QVariantMap everyKind() {
    return {
        {QStringLiteral("text"), QStringLiteral("Grüße <&> \"quoted\" 'single' \u4e2d\u6587 \U0001F600")},
        {QStringLiteral("empty text"), QString(QLatin1String(""))},
        {QStringLiteral("zero"), qint64(0)},
        {QStringLiteral("minus one"), qint64(-1)},
        {QStringLiteral("int64 min"), std::numeric_limits<qint64>::min()},
        {QStringLiteral("int64 max"), std::numeric_limits<qint64>::max()},
        {QStringLiteral("uint64 max"), std::numeric_limits<quint64>::max()},
        {QStringLiteral("2^40"), qint64(1) << 40},
        {QStringLiteral("yes"), true},
        {QStringLiteral("no"), false},
        {QStringLiteral("real"), 0.1},
        {QStringLiteral("negative real"), -2.5e-300},
        {QStringLiteral("infinity"), std::numeric_limits<double>::infinity()},
        {QStringLiteral("data"), allBytes()},
        {QStringLiteral("empty data"), QByteArray("")},
        {QStringLiteral("reference date"), utc(2001, 1, 1)},
        {QStringLiteral("before 1970"), utc(1900, 6, 1, 12, 30, 15)},
        {QStringLiteral("after 2038"), utc(2100, 1, 1, 23, 59, 59)},
        {QStringLiteral("array"), QVariantList{qint64(1), QStringLiteral("two"), QVariantList{false, QVariantMap{}},
                                               QVariantMap{{QStringLiteral("deep"), QVariantList{}}}}},
        {QStringLiteral("dict"), QVariantMap{{QStringLiteral(""), qint64(7)},
                                             {QStringLiteral("nested"), QVariantMap{{QStringLiteral("x"), 1.5}}}}},
    };
}

void expectEveryKind(const QVariantMap& read) {
    const QVariantMap expected = everyKind();
    ASSERT_EQ(read.keys(), expected.keys());
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
        EXPECT_EQ(read.value(it.key()), it.value()) << it.key().toStdString();
    }
}

// everyKind() as Python sees it; its XML dates are naive and mean UTC.
const char kPythonEveryKind[] = R"PY(
import datetime, plistlib, sys
expected = {
    'text': 'Grüße <&> "quoted" \'single\' \u4e2d\u6587 \U0001F600', 'empty text': '',
    'zero': 0, 'minus one': -1, 'int64 min': -2**63, 'int64 max': 2**63 - 1, 'uint64 max': 2**64 - 1, '2^40': 2**40,
    'yes': True, 'no': False, 'real': 0.1, 'negative real': -2.5e-300, 'infinity': float('inf'),
    'data': bytes(range(256)), 'empty data': b'',
    'reference date': datetime.datetime(2001, 1, 1), 'before 1970': datetime.datetime(1900, 6, 1, 12, 30, 15),
    'after 2038': datetime.datetime(2100, 1, 1, 23, 59, 59),
    'array': [1, 'two', [False, {}], {'deep': []}],
    'dict': {'': 7, 'nested': {'x': 1.5}},
}
)PY";

// Python's plistlib is the outside reference for the file format: it reads what we write in both formats,
// and we read what it writes in both as well as our own, every kind of value with its type.
TEST(PlistCodec, EveryKindAgreesWithPlistlibBothWays) {
    QTemporaryDir folder;
    for (const Format format : {Format::XML, Format::Binary}) {
        QFile ours(folder.filePath(format == Format::XML ? QStringLiteral("ours-xml") : QStringLiteral("ours-binary")));
        ASSERT_TRUE(ours.open(QIODevice::WriteOnly));
        ours.write(*QNPlistCodec::dataWithPropertyList(everyKind(), format));
    }
    const QString script = QString::fromUtf8(kPythonEveryKind) + QStringLiteral(R"PY(
for name in ('ours-xml', 'ours-binary'):
    with open(sys.argv[1] + '/' + name, 'rb') as f:
        actual = plistlib.load(f)
    for key in sorted(set(expected) | set(actual)):
        if expected.get(key) != actual.get(key):
            print(name, 'differs:', key, repr(expected.get(key)), repr(actual.get(key)))
for name, fmt in (('theirs-xml', plistlib.FMT_XML), ('theirs-binary', plistlib.FMT_BINARY)):
    with open(sys.argv[1] + '/' + name, 'wb') as f:
        plistlib.dump(expected, f, fmt=fmt)
)PY");
    const auto result = qnRunProcess(QStringLiteral("python3"), {QStringLiteral("-c"), script, folder.path()});
    ASSERT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    EXPECT_TRUE(result.standardOutput.isEmpty()) << result.standardOutput.toStdString();
    for (const char* name : {"ours-xml", "ours-binary", "theirs-xml", "theirs-binary"}) {
        SCOPED_TRACE(name);
        QFile file(folder.filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QString error;
        const auto read = QNPlistCodec::dictionaryWithData(file.readAll(), &error);
        ASSERT_TRUE(read) << error.toStdString();
        expectEveryKind(*read);
        // Types, not just values: integers come back as 64-bit signed unless they need the unsigned range.
        EXPECT_EQ(read->value(QStringLiteral("minus one")).typeId(), QMetaType::LongLong);
        EXPECT_EQ(read->value(QStringLiteral("uint64 max")).typeId(), QMetaType::ULongLong);
        EXPECT_EQ(read->value(QStringLiteral("yes")).typeId(), QMetaType::Bool);
        EXPECT_EQ(read->value(QStringLiteral("data")).typeId(), QMetaType::QByteArray);
        EXPECT_EQ(read->value(QStringLiteral("after 2038")).toDateTime().timeSpec(), Qt::UTC);
    }
}

TEST(PlistCodec, QtValueTypesAreWrittenAsTheirPropertyListKind) {
    const QVariantMap input{
        {QStringLiteral("int"), int(-5)},
        {QStringLiteral("uint"), uint(4000000000u)},
        {QStringLiteral("string list"), QStringList{QStringLiteral("a"), QStringLiteral("b")}},
        {QStringLiteral("hash"), QVariantHash{{QStringLiteral("k"), QStringLiteral("v")}}},
        {QStringLiteral("float"), 0.5f},
        {QStringLiteral("milliseconds"), utc(2024, 2, 29, 10, 0, 0).addMSecs(250)},
    };
    QVariantMap expected{
        {QStringLiteral("int"), qint64(-5)},
        {QStringLiteral("uint"), qint64(4000000000LL)},
        {QStringLiteral("string list"), QVariantList{QStringLiteral("a"), QStringLiteral("b")}},
        {QStringLiteral("hash"), QVariantMap{{QStringLiteral("k"), QStringLiteral("v")}}},
        {QStringLiteral("float"), 0.5},
        {QStringLiteral("milliseconds"), utc(2024, 2, 29, 10, 0, 0).addMSecs(250)},
    };
    EXPECT_EQ(QNPlistCodec::dictionaryWithData(*QNPlistCodec::dataWithPropertyList(input, Format::Binary)), expected);
    // The binary form keeps fractions of a second; the XML form keeps whole seconds.
    expected.insert(QStringLiteral("milliseconds"), utc(2024, 2, 29, 10, 0, 0));
    EXPECT_EQ(QNPlistCodec::dictionaryWithData(*QNPlistCodec::dataWithPropertyList(input, Format::XML)), expected);
}

TEST(PlistCodec, WritingRefusesWhatAPropertyListCannotHoldAndNamesWhere) {
    struct Case {
        const char* what;
        QVariantMap value;
        const char* mentions;
    };
    const QVariantMap nested{{QStringLiteral("inner"), QVariant()}};
    const Case cases[] = {
        {"null value", {{QStringLiteral("outer"), nested}}, "outer/inner"},
        {"unknown type", {{QStringLiteral("u"), QUrl(QStringLiteral("https://example.net"))}}, "\"u\""},
        {"control character in text", {{QStringLiteral("t"), QStringLiteral("a\x01")}}, "\"t\""},
        {"NUL in text", {{QStringLiteral("t"), QString(QChar(0))}}, "\"t\""},
        {"control character in key", {{QStringLiteral("bad\x02key"), true}}, "key"},
        {"lone surrogate", {{QStringLiteral("s"), QString(QChar(0xD800))}}, "\"s\""},
        {"invalid date", {{QStringLiteral("d"), QDateTime()}}, "\"d\""},
        {"date after 9999", {{QStringLiteral("d"), utc(10000, 1, 1)}}, "\"d\""},
        {"date before 1000", {{QStringLiteral("d"), utc(999, 12, 31, 23, 59, 59)}}, "\"d\""},
        {"in a list", {{QStringLiteral("l"), QVariantList{true, QVariant()}}}, "l/1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QString error;
        EXPECT_FALSE(QNPlistCodec::dataWithPropertyList(c.value, Format::XML, &error));
        EXPECT_TRUE(error.contains(QLatin1String(c.mentions))) << error.toStdString();
    }
    // Tabs and line breaks are ordinary text.
    EXPECT_TRUE(QNPlistCodec::dataWithPropertyList(QVariantMap{{QStringLiteral("t"), QStringLiteral("a\tb\r\nc")}}));
}

// Binary property lists built by hand, for shapes no writer produces.
// Objects, an offset table of 4-byte entries and the trailer: 2-byte references, the first object on top.
QByteArray binaryPlist(const QList<QByteArray>& objects) {
    QByteArray data("bplist00");
    QByteArray table;
    QDataStream offsets(&table, QIODevice::WriteOnly); // big-endian, as the format has it
    for (const QByteArray& object : objects) {
        offsets << quint32(data.size());
        data.append(object);
    }
    QByteArray trailer;
    QDataStream(&trailer, QIODevice::WriteOnly) << quint32(0) << quint16(0) << quint8(4) << quint8(2)
                                                << quint64(objects.size()) << quint64(0) << quint64(data.size());
    return data + table + trailer;
}

QByteArray arrayObject(const QList<quint16>& references) {
    QByteArray object(1, char(0xA0 | references.size()));
    QDataStream stream(&object, QIODevice::Append);
    for (const quint16 reference : references) {
        stream << reference;
    }
    return object;
}

QByteArray xmlNesting(int levels, const QByteArray& tag = "<array>") {
    QByteArray data("<?xml version=\"1.0\"?><plist version=\"1.0\">");
    data.append(tag.repeated(levels));
    data.append(QByteArray("</array>").repeated(levels));
    data.append("</plist>");
    return data;
}

TEST(PlistCodec, HostileInputIsRefusedWithAReason) {
    // Object i is an array holding object i+1 twice: 40 levels expand to 2^40 values.
    QList<QByteArray> bomb;
    for (quint16 index = 0; index < 40; ++index) {
        bomb.append(arrayObject({quint16(index + 1), quint16(index + 1)}));
    }
    bomb.append(QByteArray("\x10\x00", 2));
    QList<QByteArray> deep;
    for (quint16 index = 0; index < 1000; ++index) {
        deep.append(arrayObject({quint16(index + 1)}));
    }
    deep.append(QByteArray("\x10\x00", 2));
    // UIDs read as one-key dictionaries: three values and a level each.
    QList<QByteArray> uidBomb;
    for (quint16 index = 0; index < 19; ++index) {
        uidBomb.append(arrayObject({quint16(index + 1), quint16(index + 1)}));
    }
    uidBomb.append(QByteArray("\x80\x07", 2));
    QList<QByteArray> uidDeep;
    for (quint16 index = 0; index < QNPlistCodec::kMaximumDepth; ++index) {
        uidDeep.append(arrayObject({quint16(index + 1)}));
    }
    uidDeep.append(QByteArray("\x80\x07", 2));
    QByteArray badTrailer = binaryPlist({arrayObject({0})});
    badTrailer[badTrailer.size() - 2] = char(0x7F); // offset table far outside the data

    struct Case {
        const char* what;
        QByteArray data;
        const char* reason;
    };
    const Case cases[] = {
        {"empty", QByteArray(), "empty"},
        {"not a property list", QByteArray("hello, world"), "XML property list"},
        {"truncated XML", QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>"),
         "XML property list"},
        {"XML nested too deep", xmlNesting(QNPlistCodec::kMaximumDepth + 2), "nested"},
        // A quoted "/>" does not end the element: 200,000 open arrays, 2.8 MB.
        {"XML nested far too deep behind quoted ends", xmlNesting(200000, "<array a=\"/>\">"), "nested"},
        {"XML nested behind a NUL in the tag", xmlNesting(200, QByteArray("<array\0>", 8)), "control character"},
        {"NUL inside value tags", "<plist><array>" + QByteArray("<true\0/>", 8).repeated(1000), "control character"},
        {"too many XML values", "<plist><array>" + QByteArray("<true/>").repeated(QNPlistCodec::kMaximumValueCount + 1),
         "more than"},
        {"too large", QByteArray(QNPlistCodec::kMaximumInputSize + 1, ' '), "larger"},
        {"binary magic only", QByteArray("bplist00"), "truncated"},
        {"binary trailer out of range", badTrailer, "trailer"},
        {"binary reference bomb", binaryPlist(bomb), "more than"},
        {"binary nested too deep", binaryPlist(deep), "nested"},
        {"binary UID bomb", binaryPlist(uidBomb), "more than"},
        {"binary UID one level too deep", binaryPlist(uidDeep), "nested"},
        {"binary cycle", binaryPlist({arrayObject({1}), arrayObject({0})}), "refers to itself"},
        {"binary self reference", binaryPlist({arrayObject({0})}), "refers to itself"},
        {"binary reference past the table", binaryPlist({arrayObject({9})}), "malformed"},
        {"binary dictionary with a number for a key",
         binaryPlist({QByteArray("\xD1\x00\x01\x00\x02", 5), QByteArray("\x10\x05", 2), QByteArray("\x09", 1)}),
         "not a string"},
        {"binary dictionary key holding NUL",
         binaryPlist(
             {QByteArray("\xD1\x00\x01\x00\x02", 5), QByteArray("\x62\x00\x41\x00\x00", 5), QByteArray("\x09", 1)}),
         "not a string"},
        {"binary array longer than the data", binaryPlist({QByteArray("\xAF\x13\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 10)}),
         "malformed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QString error;
        EXPECT_FALSE(QNPlistCodec::propertyListWithData(c.data, &error));
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << error.toStdString();
    }

    // A chain of 100 arrays met first near the top and then again from the end of a second chain of
    // 100: nested 200 deep although each first visit stays within the limit. Caught by the structure
    // check, before libplist copies the shared chain at every level (tens of seconds for a 160 KB file).
    QList<QByteArray> sharedDeep{arrayObject({1, 101})};
    for (quint16 index = 1; index <= 100; ++index) {
        sharedDeep.append(arrayObject({quint16(index < 100 ? index + 1 : 201)}));
    }
    for (quint16 index = 101; index <= 200; ++index) {
        sharedDeep.append(arrayObject({quint16(index < 200 ? index + 1 : 1)}));
    }
    sharedDeep.append(QByteArray("\x10\x00", 2));
    QString problem;
    EXPECT_FALSE(QNPlistCodecScan::checkBinary(binaryPlist(sharedDeep), QNPlistCodec::kMaximumDepth,
                                               QNPlistCodec::kMaximumValueCount, &problem));
    EXPECT_TRUE(problem.contains(QLatin1String("nested"))) << problem.toStdString();
}

// The limits hold both ways: what may be read may be written, and what would be refused is not written.
TEST(PlistCodec, LimitsLetTheLimitItselfThroughBothWays) {
    EXPECT_TRUE(QNPlistCodec::propertyListWithData(xmlNesting(QNPlistCodec::kMaximumDepth)));
    QVariant value = QVariantList{};
    for (int level = 1; level < QNPlistCodec::kMaximumDepth; ++level) {
        value = QVariantList{value};
    }
    const auto data = QNPlistCodec::dataWithPropertyList(value, Format::Binary);
    ASSERT_TRUE(data);
    EXPECT_TRUE(QNPlistCodec::propertyListWithData(*data));
    const QVariant oneTooDeep = QVariantList{value};
    EXPECT_FALSE(QNPlistCodec::dataWithPropertyList(oneTooDeep));
    EXPECT_FALSE(QNPlistCodec::propertyListWithData(xmlNesting(QNPlistCodec::kMaximumDepth + 1)));

    // The root, the rest and a dictionary with its key and value: exactly the most values a reader takes.
    // Built by hand: libplist's writer takes minutes for this much under the address sanitizer.
    const QByteArray atTheLimit = "<plist><array>" +
                                  QByteArray("<true/>").repeated(QNPlistCodec::kMaximumValueCount - 4) +
                                  "<dict><key>k</key><false/></dict></array></plist>";
    EXPECT_TRUE(QNPlistCodec::propertyListWithData(atTheLimit));
    QVariantList oneMore(QNPlistCodec::kMaximumValueCount - 3, QVariant(true));
    oneMore.append(QVariantMap{{QStringLiteral("k"), false}});
    QString error;
    EXPECT_FALSE(QNPlistCodec::dataWithPropertyList(oneMore, Format::XML, &error));
    EXPECT_TRUE(error.contains(QLatin1String("more than"))) << error.toStdString();
    EXPECT_FALSE(
        QNPlistCodec::dataWithPropertyList(QByteArray(QNPlistCodec::kMaximumInputSize, 'x'), Format::XML, &error));
    EXPECT_TRUE(error.contains(QLatin1String("larger"))) << error.toStdString();
}

// Documents other writers produce, and the mistakes a reader has to refuse rather than guess at.
TEST(PlistCodec, XMLReaderTakesTheCommonDialectAndRefusesTheRest) {
    const auto inside = [](const QByteArray& body) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">" +
               body + "</plist>\n";
    };
    struct Accepted {
        const char* what;
        QByteArray data;
        QVariant value;
    };
    const Accepted accepted[] = {
        {"references, CDATA and a comment in text",
         inside("<string>&lt;&amp;&gt;&quot;&apos;&#65;&#x1F600;<![CDATA[<&]]><!-- x -->.</string>"),
         QStringLiteral("<&>\"'A\U0001F600<&.")},
        {"quoted attributes holding ends of tags", "<plist a='/>' b=\">\"><array c=\"/>\"></array></plist>",
         QVariantList{}},
        {"bare root with a byte order mark and an internal subset",
         "\xEF\xBB\xBF<!DOCTYPE plist [ <!ENTITY e \"]>\"> ]><dict><key>k</key><true></true></dict>",
         QVariantMap{{QStringLiteral("k"), true}}},
        {"integers",
         inside("<array><integer> 0x1F </integer><integer>-9223372036854775808</integer>"
                "<integer>+007</integer><integer>18446744073709551615</integer></array>"),
         QVariantList{qint64(31), std::numeric_limits<qint64>::min(), qint64(7), std::numeric_limits<quint64>::max()}},
        {"reals as libplist and plistlib write them",
         inside("<array><real>-infinity</real><real>inf</real><real>2</real><real>1.5e-3</real></array>"),
         QVariantList{-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(), 2.0, 0.0015}},
        // libplist writes the year 1 as "1", which no reader takes back: early dates read as the year 1000.
        {"dates",
         inside("<array><date>2024-02-29T23:59:58Z</date><date>1999-12</date>"
                "<date>2001-01-01T00:00:01.5Z</date><date>0001-01-01T00:00:00Z</date></array>"),
         QVariantList{utc(2024, 2, 29, 23, 59, 58), utc(1999, 12, 1), utc(2001, 1, 1, 0, 0, 1).addMSecs(500),
                      utc(1000, 1, 1)}},
        {"data with white space", inside("<data>\n\tAAEC\n\tAw==\n</data>"), QByteArray("\0\1\2\3", 4)},
        {"empty elements", inside("<array><string/><data/><dict/></array>"),
         QVariantList{QString(QLatin1String("")), QByteArray(""), QVariantMap{}}},
    };
    for (const Accepted& c : accepted) {
        SCOPED_TRACE(c.what);
        QString error;
        const auto read = QNPlistCodec::propertyListWithData(c.data, &error);
        ASSERT_TRUE(read) << error.toStdString();
        EXPECT_EQ(*read, c.value);
    }
    const char* const refused[] = {
        "<plist><dict><key>a</key></dict></plist>",
        "<plist><dict><string>a</string></dict></plist>",
        "<plist><key>a</key></plist>",
        "<plist><string>a</string><string>b</string></plist>",
        "<plist></plist>",
        "<plist><true/></plist><true/>",
        "<plist><array></dict></plist>",
        "<plist><color/></plist>",
        "<plist><string>a<b/></string></plist>",
        "<plist><string>&nbsp;</string></plist>",
        "<plist><string>&#0;</string></plist>",
        "<plist><string>&#xFFFE;</string></plist>",
        "<plist><string>\xEF\xBF\xBF</string></plist>",
        "<plist><integer>12a</integer></plist>",
        "<plist><integer>18446744073709551616</integer></plist>",
        "<plist><integer>-9223372036854775809</integer></plist>",
        "<plist><integer/></plist>",
        "<plist><real>1,5</real></plist>",
        "<plist><date>2001-13-01T00:00:00Z</date></plist>",
        "<plist><date>2001-01-01 00:00:00</date></plist>",
        "<plist><data>!!!!</data></plist>",
        "<plist><true>yes</true></plist>",
        "<plist><array a=\"1></array></plist>",
        "text<plist><true/></plist>",
    };
    for (const char* data : refused) {
        SCOPED_TRACE(data);
        QString error;
        EXPECT_FALSE(QNPlistCodec::propertyListWithData(QByteArray(data), &error));
        EXPECT_TRUE(error.contains(QLatin1String("(line 1)"))) << error.toStdString();
    }
}

} // namespace
