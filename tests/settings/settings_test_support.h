#pragma once

// A preference file of the test's own and a record of what is posted on the test's session bus.

#include "model/QNProfile.h"
#include "platform/QNNotificationCenter.h"
#include "platform/QNPreferenceStore.h"
#include "support/QNTestWait.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <QDBusConnection>
#include <QTemporaryDir>

#include <gtest/gtest.h>

class SettingsFixture : public ::testing::Test {
protected:
    static inline const QString kSentinel = QStringLiteral("testSentinel");

    void SetUp() override {
        ASSERT_TRUE(_home.isValid());
        if (!QDBusConnection::sessionBus().isConnected()) {
            GTEST_SKIP() << "needs a session bus (run under dbus-run-session)";
        }
        // A connection of its own, so the record does not depend on how the bus treats a sender's own signals.
        _listenerBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("settings-listener"));
        _listener = std::make_unique<QNNotificationCenter>(_listenerBus);
        for (const QString& name : {kQNNotificationActiveProfileIdentifier, kQNNotificationProfiles,
                                    kQNNotificationSettings, kQNNotificationTerminate, kSentinel}) {
            _listener->addObserver(
                [this](const QString& n, const QString& o) {
                    _posted.append({n, o});
                },
                name, QString());
        }
    }
    void TearDown() override {
        _listener.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("settings-listener"));
    }

    QString configHome() const { return _home.filePath(QStringLiteral("config")); }
    QString preferencePath() const {
        return configHome() + QStringLiteral("/quillon/com.fernhollowsoftware.quillon.plist");
    }

    void storeProfiles(const QList<std::shared_ptr<QNProfile>>& profiles, qint64 active = -1) {
        QVariantList list;
        for (const auto& profile : profiles) {
            list.append(profile->settings());
        }
        ASSERT_TRUE(_store.updatePreferences([&](QVariantMap& preferences) {
            preferences.insert(kQNUserDefaultProfiles, list);
            preferences.insert(kQNUserDefaultActiveProfileIdentifier, active);
            return true;
        }));
    }
    static std::shared_ptr<QNProfile> defaultProfile(quint32 identifier, const QString& name) {
        auto profile = QNProfile::profileWithIdentifier(identifier, QNStrings::mainBundle());
        profile->setName(name);
        return profile;
    }
    // The stored profiles as the model reads them.
    QList<std::shared_ptr<QNProfile>> stored() {
        QList<std::shared_ptr<QNProfile>> profiles;
        for (const QVariant& entry : _store.loadPreferences().value(kQNUserDefaultProfiles).toList()) {
            profiles.append(QNProfile::profileWithSettings(entry.toMap()));
        }
        return profiles;
    }
    // Everything posted so far as "name/object": a sentinel posted last arrives after all of it.
    QStringList takePosted() {
        QNNotificationCenter poster;
        const qsizetype before = _posted.size();
        EXPECT_TRUE(poster.postNotificationName(kSentinel, QStringLiteral("test")));
        EXPECT_TRUE(qnWaitUntil([&] {
            return std::any_of(_posted.cbegin() + before, _posted.cend(),
                               [](const auto& p) { return p.first == kSentinel; });
        }));
        QStringList names;
        for (const auto& [name, object] : std::as_const(_posted)) {
            if (name != kSentinel) {
                names.append(name + QLatin1Char('/') + object);
            }
        }
        _posted.clear();
        return names;
    }
    static QString fromPanel(const QString& name) {
        return name + QLatin1Char('/') + kQNNotificationIdentifierPreferencePane;
    }

    QTemporaryDir _home;
    QNPreferenceStore _store{preferencePath()};
    QDBusConnection _listenerBus{QStringLiteral("unset")};
    std::unique_ptr<QNNotificationCenter> _listener;
    QList<std::pair<QString, QString>> _posted;
};
