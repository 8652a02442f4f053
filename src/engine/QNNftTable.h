#pragma once

#include <QMap>
#include <QString>
#include <QtGlobal>

struct nft_ctx;

// Applies the engine's table through libnftables. Needs CAP_NET_ADMIN; every call is one transaction,
// so the kernel holds either the old table or the new one, never a mix.
class QNNftTable {
public:
    explicit QNNftTable(quint32 bypassMark);
    ~QNNftTable();
    QNNftTable(const QNNftTable&) = delete;
    QNNftTable& operator=(const QNNftTable&) = delete;

    // Installs redirects for exactly these users (an empty map removes the table), their name queries to
    // their DNS ports. False with *error set (nft's own message) when the kernel refused the batch; the
    // table is then unchanged.
    bool apply(const QMap<quint32, quint16>& redirects, const QMap<quint32, quint16>& dnsPorts, QString* error);
    // Removes the table if present.
    bool remove(QString* error);

private:
    bool run(const QString& text, QString* error);

    nft_ctx* _context = nullptr;
    quint32 _bypassMark;
};
