#include "engine/QNEngineTarget.h"

#include "kernel/QNProfileStreamDecoder.h"

QString QNEngineTarget::toString() const {
    const QString host = QNProfileStreamDecoder::addressString(address, isIPv6);
    return isIPv6 ? QStringLiteral("[%1]:%2").arg(host).arg(port) : QStringLiteral("%1:%2").arg(host).arg(port);
}
