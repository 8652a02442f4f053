#include "model/QNXMLElement.h"

QNXMLElement::QNXMLElement(const QString& name)
    : _name(name) {}

QNXMLElement::QNXMLElement(const QString& name, const std::optional<Attributes>& attributes,
                           const std::optional<Elements>& elements, const QString& data)
    : _name(name)
    , _attributes(attributes)
    , _elements(elements)
    , _data(data) {}

std::shared_ptr<QNXMLElement> QNXMLElement::xmlElementWithName(const QString& name) {
    return std::make_shared<QNXMLElement>(name);
}

std::shared_ptr<QNXMLElement> QNXMLElement::xmlElementWithName(const QString& name,
                                                               const std::optional<Attributes>& attributes,
                                                               const std::optional<Elements>& elements,
                                                               const QString& data) {
    return std::make_shared<QNXMLElement>(name, attributes, elements, data);
}

std::shared_ptr<QNXMLElement> QNXMLElement::childElementWithName(const QString& name) const {
    if (!_elements) {
        return nullptr;
    }
    for (const auto& element : *_elements) {
        if (element && element->_name.compare(name, Qt::CaseInsensitive) == 0) {
            return element;
        }
    }
    return nullptr;
}

bool QNXMLElement::hasAttribute(const QString& name) const {
    return _attributes && _attributes->contains(name);
}

QString QNXMLElement::attribute(const QString& name) const {
    if (!_attributes) {
        return QString();
    }
    return _attributes->value(name);
}

void QNXMLElement::addAttributes(const Attributes& extra) {
    // A fresh table, so that a table shared with someone else is never changed under them.
    Attributes attributes = _attributes.value_or(Attributes());
    for (auto it = extra.constBegin(); it != extra.constEnd(); ++it) {
        attributes.insert(it.key(), it.value());
    }
    _attributes = attributes;
}

void QNXMLElement::appendElement(const std::shared_ptr<QNXMLElement>& element) {
    if (!_elements) {
        _elements = Elements();
    }
    _elements->append(element);
}

QStringList QNXMLElement::textsOfChildElements(const QString& containerName, const QString& leafName) const {
    QStringList texts;
    if (!_elements) {
        return texts;
    }
    for (const auto& container : *_elements) {
        if (!container || container->_name.compare(containerName, Qt::CaseInsensitive) != 0 || !container->_elements) {
            continue;
        }
        for (const auto& leaf : *container->_elements) {
            if (leaf && leaf->_name.compare(leafName, Qt::CaseInsensitive) == 0) {
                // A leaf without text stands for the empty text rather than being dropped.
                texts.append(leaf->_data.isNull() ? QStringLiteral("") : leaf->_data);
            }
        }
    }
    return texts;
}

std::shared_ptr<QNXMLElement> QNXMLElement::xmlElementWithTexts(const QString& name, const QString& leafName,
                                                                const QStringList& texts) {
    Elements leaves;
    leaves.reserve(texts.size());
    for (const auto& text : texts) {
        leaves.append(xmlElementWithName(leafName, std::nullopt, std::nullopt, text));
    }
    return xmlElementWithName(name, std::nullopt, leaves, QString());
}
