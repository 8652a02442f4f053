#include "QNNftTable.h"

#include "QNNftRuleset.h"

#include <nftables/libnftables.h>

QNNftTable::QNNftTable(quint32 bypassMark)
    : _context(nft_ctx_new(NFT_CTX_DEFAULT))
    , _bypassMark(bypassMark) {
    if (_context != nullptr) {
        // Messages are collected, not printed, so they can go into our own report.
        nft_ctx_buffer_output(_context);
        nft_ctx_buffer_error(_context);
    }
}

QNNftTable::~QNNftTable() {
    if (_context != nullptr) {
        nft_ctx_free(_context);
    }
}

bool QNNftTable::apply(const QMap<quint32, quint16>& redirects, const QMap<quint32, quint16>& dnsPorts,
                       QString* error) {
    return run(QNNftRuleset::replaceText(redirects, _bypassMark, dnsPorts), error);
}

bool QNNftTable::remove(QString* error) {
    return run(QNNftRuleset::deleteText(), error);
}

bool QNNftTable::run(const QString& text, QString* error) {
    if (_context == nullptr) {
        *error = QStringLiteral("cannot set up libnftables");
        return false;
    }
    const QByteArray bytes = text.toUtf8();
    const int result = nft_run_cmd_from_buffer(_context, bytes.constData());
    const char* message = nft_ctx_get_error_buffer(_context);
    if (result != 0) {
        *error = QString::fromLocal8Bit(message != nullptr ? message : "").trimmed();
        if (error->isEmpty()) {
            *error = QStringLiteral("nftables refused the table");
        }
        return false;
    }
    return true;
}
