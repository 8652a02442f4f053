#pragma once

#include "util/QNUtilities.h"

#include <QString>
#include <QtGlobal>

// Where a connection is going: the original destination, and its host name when one is known.
struct QNEngineTarget {
    QNAddressWords address{}; // IPv4 in the last word
    bool isIPv6 = false;
    quint16 port = 0;
    QString hostName; // empty when unknown

    // "10.0.0.1:80", "[fd00::1]:443".
    QString toString() const;

    bool operator==(const QNEngineTarget&) const = default;
};
