#include "model/QNProfile.h"

#include "model/QNDNS.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "model/QNSettingsReading.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <optional>
#include <unordered_map>

namespace {

// An item's own dictionary when it is a proxy or a chain that can write one; nothing for other kinds.
std::optional<QVariantMap> itemSettings(const std::shared_ptr<QNProxyItem>& item) {
    if (!item) {
        return std::nullopt;
    }
    if (item->kind() == QNProxyItemKindChain) {
        if (const auto chain = std::dynamic_pointer_cast<QNProxyChain>(item)) {
            return chain->settings();
        }
    } else if (item->kind() == QNProxyItemKindProxy) {
        if (const auto proxy = std::dynamic_pointer_cast<QNProxy>(item)) {
            return proxy->settings();
        }
    }
    return std::nullopt;
}

// Items of unknown classes cannot be duplicated and are shared with the copy.
std::shared_ptr<QNProxyItem> itemCopy(const std::shared_ptr<QNProxyItem>& item) {
    if (const auto chain = std::dynamic_pointer_cast<QNProxyChain>(item)) {
        return chain->copy();
    }
    if (const auto proxy = std::dynamic_pointer_cast<QNProxy>(item)) {
        return proxy->copy();
    }
    return item;
}

} // namespace

QNProfile::QNProfile(quint32 identifier, const QNStrings& resourceBundle) {
    _proxies.append(QNProxy::proxyWithName(resourceBundle.localizedString(QStringLiteral("myProxy")), QNProxyTypeSOCKS5,
                                           kQNProfileProxyServerDefault, 1080, QString(), QString(), QStringList(),
                                           false, QNProxyCipherDefault, QByteArray(), QString(), QByteArray(),
                                           QString(), 0));
    resetRulesWithResourceBundle(resourceBundle);
    resetDNSWithResourceBundle(resourceBundle);
    _identifier = identifier;
}

QNProfile::QNProfile(const QString& name, const QList<std::shared_ptr<QNProxyItem>>& proxies,
                     const QList<std::shared_ptr<QNRule>>& rules, const QList<std::shared_ptr<QNDNS>>& dns,
                     quint32 identifier)
    : _name(name)
    , _proxies(proxies)
    , _rules(rules)
    , _dns(dns)
    , _identifier(identifier) {}

QNProfile::QNProfile(const QVariantMap& settings) {
    setSettings(settings);
}

std::shared_ptr<QNProfile> QNProfile::profileWithIdentifier(quint32 identifier, const QNStrings& resourceBundle) {
    return std::make_shared<QNProfile>(identifier, resourceBundle);
}

std::shared_ptr<QNProfile> QNProfile::profileWithName(const QString& name,
                                                      const QList<std::shared_ptr<QNProxyItem>>& proxies,
                                                      const QList<std::shared_ptr<QNRule>>& rules,
                                                      const QList<std::shared_ptr<QNDNS>>& dns, quint32 identifier) {
    return std::make_shared<QNProfile>(name, proxies, rules, dns, identifier);
}

std::shared_ptr<QNProfile> QNProfile::profileWithSettings(const QVariantMap& settings) {
    return std::make_shared<QNProfile>(settings);
}

QVariantMap QNProfile::settings() const {
    QVariantMap settings;
    if (!_name.isNull()) {
        settings.insert(kQNSettingsKeyName, _name);
    }

    // Rules name their proxy by its position among the items actually written, so the two lists
    // are built together.
    QList<const QNProxyItem*> savedItems;
    if (!_proxies.isEmpty()) {
        QVariantList items;
        for (const auto& item : _proxies) {
            if (const auto itemDictionary = itemSettings(item)) {
                items.append(*itemDictionary);
                savedItems.append(item.get());
            }
        }
        settings.insert(kQNSettingsKeyProxies, items);
    }

    if (!_rules.isEmpty()) {
        QVariantList rules;
        for (const auto& rule : _rules) {
            if (!rule) {
                continue;
            }
            QVariantMap ruleDictionary = rule->settings();
            if (rule->action() == QNRuleActionProxy) {
                // Identity, not equality: two equal proxies are still two targets.
                const qsizetype index = rule->proxy() ? savedItems.indexOf(rule->proxy().get()) : -1;
                if (index >= 0) {
                    ruleDictionary.insert(kQNSettingsKeyProxyIndex, QNSettings::number(index));
                } else {
                    ruleDictionary.insert(kQNSettingsKeyAction, QNSettings::number(QNRuleActionBlock));
                }
            }
            rules.append(ruleDictionary);
        }
        settings.insert(kQNSettingsKeyRules, rules);
    }

    if (!_dns.isEmpty()) {
        QVariantList entries;
        for (const auto& entry : _dns) {
            if (entry) {
                entries.append(entry->settings());
            }
        }
        settings.insert(kQNSettingsKeyDNS, entries);
    }

    settings.insert(kQNSettingsKeyIdentifier, QNSettings::number(_identifier));
    return settings;
}

void QNProfile::setSettings(const QVariantMap& settings) {
    _name = QNSettings::text(settings, kQNSettingsKeyName);

    _proxies.clear();
    const QList<QVariantMap> items = QNSettings::dictionaryList(settings, kQNSettingsKeyProxies);
    for (const QVariantMap& item : items) {
        // Only the exact kind texts count; anything else is skipped and takes no position.
        const QString kind = QNSettings::text(item, kQNSettingsKeyKind);
        if (kind == kQNSettingsValueChain) {
            _proxies.append(QNProxyChain::proxyChainWithSettings(item));
        } else if (kind == kQNSettingsValueProxy) {
            _proxies.append(QNProxy::proxyWithSettings(item));
        }
    }

    _rules.clear();
    const QList<QVariantMap> rules = QNSettings::dictionaryList(settings, kQNSettingsKeyRules);
    for (const QVariantMap& ruleDictionary : rules) {
        auto rule = QNRule::ruleWithSettings(ruleDictionary);
        if (rule->action() == QNRuleActionProxy) {
            // A rule whose target is gone blocks rather than silently going direct. Negative indexes
            // wrap to huge ones and block too.
            const auto index = static_cast<quint64>(QNSettings::integer(ruleDictionary, kQNSettingsKeyProxyIndex));
            if (index < static_cast<quint64>(_proxies.size())) {
                rule->setProxy(_proxies.at(static_cast<qsizetype>(index)));
            } else {
                rule->setAction(QNRuleActionBlock);
            }
        }
        _rules.append(rule);
    }

    _dns.clear();
    const QList<QVariantMap> entries = QNSettings::dictionaryList(settings, kQNSettingsKeyDNS);
    for (const QVariantMap& entry : entries) {
        _dns.append(QNDNS::dnsWithSettings(entry));
    }

    _identifier = static_cast<quint32>(QNSettings::integer(settings, kQNSettingsKeyIdentifier));
}

std::shared_ptr<QNProfile> QNProfile::copy() const {
    // Each distinct item is copied once, so an item listed twice stays one object in the copy, and the
    // copied rules can be pointed at the copies of their targets.
    std::unordered_map<const QNProxyItem*, std::shared_ptr<QNProxyItem>> copies;
    QList<std::shared_ptr<QNProxyItem>> proxies;
    for (const auto& item : _proxies) {
        if (!item) {
            proxies.append(item);
            continue;
        }
        auto [it, inserted] = copies.try_emplace(item.get());
        if (inserted) {
            it->second = itemCopy(item);
        }
        proxies.append(it->second);
    }

    QList<std::shared_ptr<QNRule>> rules;
    for (const auto& rule : _rules) {
        if (!rule) {
            rules.append(rule);
            continue;
        }
        auto ruleCopy = rule->copy();
        // A target outside this profile is left as it is.
        const auto it = rule->proxy() ? copies.find(rule->proxy().get()) : copies.end();
        if (it != copies.end()) {
            ruleCopy->setProxy(it->second);
        }
        rules.append(ruleCopy);
    }

    QList<std::shared_ptr<QNDNS>> dns;
    for (const auto& entry : _dns) {
        dns.append(entry ? entry->copy() : entry);
    }

    return profileWithName(_name, proxies, rules, dns, _identifier);
}

void QNProfile::resetRulesWithResourceBundle(const QNStrings& resourceBundle) {
    _rules.clear();
    _rules.append(QNRule::ruleWithName(resourceBundle.localizedString(QStringLiteral("private")), QStringList(),
                                       {kQNProfileRuleIPRange1, kQNProfileRuleIPRange2, kQNProfileRuleIPRange3,
                                        kQNProfileRuleIPRange4, kQNProfileRuleIPRange5},
                                       QStringList(), QNRuleActionDirect, nullptr, true));
    _rules.append(QNRule::ruleWithName(resourceBundle.localizedString(QStringLiteral("loopback")), QStringList(),
                                       {kQNProfileRuleIPv4, kQNProfileRuleIPv6}, QStringList(), QNRuleActionDirect,
                                       nullptr, true));
    // With a proxy to hand, everything else goes through the first one; otherwise direct.
    const bool hasProxy = !_proxies.isEmpty();
    _rules.append(QNRule::ruleWithName(resourceBundle.localizedString(QStringLiteral("default")), QStringList(),
                                       QStringList(), QStringList(), hasProxy ? QNRuleActionProxy : QNRuleActionDirect,
                                       hasProxy ? _proxies.first() : nullptr, true));
}

void QNProfile::resetDNSWithResourceBundle(const QNStrings& resourceBundle) {
    _dns.clear();
    _dns.append(QNDNS::dnsWithName(resourceBundle.localizedString(QStringLiteral("default")), QStringList(),
                                   QNDNSResolveRemote, true));
}
