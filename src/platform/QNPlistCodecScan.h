#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Structural checks that run before libplist parses binary outside input, and the few binary property-list
// pieces the codec builds itself. libplist 2.2 recurses without bound on nested binary containers and
// expands objects that are referenced many times into copies, so a small hostile file can exhaust the
// stack or the memory; these checks bound both first.
namespace QNPlistCodecScan {

// The binary format's magic ("bplist").
bool isBinary(const QByteArray& data);

// Offset table and object references in range, no cycles, containers nested at most maximumDepth
// levels, and at most maximumValueCount values once every reference is expanded.
bool checkBinary(const QByteArray& data, int maximumDepth, qint64 maximumValueCount, QString* problem);

// A binary property list whose root is an array holding the one given encoded object.
QByteArray singleItemArray(const QByteArray& object);
// Encoded binary objects: a date (seconds since 2001-01-01 UTC) and a 128-bit unsigned integer.
QByteArray dateObject(double seconds);
QByteArray unsignedIntegerObject(quint64 value);
// The seconds of the date that is the first item of a binary property list's root array.
std::optional<double> firstArrayDate(const QByteArray& data);

} // namespace QNPlistCodecScan
