// Python's plistlib is the outside reference for the file format: it reads what we write, we read what it writes.
#include "platform/QNPlistCodec.h"

#include "support/QNTestProcess.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <limits>

namespace {

// The same values on both sides. Python's XML dates are naive and mean UTC.
const char* const kPythonValues = R"PY(
import datetime, plistlib, sys
expected = {
    'profiles': [
        {'name': 'Büro <&> "1"', 'identifier': 1, 'proxies': [{'kind': 'proxy', 'port': 1080, 'filterPorts': []}]},
        {'name': '', 'identifier': 4294967295, 'rules': [{'action': 3, 'enabled': False}]},
    ],
    'activeProfileIdentifier': -1,
    'minimum': -2**63,
    'maximum unsigned': 2**64 - 1,
    'large': 2**53 + 1,
    'enableLogging': True,
    'safety': False,
    'ratio': 0.1,
    'tiny': -2.5e-300,
    'clientKey': bytes(range(256)),
    'empty data': b'',
    'nextUpdateCheckDate': datetime.datetime(2031, 7, 4, 12, 30, 45),
    'old date': datetime.datetime(1931, 1, 2, 3, 4, 5),
    'nested': [[[], {}], {'a': {'b': [1, 'two', True]}}],
}
)PY";

QVariantMap qtValues() {
    QByteArray key;
    for (int value = 0; value < 256; ++value) {
        key.append(char(value));
    }
    return {
        {QStringLiteral("profiles"),
         QVariantList{
             QVariantMap{{QStringLiteral("name"), QStringLiteral("Büro <&> \"1\"")},
                         {QStringLiteral("identifier"), qint64(1)},
                         {QStringLiteral("proxies"),
                          QVariantList{QVariantMap{{QStringLiteral("kind"), QStringLiteral("proxy")},
                                                   {QStringLiteral("port"), qint64(1080)},
                                                   {QStringLiteral("filterPorts"), QVariantList{}}}}}},
             QVariantMap{{QStringLiteral("name"), QString(QLatin1String(""))},
                         {QStringLiteral("identifier"), qint64(4294967295LL)},
                         {QStringLiteral("rules"), QVariantList{QVariantMap{{QStringLiteral("action"), qint64(3)},
                                                                            {QStringLiteral("enabled"), false}}}}},
         }},
        {QStringLiteral("activeProfileIdentifier"), qint64(-1)},
        {QStringLiteral("minimum"), std::numeric_limits<qint64>::min()},
        {QStringLiteral("maximum unsigned"), std::numeric_limits<quint64>::max()},
        {QStringLiteral("large"), (qint64(1) << 53) + 1},
        {QStringLiteral("enableLogging"), true},
        {QStringLiteral("safety"), false},
        {QStringLiteral("ratio"), 0.1},
        {QStringLiteral("tiny"), -2.5e-300},
        {QStringLiteral("clientKey"), key},
        {QStringLiteral("empty data"), QByteArray("")},
        {QStringLiteral("nextUpdateCheckDate"), QDateTime(QDate(2031, 7, 4), QTime(12, 30, 45), Qt::UTC)},
        {QStringLiteral("old date"), QDateTime(QDate(1931, 1, 2), QTime(3, 4, 5), Qt::UTC)},
        {QStringLiteral("nested"),
         QVariantList{
             QVariantList{QVariantList{}, QVariantMap{}},
             QVariantMap{{QStringLiteral("a"),
                          QVariantMap{{QStringLiteral("b"), QVariantList{qint64(1), QStringLiteral("two"), true}}}}}}},
    };
}

class PlistPython : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qnHaveProgram(QStringLiteral("python3"))) {
            GTEST_SKIP() << "python3 is not installed";
        }
        ASSERT_TRUE(_folder.isValid());
    }

    QNTestProcessResult python(const QString& script, const QStringList& arguments) {
        return qnRunProcess(QStringLiteral("python3"), QStringList{QStringLiteral("-c"), script} + arguments);
    }

    QTemporaryDir _folder;
};

TEST_F(PlistPython, PlistlibReadsWhatWeWrite) {
    const QString path = _folder.filePath(QStringLiteral("ours.plist"));
    const auto data = QNPlistCodec::dataWithPropertyList(qtValues());
    ASSERT_TRUE(data);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(*data);
    file.close();
    const QString script = QString::fromUtf8(kPythonValues) + QStringLiteral(R"PY(
with open(sys.argv[1], 'rb') as f:
    actual = plistlib.load(f, fmt=plistlib.FMT_XML)
for key in sorted(set(expected) | set(actual)):
    if expected.get(key) != actual.get(key):
        print('differs:', key, repr(expected.get(key)), repr(actual.get(key)))
        sys.exit(1)
)PY");
    const auto result = python(script, {path});
    EXPECT_EQ(result.exitCode, 0) << result.standardOutput.toStdString() << result.standardError.toStdString();
}

TEST_F(PlistPython, WeReadWhatPlistlibWritesInBothFormats) {
    const QString script = QString::fromUtf8(kPythonValues) + QStringLiteral(R"PY(
for name, fmt in (('xml', plistlib.FMT_XML), ('binary', plistlib.FMT_BINARY)):
    with open(sys.argv[1] + '/' + name + '.plist', 'wb') as f:
        plistlib.dump(expected, f, fmt=fmt)
)PY");
    const auto result = python(script, {_folder.path()});
    ASSERT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    const QVariantMap expected = qtValues();
    for (const char* name : {"xml", "binary"}) {
        SCOPED_TRACE(name);
        QFile file(_folder.filePath(QString::fromLatin1(name) + QStringLiteral(".plist")));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QString error;
        const auto read = QNPlistCodec::dictionaryWithData(file.readAll(), &error);
        ASSERT_TRUE(read) << error.toStdString();
        ASSERT_EQ(read->keys(), expected.keys());
        for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
            EXPECT_EQ(read->value(it.key()), it.value()) << it.key().toStdString();
        }
    }
}

} // namespace
