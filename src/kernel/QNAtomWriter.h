#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Appends atoms to a growable buffer: u32 length (the 8 header bytes included), u32 type, then the data.
// Both header words and every number are in host byte order. An atom whose length would not fit the
// 32-bit length word is refused: nothing is appended and the result is false.
class QNAtomWriter {
public:
    QNAtomWriter() = delete;

    // The header, then dataLength bytes of data (none when dataLength is 0; data may then be null).
    static bool appendAtom(QByteArray& buffer, quint32 type, const char* data, quint32 dataLength);
    // The whole of data as one atom.
    static bool appendAtom(QByteArray& buffer, quint32 type, const QByteArray& data);

    // Typed conveniences for the value encodings of the stream.
    static void appendUInt8Atom(QByteArray& buffer, quint32 type, quint8 value);
    static void appendUInt16Atom(QByteArray& buffer, quint32 type, quint16 value);
    static void appendUInt32Atom(QByteArray& buffer, quint32 type, quint32 value);
    // Two u16, first then last (port ranges).
    static void appendUInt16PairAtom(QByteArray& buffer, quint32 type, quint16 first, quint16 last);
    // UTF-8 without a terminator; a null or empty text gives an atom with no data.
    static bool appendTextAtom(QByteArray& buffer, quint32 type, const QString& text);
};
