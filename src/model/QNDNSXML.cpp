#include "model/QNDNS.h"
#include "model/QNXMLElement.h"
#include "util/QNConstants.h"

std::shared_ptr<QNXMLElement> QNDNS::xmlElement() const {
    QNXMLElement::Attributes attributes;
    if (!_name.isNull()) {
        attributes.insert(kQNXMLAttributeNameName, _name);
    }
    if (_resolve == QNDNSResolveLocal) {
        attributes.insert(kQNXMLAttributeNameResolve, kQNXMLAttributeValueLocal);
    } else if (_resolve == QNDNSResolveRemote) {
        attributes.insert(kQNXMLAttributeNameResolve, kQNXMLAttributeValueRemote);
    }
    attributes.insert(kQNXMLAttributeNameEnabled, _enabled ? kQNXMLAttributeValueTrue : kQNXMLAttributeValueFalse);

    std::optional<QNXMLElement::Elements> elements;
    if (!_hosts.isEmpty()) {
        elements = QNXMLElement::Elements{
            QNXMLElement::xmlElementWithTexts(kQNXMLElementNameHosts, kQNXMLElementNameHost, _hosts)};
    }
    return QNXMLElement::xmlElementWithName(kQNXMLElementNameDNSItem, attributes, elements, QString());
}

std::shared_ptr<QNDNS> QNDNS::dnsWithXML(const QNXMLElement& element) {
    // Absent means remote; anything but "remote" means local.
    quint32 resolve = QNDNSResolveRemote;
    if (element.hasAttribute(kQNXMLAttributeNameResolve) &&
        element.attribute(kQNXMLAttributeNameResolve).compare(kQNXMLAttributeValueRemote, Qt::CaseInsensitive) != 0) {
        resolve = QNDNSResolveLocal;
    }
    const bool enabled = element.attribute(kQNXMLAttributeNameEnabled) == kQNXMLAttributeValueTrue;
    return dnsWithName(element.attribute(kQNXMLAttributeNameName),
                       element.textsOfChildElements(kQNXMLElementNameHosts, kQNXMLElementNameHost), resolve, enabled);
}
