// settings-picture: opens the real settings window over a sample preference file, with an SSH tunnel proxy
// selected, and saves it as a picture.
//
// Usage: settings-picture [OUTPUT.png]   (default docs/settings.png; run with QT_QPA_PLATFORM=offscreen or under Xvfb)

#include "QNListPane.h"
#include "QNSettingsWindow.h"
#include "fingerprint/QNFingerprint.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNRule.h"
#include "platform/QNPreferenceStore.h"
#include "settings/QNSettingsSession.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <QApplication>
#include <QStyleFactory>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// The public half of a key made for this picture only.
const QByteArray kServerKey = QByteArrayLiteral(
    "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIL/02Kd8vhmS9+sJk9imSgRyPf+QCNlpAgWXQljHea8t tunnel.example.net\n");

QVariantList sampleProfiles() {
    auto office = QNProfile::profileWithIdentifier(1, QNStrings::mainBundle());
    office->setName(QStringLiteral("Office"));
    auto tunnel = QNProfile::profileWithIdentifier(2, QNStrings::mainBundle());
    tunnel->setName(QStringLiteral("Café via SSH tunnel"));
    auto ssh =
        QNProxy::proxyWithName(QStringLiteral("Home server"), QNProxyTypeSSHTunnel,
                               QStringLiteral("tunnel.example.net"), 22, QStringLiteral("anna"), QString(), {}, false,
                               QNProxyCipherAES256CTR, QByteArray(), QString(), kServerKey, QString(), 30);
    tunnel->proxies().prepend(ssh);
    tunnel->rules().prepend(
        QNRule::ruleWithName(QStringLiteral("Browsers through home"), {QStringLiteral("/usr/bin/firefox")}, {},
                             {QStringLiteral("80"), QStringLiteral("443")}, QNRuleActionProxy, ssh, true));
    auto travel = QNProfile::profileWithIdentifier(3, QNStrings::mainBundle());
    travel->setName(QStringLiteral("Travel"));
    return {office->settings(), tunnel->settings(), travel->settings()};
}

} // namespace

int main(int argc, char** argv) {
    // Drawn at twice the size so the picture stays sharp on high-density screens.
    if (qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR")) {
        qputenv("QT_SCALE_FACTOR", "2");
    }
    QApplication application(argc, argv);
    const QString output =
        QApplication::arguments().size() > 1 ? QApplication::arguments().at(1) : QStringLiteral("docs/settings.png");
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(style);
    }
    QNFingerprint::init();

    QTemporaryDir folder;
    QNPreferenceStore store(folder.filePath(QStringLiteral("preferences.plist")));
    store.updatePreferences([](QVariantMap& preferences) {
        preferences.insert(kQNUserDefaultProfiles, sampleProfiles());
        preferences.insert(kQNUserDefaultActiveProfileIdentifier, qint64(2));
        return true;
    });
    QNSettingsSession session(store, nullptr);
    session.reload();
    QNSettingsWindow window(session, nullptr);
    window.selectProfile(2);
    window.proxyPane()->selectRow(0);
    window.resize(860, 640);
    window.show();
    QApplication::processEvents();

    if (!window.grab().save(output)) {
        std::fprintf(stderr, "settings-picture: cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s\n", qPrintable(output));
    return 0;
}
