#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>

class QNAlertPresenter;
class QNProfile;
class QNProxy;
class QNProxyChain;
class QNProxyItem;
class QNRule;
class QNStrings;

// Turns a profile into the atom stream handed to the engine as option 0. This is where a profile is
// checked for the last time: proxy hosts are resolved, filter and rule ports parsed, chains validated.
// The first problem is shown as a modal alert and the whole compilation fails: no partial stream, ever.
class QNProfileCompiler {
public:
    QNProfileCompiler(QNAlertPresenter& alertPresenter, const QNStrings& resourceBundle);

    // The complete stream: 'prnm' (when the name is not null), 'prxs', 'rles', 'dnss'. None for a null
    // profile or on the first failure.
    std::optional<QByteArray> profileData(const QNProfile* profile);
    // The data of 'prxs': one 'prxy' or 'pxch' per proxy item, in list order.
    std::optional<QByteArray> profileProxiesData(const QNProfile& profile);
    // The data of one 'prxy'.
    std::optional<QByteArray> profileProxyData(const QNProxy& proxy);
    // The data of 'rles': one 'rule' per enabled rule.
    std::optional<QByteArray> profileRulesData(const QNProfile& profile);
    // The data of 'dnss': one 'dns ' per enabled entry. Nothing in it is checked, so it shows no alert;
    // it fails only on texts too large for an atom.
    std::optional<QByteArray> profileDNSData(const QNProfile& profile);

private:
    std::optional<QByteArray> proxyChainData(const QNProxyChain& chain);
    std::optional<QByteArray> ruleData(const QNRule& rule, const QHash<const QNProxyItem*, quint32>& positions);
    // "%@: %@" with the localised text of key and the offending item; one default button.
    void showAlert(const QString& key, const QString& item);

    QNAlertPresenter& _alertPresenter;
    const QNStrings& _resourceBundle;
};
