#include "model/QNXMLElement.h"
#include "util/QNUtilities.h"

#include <gtest/gtest.h>

namespace {

using Elements = QNXMLElement::Elements;

std::shared_ptr<QNXMLElement> node(const QString& name, const QString& order = QString()) {
    auto element = QNXMLElement::xmlElementWithName(name);
    if (!order.isNull()) {
        element->setAttributes(QNXMLElement::Attributes{{"order", order}});
    }
    return element;
}

QStringList namesOf(const Elements& elements) {
    QStringList names;
    for (const auto& element : elements) {
        names.append(element ? element->name() : QStringLiteral("<null>"));
    }
    return names;
}

TEST(XMLTreeTest, ChildElementWithNameIgnoresCaseAndTakesTheFirst) {
    EXPECT_EQ(node("proxy")->childElementWithName("port"), nullptr);

    auto empty = QNXMLElement::xmlElementWithName("proxy", std::nullopt, Elements{}, QString());
    EXPECT_EQ(empty->childElementWithName("port"), nullptr);

    const auto first = node("FilterPorts");
    const auto second = node("filterports");
    auto parent =
        QNXMLElement::xmlElementWithName("proxy", std::nullopt, Elements{nullptr, node("x"), first, second}, QString());
    EXPECT_EQ(parent->childElementWithName("filterPorts"), first);
    EXPECT_EQ(parent->childElementWithName("clientKey"), nullptr);
}

TEST(XMLTreeTest, TextsOfChildElementsGathersEveryMatchingLeaf) {
    auto hostsA = QNXMLElement::xmlElementWithTexts("hosts", "host", {"a", "b"});
    auto hostsB = QNXMLElement::xmlElementWithTexts("HOSTS", "host", {"c"});
    hostsB->appendElement(QNXMLElement::xmlElementWithName("Host")); // no text at all
    hostsB->appendElement(QNXMLElement::xmlElementWithName("port", std::nullopt, std::nullopt, "80"));
    auto other = QNXMLElement::xmlElementWithTexts("ports", "host", {"not a host"});
    auto rule =
        QNXMLElement::xmlElementWithName("rule", std::nullopt, Elements{hostsA, other, nullptr, hostsB}, QString());

    const QStringList texts = rule->textsOfChildElements("hosts", "host");
    ASSERT_EQ(texts, QStringList({"a", "b", "c", ""}));
    EXPECT_FALSE(texts.last().isNull());
    EXPECT_TRUE(node("rule")->textsOfChildElements("hosts", "host").isEmpty());
}

TEST(XMLTreeTest, SortedXMLElementsOrdersByNumberAndKeepsTies) {
    struct Case {
        const char* what;
        QList<QPair<QString, QString>> input; // name, order (null: no attribute)
        QStringList expected;
    };
    const Case cases[] = {
        {"empty", {}, {}},
        {"numeric, not textual", {{"ten", "10"}, {"nine", "9"}, {"one", "1"}}, {"one", "nine", "ten"}},
        {"negative first, missing as zero",
         {{"one", "1"}, {"none", QString()}, {"minus", "-1"}},
         {"minus", "none", "one"}},
        {"leading zeros and junk",
         {{"twelve", "12abc"}, {"seven", "007"}, {"zero", "abc"}, {"sevenToo", " 7"}},
         {"zero", "seven", "sevenToo", "twelve"}},
        {"stable among equals",
         {{"b", "1"}, {"a", "1"}, {"c", "0"}, {"d", QString()}, {"e", "+1"}},
         {"c", "d", "b", "a", "e"}},
        {"beyond 64 bits",
         {{"huge", "99999999999999999999"}, {"tiny", "-99999999999999999999"}, {"zero", "0"}},
         {"tiny", "zero", "huge"}},
    };
    for (const auto& c : cases) {
        Elements input;
        for (const auto& [name, order] : c.input) {
            input.append(node(name, order));
        }
        const Elements before = input;
        const Elements sorted = QNUtilities::sortedXMLElements(input);
        EXPECT_EQ(namesOf(sorted), c.expected) << c.what;
        EXPECT_EQ(input, before) << c.what << ": the list passed in changed";
    }
}

TEST(XMLTreeTest, SortedXMLElementsToleratesNodesWithoutAttributesOrAtAll) {
    auto withoutTable = node("plain");
    auto withOtherAttribute =
        QNXMLElement::xmlElementWithName("other", QNXMLElement::Attributes{{"name", "x"}}, std::nullopt, QString());
    const Elements sorted = QNUtilities::sortedXMLElements(
        {node("late", "2"), withoutTable, nullptr, withOtherAttribute, node("early", "-5")});
    EXPECT_EQ(namesOf(sorted), QStringList({"early", "plain", "<null>", "other", "late"}));
}

} // namespace
