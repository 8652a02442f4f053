#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QNXMLElement;

// The text form of an element tree, as exported and imported by the settings tool.
//
// Writing: UTF-8 with an XML declaration, one element per line indented by two spaces per level, attributes in
// name order, a leaf's text inline and escaped so that it reads back unchanged. A node with children is written
// with its children only (container text is not data). Characters XML cannot carry at all (most control
// characters, lone surrogates) are written as U+FFFD.
//
// Reading treats the text as hostile: no document type declaration (and so no entity definitions or external
// entities), at most maximumDepth levels, maximumElementCount elements, maximumAttributeCount attributes on one
// element and maximumSize bytes. The text is UTF-8, UTF-16 or UTF-32 (told by a byte order mark or the form of the
// first "<"), or ISO-8859-1 when its declaration says so; other encodings and wrongly encoded text are refused.
// Whitespace-only text in an element that has children is dropped; a leaf keeps its text exactly, and an empty leaf has
// empty (not null) text. Element and attribute names are taken as written, prefixes included.
class QNXMLText {
public:
    static constexpr qint64 maximumSize = 16 * 1024 * 1024;
    static constexpr int maximumDepth = 64;
    static constexpr qint64 maximumElementCount = 1024 * 1024;
    static constexpr int maximumAttributeCount = 256;
    // Attribute comparisons the reader may make over the whole document (a tag of n attributes costs about
    // n * n / 2): far beyond any real profile document, small enough to read in well under a second.
    static constexpr qint64 maximumAttributeComparisons = 16 * 1024 * 1024;

    struct Result {
        // The root element; null on failure.
        std::shared_ptr<QNXMLElement> element;
        // What went wrong, without the position.
        QString errorString;
        // Where it went wrong, both counted from 1; 0 when the failure has no position (size, unreadable file).
        qint64 lineNumber = 0;
        qint64 columnNumber = 0;

        bool ok() const { return element != nullptr; }
        // The error with its position, ready to show; empty on success.
        QString message() const;
    };

    QNXMLText() = delete;

    // Null when the tree cannot be written as XML: a name that is not a qualified XML name, or nesting deeper than
    // maximumDepth (which the reader would refuse anyway).
    static QByteArray dataWithXMLElement(const QNXMLElement& root);

    static Result xmlElementWithData(const QByteArray& data);
    // Refuses a file over maximumSize before reading it.
    static Result xmlElementWithContentsOfFile(const QString& path);
};
