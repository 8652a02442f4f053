#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

// Reads XML property lists in one pass over the bytes, with an explicit stack instead of recursion, so
// that no document can exhaust the call stack; nesting and the number of values are checked as elements
// open, before anything is built for them.
//
// The dialect is what libplist, Python's plistlib and the codec's own writer produce: an optional
// declaration, document type and comments, a <plist> root (or a bare value) holding one value, the
// elements dict, key, array, string, integer, real, true, false, data and date, attributes that are read
// and ignored, the five named entities, character references and CDATA sections. Integers are decimal or
// "0x" hexadecimal; reals include "nan" and "+infinity"; dates are ISO 8601 in UTC ("2001-01-01T00:00:00Z",
// with the later parts optional). Anything else, and any character XML 1.0 cannot carry, is an error that
// names the line.
namespace QNPlistXMLReader {

// Values as QNPlistCodec documents them. maximumDepth counts nested dictionaries and arrays (the root one
// included); maximumValueCount counts every value and every dictionary key.
std::optional<QVariant> read(const QByteArray& data, int maximumDepth, qint64 maximumValueCount, QString* error);

// Text XML 1.0 can carry: valid UTF-16 without control characters other than tab, line feed and carriage
// return, and without U+FFFE and U+FFFF.
bool isStorableText(const QString& text);

} // namespace QNPlistXMLReader
