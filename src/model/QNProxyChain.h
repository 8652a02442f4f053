#pragma once

#include "model/QNProxyItem.h"

#include <QList>
#include <QVariantMap>

#include <memory>

class QNProxy;
class QNXMLElement;

// Proxies used one behind the other, first contacted first. The chain holds its own proxies.
class QNProxyChain : public QNProxyItem {
public:
    // init: no name, no members, open.
    QNProxyChain();
    QNProxyChain(const QString& name, const QList<std::shared_ptr<QNProxy>>& proxies, bool open);
    // initWithSettings: starts from an empty object (open off) and applies the dictionary.
    explicit QNProxyChain(const QVariantMap& settings);

    static std::shared_ptr<QNProxyChain> proxyChain();
    static std::shared_ptr<QNProxyChain> proxyChainWithName(const QString& name,
                                                            const QList<std::shared_ptr<QNProxy>>& proxies, bool open);
    static std::shared_ptr<QNProxyChain> proxyChainWithSettings(const QVariantMap& settings);

    QVariantMap settings() const;
    void setSettings(const QVariantMap& settings);
    quint32 kind() const override { return QNProxyItemKindChain; }
    // Own list, shared member objects.
    std::shared_ptr<QNProxyChain> copy() const;
    // At most one HTTP proxy, and then last; at most one SSH tunnel, and then first.
    bool validateChain() const;

    // XML form.
    std::shared_ptr<QNXMLElement> xmlElement() const;
    static std::shared_ptr<QNProxyChain> proxyChainWithXML(const QNXMLElement& element);

    QString name() const override { return _name; }
    void setName(const QString& name) override { _name = name; }
    QList<std::shared_ptr<QNProxy>>& proxies() { return _proxies; }
    const QList<std::shared_ptr<QNProxy>>& proxies() const { return _proxies; }
    void setProxies(const QList<std::shared_ptr<QNProxy>>& proxies) { _proxies = proxies; }
    bool open() const { return _open; }
    void setOpen(bool open) { _open = open; }

private:
    QString _name;
    QList<std::shared_ptr<QNProxy>> _proxies;
    bool _open = false;
};
