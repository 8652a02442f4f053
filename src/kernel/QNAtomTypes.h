#pragma once

#include <QString>
#include <QtGlobal>

// Four-character atom types. The first character is the most significant byte, so 'prnm' is 0x70726E6D;
// in a little-endian stream the bytes of a type therefore stand in reverse character order.
constexpr quint32 QNFourCharCode(const char (&code)[5]) {
    return (quint32(quint8(code[0])) << 24) | (quint32(quint8(code[1])) << 16) | (quint32(quint8(code[2])) << 8) |
           quint32(quint8(code[3]));
}

// Every atom starts with two u32 words: its whole length (header included), then its type.
inline constexpr quint32 kQNAtomHeaderSize = 8;

// Top level of a profile stream (not wrapped in an atom).
inline constexpr quint32 kQNAtomTypeProfileName = QNFourCharCode("prnm");
inline constexpr quint32 kQNAtomTypeProxies = QNFourCharCode("prxs");
inline constexpr quint32 kQNAtomTypeRules = QNFourCharCode("rles");
inline constexpr quint32 kQNAtomTypeDNSEntries = QNFourCharCode("dnss");

// A proxy and its fields.
inline constexpr quint32 kQNAtomTypeProxy = QNFourCharCode("prxy");
inline constexpr quint32 kQNAtomTypeName = QNFourCharCode("name");
inline constexpr quint32 kQNAtomTypeType = QNFourCharCode("type");
inline constexpr quint32 kQNAtomTypeHostIPv4 = QNFourCharCode("hst4");
inline constexpr quint32 kQNAtomTypeHostIPv6 = QNFourCharCode("hst6");
inline constexpr quint32 kQNAtomTypePort = QNFourCharCode("port");
inline constexpr quint32 kQNAtomTypeUser = QNFourCharCode("user");
inline constexpr quint32 kQNAtomTypePassword = QNFourCharCode("pass");
inline constexpr quint32 kQNAtomTypeFilterPorts = QNFourCharCode("fpts");
inline constexpr quint32 kQNAtomTypeFilterPort = QNFourCharCode("fprt");
inline constexpr quint32 kQNAtomTypeFilterPortRange = QNFourCharCode("fprg");
inline constexpr quint32 kQNAtomTypeAnonymize = QNFourCharCode("anon");
inline constexpr quint32 kQNAtomTypeLocalTunnelPort = QNFourCharCode("ltpt");

// A proxy chain, flattened into its member proxies.
inline constexpr quint32 kQNAtomTypeProxyChain = QNFourCharCode("pxch");
inline constexpr quint32 kQNAtomTypeChainName = QNFourCharCode("pxcn");
inline constexpr quint32 kQNAtomTypeChainProxies = QNFourCharCode("pcpx");

// A rule and its conditions. Rule ports reuse 'port' for a single port.
inline constexpr quint32 kQNAtomTypeRule = QNFourCharCode("rule");
inline constexpr quint32 kQNAtomTypeApplications = QNFourCharCode("apps");
inline constexpr quint32 kQNAtomTypeApplication = QNFourCharCode("appl");
inline constexpr quint32 kQNAtomTypeHosts = QNFourCharCode("hsts");
inline constexpr quint32 kQNAtomTypePorts = QNFourCharCode("prts");
inline constexpr quint32 kQNAtomTypePortRange = QNFourCharCode("ptrg");
inline constexpr quint32 kQNAtomTypeAction = QNFourCharCode("actn");
inline constexpr quint32 kQNAtomTypeProxyIndex = QNFourCharCode("prxi");

// Rule host entries; DNS host entries use 'host' only.
inline constexpr quint32 kQNAtomTypeHostAddressIPv4 = QNFourCharCode("hti4");
inline constexpr quint32 kQNAtomTypeHostRangeIPv4 = QNFourCharCode("hi4r");
inline constexpr quint32 kQNAtomTypeHostAddressIPv6 = QNFourCharCode("hti6");
inline constexpr quint32 kQNAtomTypeHostRangeIPv6 = QNFourCharCode("hi6r");
inline constexpr quint32 kQNAtomTypeHost = QNFourCharCode("host");

// A DNS entry (the fourth character is a space).
inline constexpr quint32 kQNAtomTypeDNS = QNFourCharCode("dns ");
inline constexpr quint32 kQNAtomTypeResolve = QNFourCharCode("resl");

// Messages from the engine on the control socket.
inline constexpr quint32 kQNAtomTypeConnections = QNFourCharCode("conn");
inline constexpr quint32 kQNAtomTypeDataReceived = QNFourCharCode("datr");
inline constexpr quint32 kQNAtomTypeDataSent = QNFourCharCode("dats");
inline constexpr quint32 kQNAtomTypeLog = QNFourCharCode("loge");

// The type as its four characters for messages ("prnm"); bytes outside printable ASCII are shown as \xNN.
inline QString QNAtomTypeString(quint32 type) {
    QString text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = quint8(type >> shift);
        if (byte >= 0x20 && byte < 0x7F) {
            text += QLatin1Char(char(byte));
        } else {
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
        }
    }
    return text;
}
