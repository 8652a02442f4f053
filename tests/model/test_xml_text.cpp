#include "model/QNXMLElement.h"
#include "model/QNXMLText.h"

#include <QFile>
#include <QHash>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Attributes = QNXMLElement::Attributes;
using Elements = QNXMLElement::Elements;

std::shared_ptr<QNXMLElement> leaf(const QString& name, const QString& text) {
    return QNXMLElement::xmlElementWithName(name, std::nullopt, std::nullopt, text);
}

QNXMLText::Result parse(const QByteArray& text) {
    return QNXMLText::xmlElementWithData(text);
}

// The same tree: names, attribute tables (absent and empty alike), children in order, leaf text.
void expectSameTree(const QNXMLElement& a, const QNXMLElement& b, const QString& path = QString()) {
    const QString here = path + "/" + a.name();
    EXPECT_EQ(a.name(), b.name()) << here.toStdString();
    EXPECT_EQ(a.attributes().value_or(Attributes()), b.attributes().value_or(Attributes())) << here.toStdString();
    const Elements childrenA = a.elements().value_or(Elements());
    const Elements childrenB = b.elements().value_or(Elements());
    ASSERT_EQ(childrenA.size(), childrenB.size()) << here.toStdString();
    if (childrenA.isEmpty()) {
        EXPECT_EQ(a.data(), b.data()) << here.toStdString();
    }
    for (qsizetype i = 0; i < childrenA.size(); ++i) {
        expectSameTree(*childrenA[i], *childrenB[i], here);
    }
}

QByteArray nested(int depth) {
    return QByteArray("<a>").repeated(depth) + QByteArray("</a>").repeated(depth);
}

// The written form byte for byte: attributes in name order, two spaces a level, an empty leaf closed at once,
// blanks kept, and every character escaped so that a reader gives it back: markup, the quote in attributes,
// tab and line breaks in attributes and CR anywhere (a reader would turn them into blanks and LF). Characters
// XML cannot carry at all (a control character, a lone surrogate, U+FFFF) are replaced.
TEST(XMLTextTest, WriterOutputIsExactAndReadsBack) {
    const auto tree = [](const QString& text) {
        auto proxy = QNXMLElement::xmlElementWithName(
            "proxy", Attributes{{"type", "socks5"}, {"name", text}, {"port", "1080"}},
            Elements{QNXMLElement::xmlElementWithTexts("filterPorts", "port", {"80", " "}), leaf("clientKey", ""),
                     leaf("note", text)},
            QString());
        return QNXMLElement::xmlElementWithName("profiles", std::nullopt, Elements{proxy}, QString());
    };
    const QString common = QString::fromUtf8(" T&J \"<x>\" ]]> '\t\n\r\r\n caf\xc3\xa9 \xf0\x9f\x9a\x80 ");
    const QString text = common + QChar(0x01) + QChar(0xD800) + QChar(0xFFFF);
    const QByteArray expected = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                "<profiles>\n"
                                "  <proxy name=\" T&amp;J &quot;&lt;x&gt;&quot; ]]&gt; '&#9;&#10;&#13;&#13;&#10; "
                                "caf\xc3\xa9 \xf0\x9f\x9a\x80 \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\" port=\"1080\" "
                                "type=\"socks5\">\n"
                                "    <filterPorts>\n"
                                "      <port>80</port>\n"
                                "      <port> </port>\n"
                                "    </filterPorts>\n"
                                "    <clientKey/>\n"
                                "    <note> T&amp;J \"&lt;x&gt;\" ]]&gt; '\t\n&#13;&#13;\n "
                                "caf\xc3\xa9 \xf0\x9f\x9a\x80 \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd</note>\n"
                                "  </proxy>\n"
                                "</profiles>\n";
    const QByteArray written = QNXMLText::dataWithXMLElement(*tree(text));
    EXPECT_EQ(written, expected);
    const auto result = parse(written);
    ASSERT_TRUE(result.ok()) << result.message().toStdString();
    expectSameTree(*tree(common + QString(3, QChar(0xFFFD))), *result.element);
}

TEST(XMLTextTest, WriterRefusesWhatCannotBeXML) {
    for (const char* name : {"bad name", "1st", "", "a:b:c", ":a"}) {
        EXPECT_TRUE(QNXMLText::dataWithXMLElement(QNXMLElement(QString::fromLatin1(name))).isNull()) << name;
    }
    EXPECT_FALSE(QNXMLText::dataWithXMLElement(QNXMLElement("p:a.b-c_d")).isNull());
    EXPECT_TRUE(
        QNXMLText::dataWithXMLElement(QNXMLElement("ok", Attributes{{"bad=", "v"}}, std::nullopt, QString())).isNull());

    // Exactly as deep as the reader accepts, and one more.
    auto root = QNXMLElement::xmlElementWithName("a");
    auto innermost = root;
    for (int depth = 1; depth < QNXMLText::maximumDepth; ++depth) {
        auto child = QNXMLElement::xmlElementWithName("a");
        innermost->appendElement(child);
        innermost = child;
    }
    const QByteArray deepest = QNXMLText::dataWithXMLElement(*root);
    ASSERT_FALSE(deepest.isNull());
    EXPECT_TRUE(parse(deepest).ok());
    innermost->appendElement(QNXMLElement::xmlElementWithName("a"));
    EXPECT_TRUE(QNXMLText::dataWithXMLElement(*root).isNull());

    // A node that contains itself is refused, not followed for ever.
    auto loop = QNXMLElement::xmlElementWithName("loop");
    loop->appendElement(loop);
    EXPECT_TRUE(QNXMLText::dataWithXMLElement(*loop).isNull());
    loop->setElements(std::nullopt); // break the cycle so the node is freed
}

TEST(XMLTextTest, ReaderBuildsThePlainTree) {
    const QByteArray text = "<?xml version=\"1.0\"?>\n"
                            "<!-- exported -->\n"
                            "<p:profiles xmlns:p=\"urn:x\">\n"
                            "  <profile name=\"Home\" order=\"0\">\n"
                            "    <?editor keep?>\n"
                            "    <hosts>\n"
                            "      <host>  spaced  </host>\n"
                            "      <host/>\n"
                            "      <host></host>\n"
                            "      <host><![CDATA[a<b]]>&amp;c</host>\n"
                            "      <host>   </host>\n"
                            "    </hosts>\n"
                            "    stray text next to children\n"
                            "  </profile>\n"
                            "</p:profiles>\n";
    const auto result = parse(text);
    ASSERT_TRUE(result.ok()) << result.message().toStdString();
    const auto& root = *result.element;
    EXPECT_EQ(root.name(), "p:profiles");
    EXPECT_EQ(root.attribute("xmlns:p"), "urn:x");
    EXPECT_TRUE(root.data().isNull());

    const auto profile = root.childElementWithName("profile");
    ASSERT_NE(profile, nullptr);
    EXPECT_EQ(profile->attributes(), std::optional(Attributes{{"name", "Home"}, {"order", "0"}}));
    EXPECT_EQ(profile->elements()->size(), 1);
    EXPECT_TRUE(profile->data().isNull());

    const auto hosts = profile->childElementWithName("hosts");
    ASSERT_NE(hosts, nullptr);
    EXPECT_FALSE(hosts->attributes().has_value());
    EXPECT_EQ(profile->textsOfChildElements("hosts", "host"), QStringList({"  spaced  ", "", "", "a<b&c", "   "}));
    const auto emptyLeaf = hosts->elements()->at(1);
    EXPECT_FALSE(emptyLeaf->data().isNull());
    EXPECT_FALSE(emptyLeaf->elements().has_value());
}

QByteArray utf16(const QString& text) {
    return QByteArray("\xff\xfe", 2) + QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}

// The characters of a tag in EBCDIC (code page 037).
QByteArray ebcdic(const QByteArray& ascii) {
    static const QHash<char, char> table = {{'<', '\x4c'}, {'>', '\x6e'}, {'/', '\x61'}, {' ', '\x40'}, {'=', '\x7e'},
                                            {'"', '\x7f'}, {'a', '\x81'}, {'r', '\x99'}, {'x', '\xa7'}};
    QByteArray out;
    for (const char c : ascii) {
        out += (c >= '0' && c <= '9') ? char(0xF0 + (c - '0')) : table.value(c, '?');
    }
    return out;
}

TEST(XMLTextTest, ReaderTakesOnlyEncodingsItChecks) {
    const auto latin1 = parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><host>caf\xe9</host>");
    ASSERT_TRUE(latin1.ok()) << latin1.message().toStdString();
    EXPECT_EQ(latin1.element->data(), QString::fromUtf8("caf\xc3\xa9"));

    const auto wide =
        parse(utf16(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?><host>\u00e9t\u00e9</host>")));
    ASSERT_TRUE(wide.ok()) << wide.message().toStdString();
    EXPECT_EQ(wide.element->data(), QString::fromUtf8("\xc3\xa9t\xc3\xa9"));

    // 257 attributes in an encoding the attribute count could not read.
    QByteArray crowded = "<r";
    for (int i = 0; i <= QNXMLText::maximumAttributeCount; ++i) {
        crowded += " a" + QByteArray::number(i) + "=\"x\"";
    }
    crowded += "/>";
    const QByteArray refused[] = {
        "<?xml version=\"1.0\" encoding=\"IBM037\"?>" + ebcdic(crowded),
        "<?xml version='1.0' encoding='UTF-16'?><r/>",
        "\xef\xbb\xbf<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r/>",
        utf16(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?><r/>")),
        "<host>caf\xe9</host>",
    };
    for (const QByteArray& text : refused) {
        const auto result = parse(text);
        EXPECT_FALSE(result.ok()) << text.toStdString();
        EXPECT_FALSE(result.errorString.isEmpty());
    }
}

TEST(XMLTextTest, HostileTextFailsCleanlyWithAPosition) {
    struct Case {
        const char* what;
        QByteArray text;
        qint64 line; // 0: any line
        QString mentions;
    };
    // Ten entities, each ten times the one before: a billion "lol"s if expanded.
    QByteArray laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n <!ENTITY lol \"lol\">\n";
    for (int level = 1; level <= 9; ++level) {
        const QByteArray previous = level == 1 ? "&lol;" : "&lol" + QByteArray::number(level - 1) + ";";
        laughs += " <!ENTITY lol" + QByteArray::number(level) + " \"" + previous.repeated(10) + "\">\n";
    }
    laughs += "]>\n<lolz>&lol9;</lolz>\n";
    const Case cases[] = {
        {"empty", "", 1, ""},
        {"not XML", "profiles: none\n", 1, ""},
        {"unclosed tag", "<profiles>\n  <profile name=\"a\">\n</profiles>\n", 3, ""},
        {"unterminated document", "<profiles>\n  <profile>", 0, ""},
        {"broken attribute", "<profiles>\n<profile name=a/>\n</profiles>", 2, ""},
        {"two roots", "<profiles/>\n<profiles/>", 2, ""},
        {"undeclared entity", "<profiles>\n&xxe;</profiles>", 2, ""},
        {"malformed attribute name", "<profiles>\n<profile na@me=\"a\"/>\n</profiles>", 2, "na@me"},
        {"control character", "<profiles>\x01</profiles>", 1, ""},
        {"billion laughs", laughs, 13, "Document type"},
        {"external entity",
         "<!DOCTYPE profiles [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]>\n<profiles>&xxe;</profiles>", 1,
         "Document type"},
        {"external subset", "<!DOCTYPE profiles SYSTEM \"http://127.0.0.1:9/x.dtd\">\n<profiles/>", 1, "Document type"},
        {"parameter entities", "<!DOCTYPE p [<!ENTITY % a \"x\"> %a;]><p/>", 0, ""},
        {"nested one level too deep", nested(QNXMLText::maximumDepth + 1), 1, "64"},
        {"nested far too deep", nested(100000), 1, "64"},
    };
    for (const auto& c : cases) {
        const auto result = parse(c.text);
        EXPECT_FALSE(result.ok()) << c.what;
        EXPECT_EQ(result.element, nullptr) << c.what;
        EXPECT_FALSE(result.errorString.isEmpty()) << c.what;
        EXPECT_GE(result.lineNumber, 1) << c.what;
        EXPECT_GE(result.columnNumber, 1) << c.what;
        if (c.line != 0) {
            EXPECT_EQ(result.lineNumber, c.line) << c.what << ": " << result.message().toStdString();
        }
        EXPECT_TRUE(result.errorString.contains(c.mentions)) << c.what << ": " << result.message().toStdString();
        const QString position = QString("Line %1, column %2: ").arg(result.lineNumber).arg(result.columnNumber);
        EXPECT_TRUE(result.message().startsWith(position)) << c.what << ": " << result.message().toStdString();
    }
    EXPECT_TRUE(parse(nested(QNXMLText::maximumDepth)).ok());
}

TEST(XMLTextTest, LimitsOnSizeAndElementCount) {
    QByteArray oversized = "<profiles>";
    oversized.append(QByteArray(QNXMLText::maximumSize, ' '));
    oversized.append("</profiles>");
    const auto tooLarge = parse(oversized);
    EXPECT_FALSE(tooLarge.ok());
    EXPECT_EQ(tooLarge.lineNumber, 0);
    EXPECT_TRUE(tooLarge.message().contains(QString::number(QNXMLText::maximumSize)));

    QByteArray many = "<r>";
    many.append(QByteArray("<a/>").repeated(QNXMLText::maximumElementCount));
    many.append("</r>");
    ASSERT_LE(many.size(), QNXMLText::maximumSize);
    const auto tooMany = parse(many);
    EXPECT_FALSE(tooMany.ok());
    EXPECT_TRUE(tooMany.message().contains(QString::number(QNXMLText::maximumElementCount)))
        << tooMany.message().toStdString();
}

TEST(XMLTextTest, AttributeLimitCountsOnlyAttributes) {
    auto tagWith = [](int count) {
        QByteArray tag = "<rule";
        for (int i = 0; i < count; ++i) {
            tag += " a" + QByteArray::number(i) + "=\"x=y\"";
        }
        return tag + "/>";
    };
    const QByteArray many = QByteArray("= ").repeated(1000);
    const QByteArray accepted = "<rules>" + many + "<!-- " + many + " --><![CDATA[" + many + "]]><?pi " + many +
                                "?><rule name=\"" + QByteArray("=>'").repeated(1000) + "\" b='\"=\"'/>" +
                                tagWith(QNXMLText::maximumAttributeCount) + "</rules>";
    const auto result = parse(accepted);
    ASSERT_TRUE(result.ok()) << result.message().toStdString();
    EXPECT_EQ(result.element->elements()->last()->attributes()->size(), QNXMLText::maximumAttributeCount);

    const auto crowded =
        parse("<rules>\n  <!-- a=1 -->\n  " + tagWith(QNXMLText::maximumAttributeCount + 1) + "\n</rules>");
    EXPECT_FALSE(crowded.ok());
    EXPECT_EQ(crowded.lineNumber, 3);
    EXPECT_EQ(crowded.columnNumber, 3);
    EXPECT_TRUE(crowded.message().contains("256"));

    // Tags each within the limit still add up: the reader's work over the whole document is bounded too.
    const int fullTags = int(QNXMLText::maximumAttributeComparisons / (QNXMLText::maximumAttributeCount * 128)) + 1;
    const auto flood = parse("<rules>" + tagWith(QNXMLText::maximumAttributeCount).repeated(fullTags) + "</rules>");
    EXPECT_FALSE(flood.ok());
    EXPECT_TRUE(flood.message().contains("between them")) << flood.message().toStdString();

    // The same in UTF-16, whose bytes the look ahead cannot read directly.
    const auto wide = parse(utf16(QString::fromLatin1("<r>" + tagWith(QNXMLText::maximumAttributeCount + 1) + "</r>")));
    EXPECT_FALSE(wide.ok());
    EXPECT_EQ(wide.columnNumber, 4);
}

// Reading a file stops at the size limit without reading it in: a sparse file of 16 GiB is refused at once.
TEST(XMLTextTest, FilesAreRefusedBySize) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString huge = folder.filePath("huge.xml");
    {
        QFile file(huge);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(qint64(1) << 34));
    }
    const auto tooLarge = QNXMLText::xmlElementWithContentsOfFile(huge);
    EXPECT_FALSE(tooLarge.ok());
    EXPECT_TRUE(tooLarge.message().contains(QString::number(QNXMLText::maximumSize)));
}

} // namespace
