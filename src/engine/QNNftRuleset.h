#pragma once

#include <QMap>
#include <QString>
#include <QtGlobal>

// The text of the engine's nftables table, kept apart from applying it so it can be checked without root.
//
// One table, 'inet quillon', with a NAT output chain: the engine's own marked sockets pass untouched, each
// intercepted user's name queries (UDP and TCP port 53, to any address) go to that user's DNS port, loopback
// destinations pass, and the user's TCP connections are redirected to the relay port that serves that
// user. A filter chain refuses the user's UDP to port 443 (QUIC). Every text replaces the table as a whole in one
// transaction: declaring the table first makes the deletion safe when none exists, and the new table is added in the
// same batch.
class QNNftRuleset {
public:
    QNNftRuleset() = delete;

    static constexpr const char* kFamily = "inet";
    static constexpr const char* kTableName = "quillon";

    // Replaces (or creates) the table with redirects for these users (uid to relay port, and uid to DNS
    // port for those that have one); with no users the table is removed instead.
    static QString replaceText(const QMap<quint32, quint16>& redirects, quint32 bypassMark,
                               const QMap<quint32, quint16>& dnsPorts = {});
    // Removes the table when it exists.
    static QString deleteText();
};
