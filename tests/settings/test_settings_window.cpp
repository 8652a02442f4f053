// The settings window on the offscreen platform, driven as a user would: keys, clicks and the prompts
// answered in place of dialogs.

#include "settings_test_support.h"

#include "QNCheckedField.h"
#include "QNListPane.h"
#include "QNSettingsWindow.h"
#include "QNSingleInstance.h"
#include "fingerprint/QNFingerprint.h"
#include "model/QNProxy.h"
#include "model/QNRule.h"
#include "settings/QNSettingsSession.h"
#include "support/QNTestProcess.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

namespace {

class SettingsWindow : public SettingsFixture {
protected:
    void SetUp() override {
        SettingsFixture::SetUp();
        if (IsSkipped()) {
            return;
        }
        storeProfiles({defaultProfile(1, QStringLiteral("Travel"))}, 1);
        _session.reload();
        _window = std::make_unique<QNSettingsWindow>(_session, nullptr);
        QNSettingsWindow::Prompts prompts;
        prompts.askKeyFile = [this](const QString&) { return _keyFile; };
        prompts.askKeepMine = [](const QString&) { return false; };
        _window->setPrompts(prompts);
        _window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(_window.get()));
        takePosted();
    }

    template <typename T> T* find(const char* name) {
        T* widget = _window->findChild<T*>(QLatin1StringView(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    void click(const char* button) { QTest::mouseClick(find<QPushButton>(button), Qt::LeftButton); }
    // Replaces a field's text by typing, as the user does.
    void type(QWidget* field, const QString& text, bool leave = false) {
        QLineEdit* edit = qobject_cast<QLineEdit*>(field);
        if (!edit) {
            edit = field->findChild<QLineEdit*>();
        }
        ASSERT_NE(edit, nullptr);
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
        if (leave) {
            QTest::keyClick(edit, Qt::Key_Return);
        }
    }
    // Picks a combo box entry with the keyboard.
    void choose(const char* name, const QString& entry) {
        auto* combo = find<QComboBox>(name);
        combo->setFocus();
        const int target = combo->findText(entry);
        ASSERT_GE(target, 0) << entry.toStdString();
        while (combo->currentIndex() != target) {
            QTest::keyClick(combo, combo->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
        }
    }

    QNNotificationCenter _center;
    QNSettingsSession _session{_store, &_center};
    std::unique_ptr<QNSettingsWindow> _window;
    QString _keyFile;
};

TEST_F(SettingsWindow, AddAnSSHProxyAndARuleThatUsesItReorderAndSave) {
    if (!qnHaveProgram(QStringLiteral("ssh-keygen"))) {
        GTEST_SKIP() << "needs ssh-keygen";
    }
    _keyFile = _home.filePath(QStringLiteral("host_key"));
    ASSERT_EQ(qnRunProcess("ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", _keyFile}).exitCode, 0);
    const auto printed = qnRunProcess("ssh-keygen", {"-l", "-E", "md5", "-f", _keyFile + ".pub"});
    const QString fingerprint = QString::fromUtf8(printed.standardOutput).section(' ', 1, 1).mid(4);

    // The default profile's placeholder proxy is made real first: it names a host that never resolves.
    type(find<QWidget>("proxyHost"), "127.0.0.1", true);

    // The proxy.
    click("addProxy");
    choose("proxyType", QNProxy::proxyTypeName(QNProxyTypeSSHTunnel, QNStrings::mainBundle()));
    type(find<QWidget>("proxyName"), "Jump host");
    type(find<QWidget>("proxyHost"), "127.0.0.1", true);
    // A port out of range is shown next to the field and keeps the profile from being saved.
    type(find<QWidget>("proxyPort"), "99999");
    EXPECT_TRUE(find<QNCheckedField>("proxyPort")->hasProblem());
    EXPECT_FALSE(_window->save());
    EXPECT_EQ(_window->statusText(), find<QNCheckedField>("proxyPort")->problem());
    type(find<QWidget>("proxyPort"), "2222");
    EXPECT_FALSE(find<QNCheckedField>("proxyPort")->hasProblem());
    type(find<QWidget>("proxyUsername"), "anna");
    type(find<QWidget>("proxyKeepAlive"), "30");
    choose("proxyCipher", "aes256-ctr");
    _keyFile += ".pub";
    click("chooseServerKey");
    EXPECT_EQ(find<QLabel>("serverKeyFingerprint")->text().remove('\n'), fingerprint);
    _window->proxyPane()->moveCurrent(-1);

    // The rule, sent through it, moved to the top with the keyboard-reachable buttons.
    auto* rules = _window->rulePane();
    const int defaultRules = rules->view()->model()->rowCount();
    click("addRule");
    type(find<QWidget>("ruleName"), "Mail");
    type(find<QWidget>("ruleHosts"), "mail.example.org, 10.0.0.0/8");
    type(find<QWidget>("rulePorts"), "993, 25-587");
    choose("ruleAction", QStringLiteral("Through a proxy"));
    choose("ruleTarget", QStringLiteral("Jump host"));
    for (int i = 0; i < defaultRules; ++i) {
        rules->moveCurrent(-1);
    }
    EXPECT_EQ(rules->currentRow(), 0);
    EXPECT_EQ(rules->view()->model()->index(0, 0).data().toString(), "Mail");

    click("save");
    ASSERT_FALSE(_session.entry(1)->edited) << _window->statusText().toStdString();

    const auto saved = stored();
    ASSERT_EQ(saved.size(), 1);
    const auto& profile = *saved.first();
    ASSERT_EQ(profile.proxies().size(), 2);
    const auto proxy = std::dynamic_pointer_cast<QNProxy>(profile.proxies().at(0));
    ASSERT_TRUE(proxy);
    EXPECT_EQ(proxy->name(), "Jump host");
    EXPECT_EQ(proxy->type(), quint32(QNProxyTypeSSHTunnel));
    EXPECT_EQ(proxy->host(), "127.0.0.1");
    EXPECT_EQ(proxy->port(), 2222);
    EXPECT_EQ(proxy->username(), "anna");
    EXPECT_EQ(proxy->serverAliveInterval(), 30);
    EXPECT_EQ(proxy->cipher(), quint32(QNProxyCipherAES256CTR));
    QFile key(_keyFile);
    ASSERT_TRUE(key.open(QIODevice::ReadOnly));
    EXPECT_EQ(proxy->serverKey(), key.readAll());

    ASSERT_EQ(profile.rules().size(), defaultRules + 1);
    const auto& rule = *profile.rules().first();
    EXPECT_EQ(rule.name(), "Mail");
    EXPECT_EQ(rule.hosts(), (QStringList{"mail.example.org", "10.0.0.0/8"}));
    EXPECT_EQ(rule.ports(), (QStringList{"993", "25-587"}));
    EXPECT_EQ(rule.action(), quint32(QNRuleActionProxy));
    EXPECT_EQ(rule.proxy(), profile.proxies().at(0));
    EXPECT_TRUE(rule.enabled());

    EXPECT_EQ(takePosted(), QStringList{fromPanel(kQNNotificationProfiles)});
}

TEST_F(SettingsWindow, AChangeMadeElsewhereWhileEditingIsOfferedNotOverwritten) {
    click("addRule");
    type(find<QWidget>("ruleName"), "Mine");
    // Another program renames the profile meanwhile; the prompt answers "drop mine".
    ASSERT_TRUE(_store.updatePreferences([](QVariantMap& preferences) {
        QVariantList profiles = preferences.value(kQNUserDefaultProfiles).toList();
        QVariantMap entry = profiles.first().toMap();
        entry.insert(kQNSettingsKeyName, QStringLiteral("Theirs"));
        profiles[0] = entry;
        preferences.insert(kQNUserDefaultProfiles, profiles);
        return true;
    }));
    click("save");
    EXPECT_EQ(stored().first()->name(), "Theirs");
    EXPECT_EQ(_session.profile(1)->name(), "Theirs");
    const auto& rules = _session.profile(1)->rules();
    EXPECT_TRUE(std::none_of(rules.cbegin(), rules.cend(), [](const auto& r) { return r->name() == "Mine"; }));
    EXPECT_TRUE(takePosted().isEmpty());
}

// The general settings under the agent's own keys, activation (saving unsaved edits first) and the
// uninstall request, each announced as the agent expects.
TEST_F(SettingsWindow, SettingsActivationAndUninstallAreStoredAndAnnounced) {
    storeProfiles({defaultProfile(1, QStringLiteral("Travel")), defaultProfile(2, QStringLiteral("Home"))}, 1);
    _session.reload();
    takePosted();
    for (const QString& key : {kQNUserDefaultEnableLogging, kQNUserDefaultShowInMenuBar, kQNUserDefaultCheckForUpdates,
                               kQNUserDefaultSafetyOverride}) {
        QTest::mouseClick(find<QCheckBox>(key.toLatin1().constData()), Qt::LeftButton);
    }
    auto* verbosity = find<QSpinBox>(kQNUserDefaultSSHTunnelLogVerbosity.toLatin1().constData());
    verbosity->setFocus();
    QTest::keyClick(verbosity, Qt::Key_Up);
    QTest::keyClick(verbosity, Qt::Key_Return);
    const QVariantMap preferences = _store.loadPreferences();
    EXPECT_EQ(preferences.value(kQNUserDefaultEnableLogging), true);
    EXPECT_EQ(preferences.value(kQNUserDefaultShowInMenuBar), false);
    EXPECT_EQ(preferences.value(kQNUserDefaultCheckForUpdates), false);
    EXPECT_EQ(preferences.value(kQNUserDefaultSafetyOverride), true);
    EXPECT_EQ(preferences.value(kQNUserDefaultSSHTunnelLogVerbosity).toLongLong(), 1);
    EXPECT_EQ(takePosted(), QStringList(5, fromPanel(kQNNotificationSettings)));

    // Home, edited and activated: the agent compiles what is stored, so the edit is saved first.
    _window->selectProfile(2);
    type(find<QWidget>("proxyHost"), "127.0.0.1", true);
    click("activate");
    EXPECT_EQ(_store.loadPreferences().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), 2);
    EXPECT_EQ(std::dynamic_pointer_cast<QNProxy>(stored().at(1)->proxies().first())->host(), "127.0.0.1");
    EXPECT_EQ(takePosted(),
              (QStringList{fromPanel(kQNNotificationProfiles), fromPanel(kQNNotificationActiveProfileIdentifier)}));

    QNSettingsWindow::Prompts prompts;
    prompts.confirmUninstall = [] { return true; };
    _window->setPrompts(prompts);
    click("uninstall");
    EXPECT_EQ(takePosted(), QStringList{fromPanel(kQNNotificationTerminate)});
}

// A second start finds the first, asks it to come forward and goes; once the first has gone, a later
// start takes over even from the socket file it left.
TEST(SingleInstance, ASecondStartRaisesTheFirst) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("quillon/settings.socket"));
    int raised = 0;
    {
        QNSingleInstance first(path);
        EXPECT_FALSE(first.askRunningInstance());
        ASSERT_TRUE(first.listen());
        QObject::connect(&first, &QNSingleInstance::raiseRequested, [&] { ++raised; });
        QNSingleInstance second(path);
        EXPECT_TRUE(second.askRunningInstance());
        EXPECT_TRUE(qnWaitUntil([&] { return raised == 1; }));
        EXPECT_EQ(QFileInfo(QFileInfo(path).absolutePath()).permissions().toInt() & 0x0077, 0);
    }
    QFile stale(path);
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    QNSingleInstance later(path);
    EXPECT_FALSE(later.askRunningInstance());
    EXPECT_TRUE(later.listen());
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QNFingerprint::init();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
