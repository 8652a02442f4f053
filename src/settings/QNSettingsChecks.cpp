#include "settings/QNSettingsChecks.h"

#include "fingerprint/QNFingerprint.h"
#include "kernel/QNProfileCompiler.h"
#include "model/QNProfile.h"
#include "model/QNProfileCheck.h"
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

// The agent's parsers keep the low 16 bits of a number that is too large, so "99999" would quietly become
// port 34463: here a port must also be written as a number that fits.
bool fitsPort(QStringView text) {
    text = text.trimmed();
    if (text.size() > 5) {
        return false;
    }
    bool ok = false;
    const uint value = text.isEmpty() ? 0 : text.toUInt(&ok);
    return text.isEmpty() || (ok && value <= 65535);
}

bool fitsPortRange(QStringView text) {
    const qsizetype dash = text.indexOf(u'-');
    return dash < 0 ? fitsPort(text) : fitsPort(text.left(dash)) && fitsPort(text.mid(dash + 1));
}

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
    return QNUtilities::validatePortString(text.trimmed()) && fitsPort(text)
               ? QString()
               : QNSettingsStrings::text("invalidPortField");
}

QString portListError(const QStringList& entries) {
    for (const QString& entry : entries) {
        for (const QString& piece : entry.split(QLatin1Char(','))) {
            quint16 first = 0;
            quint16 last = 0;
            if (!fitsPortRange(piece) || !QNUtilities::parsePortRangeString(piece, &first, &last)) {
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
    // No keep-alive at all is written as 0 (or nothing).
    const QString trimmed = text.trimmed();
    const bool none = trimmed.isEmpty() || trimmed == QLatin1String("0");
    return none || QNUtilities::validateServerAliveIntervalString(trimmed) ? QString()
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
    // Two lines of eight pairs; the formatter ends the first with a carriage return.
    return QNUtilities::formatFingerprint(fingerprint).replace(QLatin1Char('\r'), QLatin1Char('\n'));
}

QString profileError(const QNProfile& profile) {
    // What storing or compiling would quietly change (ports beyond 16 bits, rules without their proxy), then
    // what the compiler itself refuses.
    const QList<QNProfileWarning> warnings = QNProfileCheck().warningsForProfile(profile);
    if (!warnings.isEmpty()) {
        const QNProfileWarning& first = warnings.first();
        return QNSettingsStrings::text("wouldNotCompile").arg(first.item + QStringLiteral(": ") + first.message);
    }
    CollectingPresenter presenter;
    QNProfileCompiler compiler(presenter, QNStrings::mainBundle());
    if (compiler.profileData(&profile)) {
        return QString();
    }
    return QNSettingsStrings::text("wouldNotCompile").arg(presenter.message);
}

} // namespace QNSettingsChecks
