#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

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

    // Convenience for readers: the attribute's text, null when absent (an empty value is empty, not null).
    QString attribute(const QString& name) const;
    bool hasAttribute(const QString& name) const;

    // Conveniences for writers. addAttributes replaces the table with a new one holding the old entries
    // and the extra ones (an extra entry wins); appendElement creates the child list when there is none.
    void addAttributes(const Attributes& extra);
    void appendElement(const std::shared_ptr<QNXMLElement>& element);

    // Lists of texts, as in <hosts><host>a</host><host>b</host></hosts>. Reading gathers the text of every
    // leafName child of every containerName child (names ignoring case) in document order, an empty leaf
    // giving the empty text; writing makes one leaf per text.
    QStringList textsOfChildElements(const QString& containerName, const QString& leafName) const;
    static std::shared_ptr<QNXMLElement> xmlElementWithTexts(const QString& name, const QString& leafName,
                                                             const QStringList& texts);

private:
    QString _name;
    std::optional<Attributes> _attributes;
    std::optional<Elements> _elements;
    QString _data;
};
