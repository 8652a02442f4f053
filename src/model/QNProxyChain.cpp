#include "model/QNProxyChain.h"

#include "model/QNProxy.h"
#include "model/QNSettingsReading.h"
#include "util/QNConstants.h"

QNProxyChain::QNProxyChain()
    : _open(true) {}

QNProxyChain::QNProxyChain(const QString& name, const QList<std::shared_ptr<QNProxy>>& proxies, bool open)
    : _name(name)
    , _proxies(proxies)
    , _open(open) {}

QNProxyChain::QNProxyChain(const QVariantMap& settings) {
    setSettings(settings);
}

std::shared_ptr<QNProxyChain> QNProxyChain::proxyChain() {
    return std::make_shared<QNProxyChain>();
}

std::shared_ptr<QNProxyChain>
QNProxyChain::proxyChainWithName(const QString& name, const QList<std::shared_ptr<QNProxy>>& proxies, bool open) {
    return std::make_shared<QNProxyChain>(name, proxies, open);
}

std::shared_ptr<QNProxyChain> QNProxyChain::proxyChainWithSettings(const QVariantMap& settings) {
    return std::make_shared<QNProxyChain>(settings);
}

QVariantMap QNProxyChain::settings() const {
    QVariantMap settings;
    if (!_name.isNull()) {
        settings.insert(kQNSettingsKeyName, _name);
    }
    QVariantList members;
    for (const auto& proxy : _proxies) {
        if (proxy) {
            members.append(proxy->settings());
        }
    }
    settings.insert(kQNSettingsKeyProxies, members);
    settings.insert(kQNSettingsKeyKind, kQNSettingsValueChain);
    settings.insert(kQNSettingsKeyOpen, _open);
    return settings;
}

void QNProxyChain::setSettings(const QVariantMap& settings) {
    _name = QNSettings::text(settings, kQNSettingsKeyName);
    // Members are always single proxies, whatever their own "kind" claims.
    _proxies.clear();
    const QList<QVariantMap> members = QNSettings::dictionaryList(settings, kQNSettingsKeyProxies);
    for (const QVariantMap& member : members) {
        _proxies.append(QNProxy::proxyWithSettings(member));
    }
    _open = QNSettings::boolean(settings, kQNSettingsKeyOpen);
}

std::shared_ptr<QNProxyChain> QNProxyChain::copy() const {
    return proxyChainWithName(_name, _proxies, _open);
}

namespace {

bool isHTTPType(quint32 type) {
    return type == QNProxyTypeHTTPTransparent || type == QNProxyTypeHTTPNonTransparent ||
           type == QNProxyTypeHTTPConnect;
}

// A missing member has no type; it counts as neither HTTP nor SSH.
quint32 typeOf(const std::shared_ptr<QNProxy>& proxy) {
    return proxy ? proxy->type() : 0;
}

} // namespace

bool QNProxyChain::validateChain() const {
    // An HTTP proxy cannot forward onward to another proxy, so it must be last; the SSH tunnel is reached
    // through its local listener, so it must be first.
    int httpCount = 0;
    int sshCount = 0;
    for (const auto& proxy : _proxies) {
        const quint32 type = typeOf(proxy);
        if (isHTTPType(type)) {
            ++httpCount;
        } else if (type == QNProxyTypeSSHTunnel) {
            ++sshCount;
        }
    }
    if (httpCount > 1 || sshCount > 1) {
        return false;
    }
    if (httpCount == 1 && !isHTTPType(typeOf(_proxies.last()))) {
        return false;
    }
    if (sshCount == 1) {
        return typeOf(_proxies.first()) == QNProxyTypeSSHTunnel;
    }
    return true;
}
