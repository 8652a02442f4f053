#pragma once

#include <QList>
#include <QMap>
#include <QString>

#include <memory>
#include <optional>

// A node of an XML element tree: name, attributes, ordered children, text. A node carries either children
// or text, never both. Attributes and children may be absent (no table or list at all).
class QNXMLElement {
public:
    using Attributes = QMap<QString, QString>;
    using Elements = QList<std::shared_ptr<QNXMLElement>>;

    explicit QNXMLElement(const QString& name);
    QNXMLElement(const QString& name, const std::optional<Attributes>& attributes,
                 const std::optional<Elements>& elements, const QString& data);

    static std::shared_ptr<QNXMLElement> xmlElementWithName(const QString& name);
    static std::shared_ptr<QNXMLElement> xmlElementWithName(const QString& name,
                                                            const std::optional<Attributes>& attributes,
                                                            const std::optional<Elements>& elements,
                                                            const QString& data);

    // First child whose name matches ignoring case; null when none.
    std::shared_ptr<QNXMLElement> childElementWithName(const QString& name) const;

    QString name() const { return _name; }
    void setName(const QString& name) { _name = name; }
    const std::optional<Attributes>& attributes() const { return _attributes; }
    void setAttributes(const std::optional<Attributes>& attributes) { _attributes = attributes; }
    const std::optional<Elements>& elements() const { return _elements; }
    void setElements(const std::optional<Elements>& elements) { _elements = elements; }
    QString data() const { return _data; }
    void setData(const QString& data) { _data = data; }

    // Convenience for readers: the attribute's text, null when absent.
    QString attribute(const QString& name) const;

private:
    QString _name;
    std::optional<Attributes> _attributes;
    std::optional<Elements> _elements;
    QString _data;
};
