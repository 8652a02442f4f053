#include "model/QNDNS.h"

#include "model/QNSettingsReading.h"
#include "util/QNConstants.h"

QNDNS::QNDNS()
    : _enabled(true) {}

QNDNS::QNDNS(const QString& name, const QStringList& hosts, quint32 resolve, bool enabled)
    : _name(name)
    , _hosts(hosts)
    , _resolve(resolve)
    , _enabled(enabled) {}

QNDNS::QNDNS(const QVariantMap& settings) {
    setSettings(settings);
}

std::shared_ptr<QNDNS> QNDNS::dns() {
    return std::make_shared<QNDNS>();
}

std::shared_ptr<QNDNS> QNDNS::dnsWithName(const QString& name, const QStringList& hosts, quint32 resolve,
                                          bool enabled) {
    return std::make_shared<QNDNS>(name, hosts, resolve, enabled);
}

std::shared_ptr<QNDNS> QNDNS::dnsWithSettings(const QVariantMap& settings) {
    return std::make_shared<QNDNS>(settings);
}

QVariantMap QNDNS::settings() const {
    QVariantMap settings;
    if (!_name.isEmpty()) {
        settings.insert(kQNSettingsKeyName, _name);
    }
    if (!_hosts.isEmpty()) {
        settings.insert(kQNSettingsKeyHosts, _hosts);
    }
    settings.insert(kQNSettingsKeyResolve, QNSettings::number(_resolve));
    settings.insert(kQNSettingsKeyEnabled, _enabled);
    return settings;
}

void QNDNS::setSettings(const QVariantMap& settings) {
    using namespace QNSettings;
    _name = text(settings, kQNSettingsKeyName);
    _hosts = textList(settings, kQNSettingsKeyHosts);
    _resolve = static_cast<quint32>(integer(settings, kQNSettingsKeyResolve));
    _enabled = boolean(settings, kQNSettingsKeyEnabled);
}

std::shared_ptr<QNDNS> QNDNS::copy() const {
    return dnsWithName(_name, _hosts, _resolve, _enabled);
}
