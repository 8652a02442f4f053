#pragma once

#include <QList>
#include <QVariantMap>

#include <memory>

class QNDNS;
class QNProxyItem;
class QNRule;
class QNStrings;
class QNXMLElement;

// One complete routing configuration: proxy items, rules in evaluation order, DNS entries, an identifier.
// In the settings dictionary a proxy rule names its target by position ("proxyIndex").
class QNProfile {
public:
    // The default profile: one SOCKS5 placeholder proxy, the default rules and the default DNS entry.
    QNProfile(quint32 identifier, const QNStrings& resourceBundle);
    QNProfile(const QString& name, const QList<std::shared_ptr<QNProxyItem>>& proxies,
              const QList<std::shared_ptr<QNRule>>& rules, const QList<std::shared_ptr<QNDNS>>& dns,
              quint32 identifier);
    // initWithSettings.
    explicit QNProfile(const QVariantMap& settings);

    static std::shared_ptr<QNProfile> profileWithIdentifier(quint32 identifier, const QNStrings& resourceBundle);
    static std::shared_ptr<QNProfile> profileWithName(const QString& name,
                                                      const QList<std::shared_ptr<QNProxyItem>>& proxies,
                                                      const QList<std::shared_ptr<QNRule>>& rules,
                                                      const QList<std::shared_ptr<QNDNS>>& dns, quint32 identifier);
    static std::shared_ptr<QNProfile> profileWithSettings(const QVariantMap& settings);

    QVariantMap settings() const;
    void setSettings(const QVariantMap& settings);
    // Copies of every item, rule and entry; the copied rules point at the copied items.
    std::shared_ptr<QNProfile> copy() const;
    void resetRulesWithResourceBundle(const QNStrings& resourceBundle);
    void resetDNSWithResourceBundle(const QNStrings& resourceBundle);

    // XML form.
    std::shared_ptr<QNXMLElement> xmlElement() const;
    static std::shared_ptr<QNProfile> profileWithXML(const QNXMLElement& element, quint32 identifier);
    static std::shared_ptr<QNXMLElement> xmlElementForProfiles(const QList<std::shared_ptr<QNProfile>>& profiles);
    // Profiles numbered from nextIdentifier upwards, one number per profile element, in "order" order.
    static QList<std::shared_ptr<QNProfile>> profilesWithXML(const QNXMLElement& element, quint32 nextIdentifier);

    QString name() const { return _name; }
    void setName(const QString& name) { _name = name; }
    QList<std::shared_ptr<QNProxyItem>>& proxies() { return _proxies; }
    const QList<std::shared_ptr<QNProxyItem>>& proxies() const { return _proxies; }
    void setProxies(const QList<std::shared_ptr<QNProxyItem>>& proxies) { _proxies = proxies; }
    QList<std::shared_ptr<QNRule>>& rules() { return _rules; }
    const QList<std::shared_ptr<QNRule>>& rules() const { return _rules; }
    void setRules(const QList<std::shared_ptr<QNRule>>& rules) { _rules = rules; }
    QList<std::shared_ptr<QNDNS>>& dns() { return _dns; }
    const QList<std::shared_ptr<QNDNS>>& dns() const { return _dns; }
    void setDns(const QList<std::shared_ptr<QNDNS>>& dns) { _dns = dns; }
    quint32 identifier() const { return _identifier; }
    void setIdentifier(quint32 identifier) { _identifier = identifier; }

private:
    QString _name;
    QList<std::shared_ptr<QNProxyItem>> _proxies;
    QList<std::shared_ptr<QNRule>> _rules;
    QList<std::shared_ptr<QNDNS>> _dns;
    quint32 _identifier = 0;
};
