#include "ProfileDocument.h"

#include "CommandSupport.h"

#include "model/QNProfile.h"
#include "model/QNProfileCheck.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "util/QNConstants.h"

namespace {

// Every proxy of the profile, chain members included.
QList<std::shared_ptr<QNProxy>> proxiesOf(const QNProfile& profile) {
    QList<std::shared_ptr<QNProxy>> proxies;
    for (const auto& item : profile.proxies()) {
        if (const auto proxy = std::dynamic_pointer_cast<QNProxy>(item)) {
            proxies.append(proxy);
        } else if (const auto chain = std::dynamic_pointer_cast<QNProxyChain>(item)) {
            for (const auto& member : chain->proxies()) {
                if (member) {
                    proxies.append(member);
                }
            }
        }
    }
    return proxies;
}

} // namespace

namespace ctl {

QStringList documentWarnings(const QNXMLElement& root) {
    QStringList texts;
    for (const QNProfileWarning& warning : QNProfileCheck().warningsForDocument(root)) {
        texts.append(warning.text());
    }
    return texts;
}

bool acceptWarnings(const QString& command, const QStringList& warnings, bool force) {
    for (const QString& warning : warnings) {
        printError(command, QStringLiteral("warning: ") + warning);
    }
    if (warnings.isEmpty() || force) {
        return true;
    }
    printError(command, QStringLiteral("the document has %1 %2; nothing was stored (--force stores it anyway)")
                            .arg(warnings.size())
                            .arg(warnings.size() == 1 ? QStringLiteral("warning") : QStringLiteral("warnings")));
    return false;
}

void replaceEntry(QVariantList& entries, qsizetype index, QNProfile& profile, const QNProfile& stored) {
    const QList<std::shared_ptr<QNProxy>> before = proxiesOf(stored);
    for (const auto& proxy : proxiesOf(profile)) {
        for (const auto& old : before) {
            if (old->name() != proxy->name() || old->type() != proxy->type()) {
                continue;
            }
            if (proxy->clientKeyPassphrase().isEmpty() && !proxy->clientKey().isEmpty() &&
                old->clientKey() == proxy->clientKey()) {
                proxy->setClientKeyPassphrase(old->clientKeyPassphrase());
            }
            if (proxy->serverKeyPassphrase().isEmpty() && !proxy->serverKey().isEmpty() &&
                old->serverKey() == proxy->serverKey()) {
                proxy->setServerKeyPassphrase(old->serverKeyPassphrase());
            }
        }
    }
    profile.setIdentifier(stored.identifier());
    QVariantMap entry = entries.at(index).toMap();
    for (const QString& key : {kQNSettingsKeyName, kQNSettingsKeyProxies, kQNSettingsKeyRules, kQNSettingsKeyDNS,
                               kQNSettingsKeyIdentifier}) {
        entry.remove(key);
    }
    entry.insert(profile.settings());
    entries[index] = entry;
}

} // namespace ctl
