#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "model/QNXMLElement.h"
#include "util/QNConstants.h"
#include "util/QNUtilities.h"

#include <QHash>

namespace {

bool hasName(const std::shared_ptr<QNXMLElement>& element, const QString& name) {
    return element && element->name().compare(name, Qt::CaseInsensitive) == 0;
}

QNXMLElement::Elements sortedChildElements(const QNXMLElement& element) {
    return QNUtilities::sortedXMLElements(element.elements().value_or(QNXMLElement::Elements()));
}

std::shared_ptr<QNXMLElement> xmlElementForItem(const std::shared_ptr<QNProxyItem>& item) {
    if (const auto proxy = std::dynamic_pointer_cast<QNProxy>(item)) {
        return proxy->xmlElement();
    }
    if (const auto chain = std::dynamic_pointer_cast<QNProxyChain>(item)) {
        return chain->xmlElement();
    }
    return nullptr;
}

} // namespace

std::shared_ptr<QNXMLElement> QNProfile::xmlElement() const {
    // Rules refer to items by their position among the items written, the document holding no object identity.
    QList<std::shared_ptr<QNProxyItem>> written;
    QNXMLElement::Elements proxies;
    for (const auto& item : _proxies) {
        auto element = xmlElementForItem(item);
        if (!element) {
            continue;
        }
        const QString position = QString::number(qint64(written.size()));
        element->addAttributes({{kQNXMLAttributeNameOrder, position}, {kQNXMLAttributeNameIdentifier, position}});
        proxies.append(element);
        written.append(item);
    }

    QNXMLElement::Elements rules;
    for (const auto& rule : _rules) {
        if (!rule) {
            continue;
        }
        auto element = rule->xmlElement();
        QNXMLElement::Attributes extra{{kQNXMLAttributeNameOrder, QString::number(qint64(rules.size()))}};
        if (rule->action() == QNRuleActionProxy) {
            // By identity: an equal copy of an item is not the item the rule points at.
            const qsizetype position = rule->proxy() ? written.indexOf(rule->proxy()) : -1;
            if (position >= 0) {
                extra.insert(kQNXMLAttributeNameProxyIdentifier, QString::number(qint64(position)));
            } else {
                extra.insert(kQNXMLAttributeNameAction, kQNXMLAttributeValueBlock);
            }
        }
        element->addAttributes(extra);
        rules.append(element);
    }

    QNXMLElement::Elements dns;
    for (const auto& entry : _dns) {
        if (!entry) {
            continue;
        }
        auto element = entry->xmlElement();
        element->addAttributes({{kQNXMLAttributeNameOrder, QString::number(qint64(dns.size()))}});
        dns.append(element);
    }

    QNXMLElement::Elements children;
    if (!proxies.isEmpty()) {
        children.append(QNXMLElement::xmlElementWithName(kQNXMLElementNameProxies, std::nullopt, proxies, QString()));
    }
    if (!rules.isEmpty()) {
        children.append(QNXMLElement::xmlElementWithName(kQNXMLElementNameRules, std::nullopt, rules, QString()));
    }
    if (!dns.isEmpty()) {
        children.append(QNXMLElement::xmlElementWithName(kQNXMLElementNameDNS, std::nullopt, dns, QString()));
    }
    std::optional<QNXMLElement::Attributes> attributes;
    if (!_name.isNull()) {
        attributes = QNXMLElement::Attributes{{kQNXMLAttributeNameName, _name}};
    }
    return QNXMLElement::xmlElementWithName(kQNXMLElementNameProfile, attributes,
                                            children.isEmpty() ? std::nullopt : std::optional(children), QString());
}

std::shared_ptr<QNProfile> QNProfile::profileWithXML(const QNXMLElement& element, quint32 identifier) {
    QList<std::shared_ptr<QNProxyItem>> proxies;
    QList<std::shared_ptr<QNRule>> rules;
    QList<std::shared_ptr<QNDNS>> dns;
    // Filled while the children are visited in document order, so rules only see the items that stand before them.
    QHash<QString, std::shared_ptr<QNProxyItem>> itemsByIdentifier;

    for (const auto& section : element.elements().value_or(QNXMLElement::Elements())) {
        if (hasName(section, kQNXMLElementNameProxies)) {
            for (const auto& child : sortedChildElements(*section)) {
                std::shared_ptr<QNProxyItem> item;
                if (hasName(child, kQNXMLElementNameProxy)) {
                    item = QNProxy::proxyWithXML(*child);
                } else if (hasName(child, kQNXMLElementNameProxyChain)) {
                    item = QNProxyChain::proxyChainWithXML(*child);
                }
                if (!item) {
                    continue;
                }
                proxies.append(item);
                if (child->hasAttribute(kQNXMLAttributeNameIdentifier)) {
                    itemsByIdentifier.insert(child->attribute(kQNXMLAttributeNameIdentifier), item);
                }
            }
        } else if (hasName(section, kQNXMLElementNameRules)) {
            for (const auto& child : sortedChildElements(*section)) {
                if (!hasName(child, kQNXMLElementNameRule)) {
                    continue;
                }
                auto rule = QNRule::ruleWithXML(*child);
                if (rule->action() == QNRuleActionProxy) {
                    // Identifiers are texts: "01" does not name the item "1".
                    const auto found =
                        child->hasAttribute(kQNXMLAttributeNameProxyIdentifier)
                            ? itemsByIdentifier.constFind(child->attribute(kQNXMLAttributeNameProxyIdentifier))
                            : itemsByIdentifier.constEnd();
                    if (found != itemsByIdentifier.constEnd()) {
                        rule->setProxy(*found);
                    } else {
                        rule->setAction(QNRuleActionBlock);
                    }
                }
                rules.append(rule);
            }
        } else if (hasName(section, kQNXMLElementNameDNS)) {
            for (const auto& child : sortedChildElements(*section)) {
                if (hasName(child, kQNXMLElementNameDNSItem)) {
                    dns.append(QNDNS::dnsWithXML(*child));
                }
            }
        }
    }
    return profileWithName(element.attribute(kQNXMLAttributeNameName), proxies, rules, dns, identifier);
}

std::shared_ptr<QNXMLElement> QNProfile::xmlElementForProfiles(const QList<std::shared_ptr<QNProfile>>& profiles) {
    QNXMLElement::Elements elements;
    for (const auto& profile : profiles) {
        if (!profile) {
            continue;
        }
        auto element = profile->xmlElement();
        element->addAttributes({{kQNXMLAttributeNameOrder, QString::number(qint64(elements.size()))}});
        elements.append(element);
    }
    return QNXMLElement::xmlElementWithName(kQNXMLElementNameProfiles, std::nullopt, elements, QString());
}

QList<std::shared_ptr<QNProfile>> QNProfile::profilesWithXML(const QNXMLElement& element, quint32 nextIdentifier) {
    QList<std::shared_ptr<QNProfile>> profiles;
    if (element.name().compare(kQNXMLElementNameProfiles, Qt::CaseInsensitive) != 0 || !element.elements()) {
        return profiles;
    }
    // Every profile element takes a number, whether or not it yields a profile. The list stays in "order"
    // order: that is the order the user arranged and exported.
    quint32 identifier = nextIdentifier;
    for (const auto& child : sortedChildElements(element)) {
        if (!hasName(child, kQNXMLElementNameProfile)) {
            continue;
        }
        if (auto profile = profileWithXML(*child, identifier)) {
            profiles.append(profile);
        }
        ++identifier;
    }
    return profiles;
}
