#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNXMLElement.h"
#include "util/QNConstants.h"
#include "util/QNUtilities.h"

std::shared_ptr<QNXMLElement> QNProxyChain::xmlElement() const {
    // Members are the chain's own proxies, so each is written in full.
    QNXMLElement::Elements elements;
    qint64 order = 0;
    for (const auto& proxy : _proxies) {
        if (!proxy) {
            continue;
        }
        auto element = proxy->xmlElement();
        element->addAttributes({{kQNXMLAttributeNameOrder, QString::number(order++)}});
        elements.append(element);
    }

    std::optional<QNXMLElement::Attributes> attributes;
    if (!_name.isNull()) {
        attributes = QNXMLElement::Attributes{{kQNXMLAttributeNameName, _name}};
    }
    return QNXMLElement::xmlElementWithName(kQNXMLElementNameProxyChain, attributes,
                                            elements.isEmpty() ? std::nullopt : std::optional(elements), QString());
}

std::shared_ptr<QNProxyChain> QNProxyChain::proxyChainWithXML(const QNXMLElement& element) {
    QList<std::shared_ptr<QNProxy>> proxies;
    for (const auto& child : QNUtilities::sortedXMLElements(element.elements().value_or(QNXMLElement::Elements()))) {
        if (!child || child->name().compare(kQNXMLElementNameProxy, Qt::CaseInsensitive) != 0) {
            continue;
        }
        if (auto proxy = QNProxy::proxyWithXML(*child)) {
            proxies.append(proxy);
        }
    }
    return proxyChainWithName(element.attribute(kQNXMLAttributeNameName), proxies, true);
}
