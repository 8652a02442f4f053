#include "model/QNRule.h"
#include "model/QNXMLElement.h"
#include "util/QNConstants.h"

std::shared_ptr<QNXMLElement> QNRule::xmlElement() const {
    QNXMLElement::Attributes attributes;
    if (!_name.isNull()) {
        attributes.insert(kQNXMLAttributeNameName, _name);
    }
    switch (_action) {
    case QNRuleActionProxy:
        attributes.insert(kQNXMLAttributeNameAction, kQNXMLAttributeValueProxy);
        break;
    case QNRuleActionDirect:
        attributes.insert(kQNXMLAttributeNameAction, kQNXMLAttributeValueDirect);
        break;
    case QNRuleActionBlock:
        attributes.insert(kQNXMLAttributeNameAction, kQNXMLAttributeValueBlock);
        break;
    default:
        break;
    }
    attributes.insert(kQNXMLAttributeNameEnabled, _enabled ? kQNXMLAttributeValueTrue : kQNXMLAttributeValueFalse);

    QNXMLElement::Elements elements;
    if (!_applications.isEmpty()) {
        elements.append(QNXMLElement::xmlElementWithTexts(kQNXMLElementNameApplications, kQNXMLElementNameApplication,
                                                          _applications));
    }
    if (!_hosts.isEmpty()) {
        elements.append(QNXMLElement::xmlElementWithTexts(kQNXMLElementNameHosts, kQNXMLElementNameHost, _hosts));
    }
    if (!_ports.isEmpty()) {
        elements.append(QNXMLElement::xmlElementWithTexts(kQNXMLElementNamePorts, kQNXMLElementNamePort, _ports));
    }
    return QNXMLElement::xmlElementWithName(kQNXMLElementNameRule, attributes,
                                            elements.isEmpty() ? std::nullopt : std::optional(elements), QString());
}

std::shared_ptr<QNRule> QNRule::ruleWithXML(const QNXMLElement& element) {
    // Absent means direct; any text other than the two below blocks, the safe reading of something unknown.
    quint32 action = QNRuleActionDirect;
    if (element.hasAttribute(kQNXMLAttributeNameAction)) {
        const QString text = element.attribute(kQNXMLAttributeNameAction);
        if (text.compare(kQNXMLAttributeValueDirect, Qt::CaseInsensitive) == 0) {
            action = QNRuleActionDirect;
        } else if (text.compare(kQNXMLAttributeValueProxy, Qt::CaseInsensitive) == 0) {
            action = QNRuleActionProxy;
        } else {
            action = QNRuleActionBlock;
        }
    }
    const bool enabled = element.attribute(kQNXMLAttributeNameEnabled) == kQNXMLAttributeValueTrue;

    return ruleWithName(element.attribute(kQNXMLAttributeNameName),
                        element.textsOfChildElements(kQNXMLElementNameApplications, kQNXMLElementNameApplication),
                        element.textsOfChildElements(kQNXMLElementNameHosts, kQNXMLElementNameHost),
                        element.textsOfChildElements(kQNXMLElementNamePorts, kQNXMLElementNamePort), action, nullptr,
                        enabled);
}
