#pragma once

#include <QtGlobal>

// SOCKS 4, 4a and 5 constants and message layouts shared by both ends of the protocol.
class QNSOCKSWire {
public:
    QNSOCKSWire() = delete;
    static constexpr quint8 kVersion4 = 4;
    static constexpr quint8 kVersion5 = 5;
};
