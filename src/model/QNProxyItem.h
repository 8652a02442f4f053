#pragma once

#include <QString>
#include <QtGlobal>

enum QNProxyItemKind : quint32 {
    QNProxyItemKindChain = 0,
    QNProxyItemKindProxy = 1,
};

// What a profile's proxy list holds and a rule points at: a single proxy or a chain of proxies.
// Code that walks a proxy list dispatches on kind() and skips any other kind.
class QNProxyItem {
public:
    QNProxyItem() = default;
    QNProxyItem(const QNProxyItem&) = default;
    QNProxyItem& operator=(const QNProxyItem&) = default;
    virtual ~QNProxyItem() = default;

    virtual QString name() const { return QString(); }
    virtual void setName(const QString&) {}
    virtual quint32 kind() const { return QNProxyItemKindProxy; }
};
