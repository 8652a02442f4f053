#include "settings/QNSettingsChecks.h"

#include "fingerprint/QNFingerprint.h"
#include "kernel/QNProfileCompiler.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "settings/QNSettingsStrings.h"
#include "util/QNAlertPresenter.h"
#include "util/QNStrings.h"
#include "util/QNUtilities.h"

namespace {

// Takes the compiler's alert as the answer instead of showing it.
class CollectingPresenter : public QNAlertPresenter {
public:
    QNAlertResponse runModal(const QNAlert& alert) override {
        if (message.isNull()) {
            message = alert.messageText;
        }
        return QNAlertDefaultReturn;
    }
    bool interactive() const override { return false; }

    QString message;
};

} // namespace

namespace QNSettingsChecks {

QStringList splitList(const QString& text) {
    QStringList entries;
    for (const QString& piece : text.split(QLatin1Char(','))) {
        const QString trimmed = piece.trimmed();
        if (!trimmed.isEmpty()) {
            entries.append(trimmed);
        }
    }
    return entries;
}

QString joinList(const QStringList& entries) {
    return entries.join(QStringLiteral(", "));
}

QString portError(const QString& text) {
    return QNUtilities::validatePortString(text.trimmed()) ? QString() : QNSettingsStrings::text("invalidPortField");
}

QString portListError(const QStringList& entries) {
    for (const QString& entry : entries) {
        for (const QString& piece : entry.split(QLatin1Char(','))) {
            quint16 first = 0;
            quint16 last = 0;
            if (!QNUtilities::parsePortRangeString(piece, &first, &last)) {
                return QNSettingsStrings::text("invalidPortList").arg(piece);
            }
        }
    }
    return QString();
}

QString hostError(const QString& host) {
    if (host.trimmed().isEmpty()) {
        return QNSettingsStrings::text("emptyHostField");
    }
    QNAddressWords address{};
    bool isIPv6 = false;
    return QNUtilities::resolveHost(host, &address, &isIPv6) ? QString()
                                                             : QNSettingsStrings::text("invalidHostField").arg(host);
}

QString serverAliveIntervalError(const QString& text) {
    return QNUtilities::validateServerAliveIntervalString(text.trimmed()) ? QString()
                                                                          : QNSettingsStrings::text("invalidInterval");
}

QString chainError(const QNProxyChain& chain) {
    return chain.validateChain() ? QString() : QNSettingsStrings::text("invalidChainField");
}

QString fingerprintText(const QByteArray& keyData, const QString& passphrase) {
    if (keyData.isEmpty()) {
        return QString();
    }
    bool needsPassphrase = false;
    const QString fingerprint = QNFingerprint::fingerprintWithData(keyData, passphrase)
                                    ->fingerprintString(QNFingerprint::isPrivateKeyFile(keyData), &needsPassphrase);
    if (fingerprint.isNull()) {
        return QNSettingsStrings::text(needsPassphrase ? "fingerprintNeedsPassphrase" : "fingerprintUnknown");
    }
    return QNUtilities::formatFingerprint(fingerprint);
}

QString profileError(const QNProfile& profile) {
    for (const auto& rule : profile.rules()) {
        if (rule && rule->enabled() && rule->action() == QNRuleActionProxy && !rule->proxy()) {
            return QNSettingsStrings::text("wouldNotCompile")
                .arg(QNSettingsStrings::text("ruleWithoutProxy").arg(rule->name()));
        }
    }
    CollectingPresenter presenter;
    QNProfileCompiler compiler(presenter, QNStrings::mainBundle());
    if (compiler.profileData(&profile)) {
        return QString();
    }
    return QNSettingsStrings::text("wouldNotCompile").arg(presenter.message);
}

} // namespace QNSettingsChecks
