#include "settings/QNProfileItemModels.h"

#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "settings/QNSettingsStrings.h"
#include "util/QNStrings.h"

namespace {

QString itemText(const QNProxyItem& item) {
    if (item.kind() == QNProxyItemKindChain) {
        const auto& chain = static_cast<const QNProxyChain&>(item);
        return QStringLiteral("%1 (%2)").arg(chain.name()).arg(chain.proxies().size());
    }
    const auto& proxy = static_cast<const QNProxy&>(item);
    return QStringLiteral("%1 (%2)").arg(proxy.name(), QNProxy::proxyTypeName(proxy.type(), QNStrings::mainBundle()));
}

template <typename T> void moveIn(QList<T>& list, int from, int to) {
    list.move(from, to);
}

} // namespace

int QNProxyListModel::count() const {
    return int(_profile->proxies().size());
}

QString QNProxyListModel::text(int row) const {
    const auto& item = _profile->proxies().at(row);
    return item ? itemText(*item) : QString();
}

void QNProxyListModel::move(int from, int to) {
    moveIn(_profile->proxies(), from, to);
}

void QNProxyListModel::remove(int row) {
    const auto removed = _profile->proxies().takeAt(row);
    // A rule left pointing at it would still send through a proxy that is gone: it names none now, which the
    // save check reports.
    for (const auto& rule : _profile->rules()) {
        if (rule && rule->proxy() == removed) {
            rule->setProxy(nullptr);
        }
    }
}

void QNProxyListModel::append() {
    if (_appendChain) {
        _profile->proxies().append(QNProxyChain::proxyChainWithName(QNSettingsStrings::text("newChain"), {}, true));
        return;
    }
    auto proxy = QNProxy::proxy();
    proxy->setName(QNSettingsStrings::text("newProxy"));
    proxy->setType(QNProxyTypeSOCKS5);
    proxy->setPort(1080);
    _profile->proxies().append(proxy);
}

int QNProxyListModel::appendChain() {
    _appendChain = true;
    const int row = appendDefault();
    _appendChain = false;
    return row;
}

int QNRuleListModel::count() const {
    return int(_profile->rules().size());
}

QString QNRuleListModel::text(int row) const {
    const auto& rule = _profile->rules().at(row);
    return rule ? rule->name() : QString();
}

std::optional<bool> QNRuleListModel::enabled(int row) const {
    const auto& rule = _profile->rules().at(row);
    return rule ? std::optional<bool>(rule->enabled()) : std::nullopt;
}

void QNRuleListModel::setEnabled(int row, bool on) {
    _profile->rules().at(row)->setEnabled(on);
}

void QNRuleListModel::move(int from, int to) {
    moveIn(_profile->rules(), from, to);
}

void QNRuleListModel::remove(int row) {
    _profile->rules().removeAt(row);
}

void QNRuleListModel::append() {
    _profile->rules().append(
        QNRule::ruleWithName(QNSettingsStrings::text("newRule"), {}, {}, {}, QNRuleActionDirect, nullptr, true));
}

int QNDNSListModel::count() const {
    return int(_profile->dns().size());
}

QString QNDNSListModel::text(int row) const {
    const auto& dns = _profile->dns().at(row);
    return dns ? dns->name() : QString();
}

std::optional<bool> QNDNSListModel::enabled(int row) const {
    const auto& dns = _profile->dns().at(row);
    return dns ? std::optional<bool>(dns->enabled()) : std::nullopt;
}

void QNDNSListModel::setEnabled(int row, bool on) {
    _profile->dns().at(row)->setEnabled(on);
}

void QNDNSListModel::move(int from, int to) {
    moveIn(_profile->dns(), from, to);
}

void QNDNSListModel::remove(int row) {
    _profile->dns().removeAt(row);
}

void QNDNSListModel::append() {
    _profile->dns().append(QNDNS::dnsWithName(QNSettingsStrings::text("newDNS"), {}, QNDNSResolveRemote, true));
}
