#pragma once

#include "engine/QNProxyHandshake.h"
#include "engine/QNRuleMatcher.h"

#include <QString>

// The wording of the engine's log lines, shared by the relay and the tests.
class QNEngineText {
public:
    QNEngineText() = delete;

    // "203.0.113.7:80", "[fd00::1]:443"; with the name behind the address "www.example.org:443 (198.18.0.7)";
    // with the program that opened it, when known, "10.0.0.1:80 [curl]".
    static QString target(const QNEngineTarget& target);
    // SOCKS5 "corp" 10.0.0.2:1080, worded as the handshake words its failures.
    static QString proxy(const QNDecodedProxy& proxy);
    // What a successful connection did: "direct", "via SOCKS5 "corp" 10.0.0.2:1080",
    // "via chain "c": SOCKS5 "a" ..., HTTP CONNECT "b" ...", "blocked by rule "name"".
    static QString route(const QNRouteDecision& decision);
    // "at hop 1 of 2 (SOCKS5 "corp" 10.0.0.2:1080): <why>" for a hop the relay itself could not reach.
    static QString hopFailure(const QList<QNDecodedProxy>& hops, const QString& why);
};
