#pragma once

// The controller with its real control channel (against an engine peer), preference store, notification
// center (on the test's session bus) and tray menu (offscreen), and fakes for the session and the system.

#include "QNAppTestSupport.h"

#include "app/QNApplication.h"
#include "platform/QNNotificationCenter.h"
#include "platform/QNPreferenceStore.h"
#include "platform/QNSessionMonitor.h"
#include "support/QNTestEnginePeer.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

inline constexpr int kWait = 20000;

struct FakeSessionMonitor : QNSessionMonitor {
    Handler becameActive;
    Handler resignedActive;
    int stops = 0;
    void startObserving(Handler active, Handler resigned) override {
        becameActive = std::move(active);
        resignedActive = std::move(resigned);
    }
    void stopObserving() override {
        becameActive = nullptr;
        resignedActive = nullptr;
        ++stops;
    }
};

inline int sConnectionNumber = 0;

class ApplicationTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    const QString tag = QString::number(++sConnectionNumber);
    QNTestEnginePeer peer{dir.filePath("control.sock")};
    QNPreferenceStore store{dir.filePath("config/quillon/domain.plist")};
    QDBusConnection agentBus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("agent") + tag);
    QDBusConnection panelBus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("panel") + tag);
    QNNotificationCenter agentCenter{agentBus};
    QNNotificationCenter panelCenter{panelBus};
    FakeSessionMonitor monitor;
    FakeSystemServices services;
    ModalAlerts alerts;
    QNTrayMenu menu;
    QStringList posted;
    int sentinels = 0;
    int quits = 0;
    std::unique_ptr<QNApplication> app;

    void SetUp() override {
        ASSERT_TRUE(agentBus.isConnected()) << "the tests need a session bus (dbus-run-session)";
        ASSERT_TRUE(peer.isListening());
        for (const QString& name : {kQNNotificationActiveProfileIdentifier, kQNNotificationTerminateComplete}) {
            panelCenter.addObserver([this](const QString& n, const QString&) { posted << n; }, name,
                                    kQNNotificationIdentifierApplication);
        }
        panelCenter.addObserver([this](const QString&, const QString&) { ++sentinels; }, "sentinel",
                                kQNNotificationIdentifierApplication);
    }

    void TearDown() override {
        app.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("agent") + tag);
        QDBusConnection::disconnectFromBus(QStringLiteral("panel") + tag);
    }

    void start() {
        QNApplicationParts parts;
        parts.preferenceStore = &store;
        parts.notificationCenter = &agentCenter;
        parts.sessionMonitor = &monitor;
        parts.systemServices = &services;
        parts.alertPresenter = &alerts;
        parts.menu = &menu;
        parts.strings = &QNStrings::mainBundle();
        parts.controlSocketPath = dir.filePath("control.sock");
        parts.logDirectoryPath = dir.filePath("state/quillon");
        parts.statisticsBus = agentBus;
        parts.statisticsServiceName =
            QStringLiteral("org.quillon.apptest.p%1.n%2").arg(QCoreApplication::applicationPid()).arg(tag);
        parts.quitEventLoop = [this] { ++quits; };
        app = std::make_unique<QNApplication>(parts);
        app->awakeFromNib();
    }

    // Chooses a menu item: what the tray menu hands the status menu once the click is done.
    void choose(int index) { app->statusMenu().menuItemChosen(*menu.itemAtIndex(index)); }

    QByteArray logContent() const {
        QFile file(dir.filePath("state/quillon/Quillon.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void setPreferences(const QVariantMap& values) {
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            ASSERT_TRUE(store.savePreferenceObject(it.value(), it.key()));
        }
    }
    QVariantMap stored() { return store.loadPreferences(); }

    // Everything the agent posted so far has arrived once the sentinel it posts last has.
    QStringList postedSoFar() {
        const int expected = sentinels + 1;
        agentCenter.postNotificationName("sentinel", kQNNotificationIdentifierApplication);
        EXPECT_TRUE(QTest::qWaitFor([&] { return sentinels >= expected; }, kWait));
        return posted;
    }

    // Posts as the settings tool and waits until the agent has run a profile switch for it.
    void postFromPanel(const QString& name) {
        const int flushes = services.dnsFlushes;
        panelCenter.postNotificationName(name, kQNNotificationIdentifierPreferencePane);
        EXPECT_TRUE(QTest::qWaitFor([&] { return services.dnsFlushes > flushes; }, kWait)) << name.toStdString();
    }
};
