#include "model/QNRule.h"

#include "model/QNProxyItem.h"
#include "model/QNSettingsReading.h"
#include "util/QNConstants.h"

QNRule::QNRule()
    : _enabled(true) {}

QNRule::QNRule(const QString& name, const QStringList& applications, const QStringList& hosts, const QStringList& ports,
               quint32 action, const std::shared_ptr<QNProxyItem>& proxy, bool enabled)
    : _name(name)
    , _applications(applications)
    , _hosts(hosts)
    , _ports(ports)
    , _action(action)
    , _proxy(proxy)
    , _enabled(enabled) {}

QNRule::QNRule(const QVariantMap& settings) {
    setSettings(settings);
}

std::shared_ptr<QNRule> QNRule::rule() {
    return std::make_shared<QNRule>();
}

std::shared_ptr<QNRule> QNRule::ruleWithName(const QString& name, const QStringList& applications,
                                             const QStringList& hosts, const QStringList& ports, quint32 action,
                                             const std::shared_ptr<QNProxyItem>& proxy, bool enabled) {
    return std::make_shared<QNRule>(name, applications, hosts, ports, action, proxy, enabled);
}

std::shared_ptr<QNRule> QNRule::ruleWithSettings(const QVariantMap& settings) {
    return std::make_shared<QNRule>(settings);
}

QVariantMap QNRule::settings() const {
    QVariantMap settings;
    if (!_name.isEmpty()) {
        settings.insert(kQNSettingsKeyName, _name);
    }
    if (!_applications.isEmpty()) {
        settings.insert(kQNSettingsKeyApplications, _applications);
    }
    if (!_hosts.isEmpty()) {
        settings.insert(kQNSettingsKeyHosts, _hosts);
    }
    if (!_ports.isEmpty()) {
        settings.insert(kQNSettingsKeyPorts, _ports);
    }
    settings.insert(kQNSettingsKeyAction, QNSettings::number(_action));
    settings.insert(kQNSettingsKeyEnabled, _enabled);
    return settings;
}

void QNRule::setSettings(const QVariantMap& settings) {
    using namespace QNSettings;
    // The proxy is named by position in the profile's dictionary; the profile resolves it.
    _name = text(settings, kQNSettingsKeyName);
    _applications = textList(settings, kQNSettingsKeyApplications);
    _hosts = textList(settings, kQNSettingsKeyHosts);
    _ports = textList(settings, kQNSettingsKeyPorts);
    _action = static_cast<quint32>(integer(settings, kQNSettingsKeyAction));
    _enabled = boolean(settings, kQNSettingsKeyEnabled);
}

std::shared_ptr<QNRule> QNRule::copy() const {
    return ruleWithName(_name, _applications, _hosts, _ports, _action, _proxy, _enabled);
}
