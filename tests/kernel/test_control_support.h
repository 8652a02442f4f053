#pragma once

// Building engine messages and recording what the parser or channel made of them.

#include "kernel/QNAtomTypes.h"
#include "support/QNTestWait.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace qncontroltest {

inline QByteArray u32Bytes(quint32 value) {
    return QByteArray(reinterpret_cast<const char*>(&value), sizeof value);
}

// One atom: u32 length (header included), u32 type, payload; host byte order.
inline QByteArray message(quint32 type, const QByteArray& payload) {
    return u32Bytes(quint32(8 + payload.size())) + u32Bytes(type) + payload;
}

// A header that claims any length, for framing faults.
inline QByteArray header(quint32 length, quint32 type) {
    return u32Bytes(length) + u32Bytes(type);
}

inline QByteArray connMessage(qint32 count) {
    return message(kQNAtomTypeConnections, QByteArray(reinterpret_cast<const char*>(&count), sizeof count));
}

inline QByteArray u64Message(quint32 type, quint64 value) {
    return message(type, QByteArray(reinterpret_cast<const char*>(&value), sizeof value));
}

inline QByteArray logMessage(const QByteArray& utf8) {
    return message(kQNAtomTypeLog, utf8);
}

} // namespace qncontroltest
