// The settings window's logic without a window: the stored profile list, saving edits, changes made by
// quillonctl meanwhile, the item models and the field checks.

#include "settings_test_support.h"

#include "model/QNDNS.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "settings/QNProfileItemModels.h"
#include "settings/QNSettingsChecks.h"
#include "settings/QNSettingsSession.h"
#include "support/QNTestProcess.h"

#include <QMimeData>
#include <QProcessEnvironment>
#include <QSignalSpy>

namespace {

#ifdef QN_QUILLONCTL_PATH
const QString kQuillonctlPath = QStringLiteral(QN_QUILLONCTL_PATH);
#else
const QString kQuillonctlPath;
#endif

QStringList names(const QList<std::shared_ptr<QNProfile>>& profiles) {
    QStringList result;
    for (const auto& profile : profiles) {
        result.append(QStringLiteral("%1:%2").arg(profile->identifier()).arg(profile->name()));
    }
    return result;
}

std::shared_ptr<QNProxy> socks(const QString& name, const QString& host) {
    return QNProxy::proxyWithName(name, QNProxyTypeSOCKS5, host, 1080, QString(), QString(), {}, false, 0, QByteArray(),
                                  QString(), QByteArray(), QString(), 0);
}

class Session : public SettingsFixture {
protected:
    void SetUp() override {
        SettingsFixture::SetUp();
        if (IsSkipped()) {
            return;
        }
        _session = std::make_unique<QNSettingsSession>(_store, &_center);
    }

    // Runs the real settings tool on the same file.
    void quillonctl(const QStringList& arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
        const auto result = qnRunProcess(kQuillonctlPath, arguments, QByteArray(), environment);
        ASSERT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    }

    QNNotificationCenter _center;
    std::unique_ptr<QNSettingsSession> _session;
};

TEST_F(Session, ProfileListActionsAreStoredAndAnnounced) {
    storeProfiles({defaultProfile(4, QStringLiteral("Work"))}, 4);
    _session->reload();
    takePosted();

    const auto added = _session->addProfile(QStringLiteral("Home"));
    ASSERT_EQ(added, 5u);
    // Made from the default profile: its placeholder proxy, rules and DNS entry.
    EXPECT_EQ(stored().last()->settings(), defaultProfile(5, QStringLiteral("Home"))->settings());

    // A duplicate carries unsaved edits, lands right after its source, and leaves the source as stored.
    _session->profile(4)->rules().removeLast();
    _session->markEdited(4);
    const auto copy = _session->duplicateProfile(4);
    ASSERT_EQ(copy, 6u);
    EXPECT_EQ(names(stored()), (QStringList{"4:Work", "6:Work copy", "5:Home"}));
    EXPECT_EQ(stored().at(1)->rules().size(), _session->profile(4)->rules().size());
    EXPECT_EQ(stored().at(0)->rules().size(), _session->profile(4)->rules().size() + 1);

    // Renaming an edited profile is not a change underneath its edits.
    ASSERT_TRUE(_session->renameProfile(4, QStringLiteral("Office")));
    EXPECT_FALSE(_session->entry(4)->conflict);
    EXPECT_EQ(stored().first()->name(), "Office");
    EXPECT_FALSE(_session->renameProfile(4, QStringLiteral("  ")));

    ASSERT_TRUE(_session->activateProfile(5));
    EXPECT_EQ(_session->activeIdentifier(), 5);
    // Deleting the active profile leaves none active.
    ASSERT_TRUE(_session->deleteProfile(5));
    EXPECT_EQ(_session->activeIdentifier(), -1);
    EXPECT_EQ(_store.loadPreferences().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), -1);
    EXPECT_FALSE(_session->activateProfile(5));

    // Export and import: the stored form, not the unsaved edits, under fresh identifiers.
    // The default profile's placeholder host never resolves: importing it takes a second word.
    const QByteArray document = _session->exportProfiles({4});
    EXPECT_TRUE(_session->importProfiles(document).isEmpty());
    EXPECT_TRUE(_session->importWarnings().join(' ').contains(QStringLiteral("proxy.example.net")));
    const QList<quint32> imported = _session->importProfiles(document, true);
    ASSERT_EQ(imported, QList<quint32>{7});
    EXPECT_EQ(stored().last()->rules().size(), stored().first()->rules().size());
    EXPECT_TRUE(_session->importProfiles("<profiles/>").isEmpty());
    EXPECT_FALSE(_session->lastError().isEmpty());
    EXPECT_TRUE(_session->importProfiles("<profile").isEmpty());
    EXPECT_TRUE(_session->lastError().contains(QStringLiteral("Line 1")));

    ASSERT_TRUE(_session->setSetting(kQNUserDefaultEnableLogging, true));
    EXPECT_TRUE(_store.loadPreferences().value(kQNUserDefaultEnableLogging).toBool());
    ASSERT_TRUE(_session->postTerminate());

    const QString profiles = fromPanel(kQNNotificationProfiles);
    EXPECT_EQ(takePosted(),
              (QStringList{profiles, profiles, profiles, fromPanel(kQNNotificationActiveProfileIdentifier), profiles,
                           profiles, fromPanel(kQNNotificationSettings), fromPanel(kQNNotificationTerminate)}));
}

TEST_F(Session, SaveRefusesWhatWouldNotCompile) {
    auto profile =
        QNProfile::profileWithName(QStringLiteral("P"), {socks(QStringLiteral("S"), "127.0.0.1")}, {}, {}, 1);
    storeProfiles({profile});
    _session->reload();
    const auto working = _session->profile(1);
    const QVariantMap before = _store.loadPreferences();

    struct Case {
        const char* what;
        std::function<void(QNProfile&)> edit;
        const char* mentions;
    };
    const QList<Case> cases{
        {"proxy rule without a proxy",
         [](QNProfile& p) { p.rules() = {QNRule::ruleWithName("Lost", {}, {}, {}, QNRuleActionProxy, nullptr, true)}; },
         "Lost"},
        {"host that does not resolve",
         [](QNProfile& p) { static_cast<QNProxy&>(*p.proxies().first()).setHost("no-such-host.invalid"); },
         "no-such-host.invalid"},
        {"bad rule port",
         [](QNProfile& p) {
             p.rules() = {QNRule::ruleWithName("R", {}, {}, {"99999"}, QNRuleActionDirect, nullptr, true)};
         },
         "99999"},
        {"chain with the SSH tunnel last",
         [](QNProfile& p) {
             auto ssh = socks("T", "127.0.0.1");
             ssh->setType(QNProxyTypeSSHTunnel);
             p.proxies().append(QNProxyChain::proxyChainWithName("C", {socks("A", "127.0.0.1"), ssh}, true));
         },
         "C"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        _session->revert(1);
        auto current = _session->profile(1);
        c.edit(*current);
        _session->markEdited(1);
        EXPECT_EQ(_session->save(1), QNSettingsSession::SaveResult::Refused);
        EXPECT_TRUE(_session->lastError().contains(QLatin1StringView(c.mentions)))
            << _session->lastError().toStdString();
        EXPECT_EQ(_store.loadPreferences(), before);
    }

    _session->revert(1);
    _session->profile(1)->rules() = {
        QNRule::ruleWithName("R", {}, {}, {"443"}, QNRuleActionProxy, _session->profile(1)->proxies().first(), true)};
    _session->markEdited(1);
    takePosted();
    ASSERT_EQ(_session->save(1), QNSettingsSession::SaveResult::Saved);
    EXPECT_FALSE(_session->entry(1)->edited);
    EXPECT_EQ(stored().first()->settings(), _session->profile(1)->settings());
    EXPECT_EQ(takePosted(), QStringList{fromPanel(kQNNotificationProfiles)});
    // Read back from the file, the saved profile is no change underneath.
    _session->reload();
    EXPECT_FALSE(_session->entry(1)->conflict);
}

TEST_F(Session, ChangesByQuillonctlShowUpAndNeverGetOverwritten) {
    if (kQuillonctlPath.isEmpty()) {
        GTEST_SKIP() << "quillonctl is not built";
    }
    storeProfiles({defaultProfile(1, QStringLiteral("Edited here")), defaultProfile(2, QStringLiteral("Untouched"))});
    _session->reload();
    _session->watch();
    QSignalSpy reloaded(_session.get(), &QNSettingsSession::profileReloaded);
    QSignalSpy conflicts(_session.get(), &QNSettingsSession::conflictDetected);

    _session->profile(1)->rules().clear();
    _session->markEdited(1);

    // A profile without edits simply follows.
    quillonctl({QStringLiteral("rename"), QStringLiteral("2"), QStringLiteral("Renamed there")});
    ASSERT_TRUE(qnWaitUntil([&] { return _session->profile(2)->name() == "Renamed there"; }));
    EXPECT_TRUE(conflicts.isEmpty());

    // The edited one is not written over: the conflict is found at once, and save refuses.
    quillonctl({QStringLiteral("rename"), QStringLiteral("1"), QStringLiteral("Renamed there too")});
    ASSERT_TRUE(qnWaitUntil([&] { return !conflicts.isEmpty(); }));
    EXPECT_EQ(conflicts.first().first().toUInt(), 1u);
    EXPECT_TRUE(_session->profile(1)->rules().isEmpty());
    EXPECT_EQ(_session->save(1), QNSettingsSession::SaveResult::Conflict);
    EXPECT_EQ(stored().first()->name(), "Renamed there too");
    EXPECT_FALSE(stored().first()->rules().isEmpty());

    // Dropping the edits shows the stored form.
    ASSERT_TRUE(_session->resolveConflict(1, false));
    EXPECT_EQ(_session->profile(1)->name(), "Renamed there too");
    EXPECT_FALSE(_session->profile(1)->rules().isEmpty());
    EXPECT_FALSE(_session->entry(1)->edited);

    // Keeping them stores them over the other change, even over a deletion.
    _session->profile(1)->dns().clear();
    _session->markEdited(1);
    quillonctl({QStringLiteral("delete"), QStringLiteral("1")});
    ASSERT_TRUE(qnWaitUntil([&] { return _session->entry(1) && _session->entry(1)->conflict; }));
    ASSERT_TRUE(_session->resolveConflict(1, true));
    ASSERT_EQ(names(stored()), (QStringList{"2:Renamed there", "1:Renamed there too"}));
    EXPECT_TRUE(stored().last()->dns().isEmpty());
}

// Moves as a list view asks for them: the destination counts rows before the move.
TEST(ItemModels, RowsMoveRemoveAndDropInTheProfile) {
    auto a = socks("A", "a");
    auto b = socks("B", "b");
    auto c = socks("C", "c");
    auto rule = QNRule::ruleWithName("R", {}, {}, {}, QNRuleActionProxy, b, true);
    auto profile = QNProfile::profileWithName("P", {a, b, c}, {rule}, {}, 1);
    int edits = 0;
    QNProxyListModel proxies;
    proxies.setProfile(profile);
    proxies.setEditedCallback([&] { ++edits; });
    const auto order = [&] {
        QString text;
        for (const auto& item : profile->proxies()) {
            text += item->name();
        }
        return text;
    };

    const struct {
        int from;
        int destination;
        bool moves;
        const char* after;
    } moves[] = {{0, 2, true, "BAC"},  {1, 0, true, "ABC"},  {0, 3, true, "BCA"},  {2, 0, true, "ABC"},
                 {1, 1, false, "ABC"}, {1, 2, false, "ABC"}, {0, 4, false, "ABC"}, {-1, 0, false, "ABC"}};
    for (const auto& m : moves) {
        EXPECT_EQ(proxies.moveRows(QModelIndex(), m.from, 1, QModelIndex(), m.destination), m.moves)
            << m.from << "->" << m.destination;
        EXPECT_EQ(order(), m.after) << m.from << "->" << m.destination;
    }
    EXPECT_EQ(edits, 4);

    // A drag within the list moves; a drag from another model is refused.
    std::unique_ptr<QMimeData> drag(proxies.mimeData({proxies.index(2)}));
    ASSERT_TRUE(drag);
    proxies.dropMimeData(drag.get(), Qt::MoveAction, 0, 0, QModelIndex());
    EXPECT_EQ(order(), "CAB");
    QNProxyListModel other;
    other.setProfile(QNProfile::profileWithName("Q", {socks("X", "x"), socks("Y", "y")}, {}, {}, 2));
    std::unique_ptr<QMimeData> foreign(other.mimeData({other.index(1)}));
    proxies.dropMimeData(foreign.get(), Qt::MoveAction, 0, 0, QModelIndex());
    EXPECT_EQ(order(), "CAB");

    // A rule never keeps pointing at a proxy that left the profile.
    ASSERT_TRUE(proxies.removeRows(2, 1));
    EXPECT_EQ(rule->proxy(), nullptr);

    QNRuleListModel rules;
    rules.setProfile(profile);
    rules.setEditedCallback([&] { ++edits; });
    EXPECT_EQ(rules.data(rules.index(0), Qt::CheckStateRole).toInt(), Qt::Checked);
    ASSERT_TRUE(rules.setData(rules.index(0), Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_FALSE(rule->enabled());
    EXPECT_FALSE(proxies.flags(proxies.index(0)).testFlag(Qt::ItemIsUserCheckable));
}

TEST(SettingsChecks, FieldsAreCheckedWithTheAgentsParsers) {
    using namespace QNSettingsChecks;
    EXPECT_EQ(splitList(" 80,443 ,, 8000-8080 "), (QStringList{"80", "443", "8000-8080"}));
    const struct {
        const char* text;
        bool port;
        bool list;
    } cases[] = {{"0", false, true},     {"65535", true, true},   {"65536", false, false}, {"99999", false, false},
                 {"80-90", false, true}, {"90-80", false, false}, {"8o", false, false},    {"", false, true}};
    for (const auto& c : cases) {
        EXPECT_EQ(portError(QLatin1StringView(c.text)).isNull(), c.port) << c.text;
        EXPECT_EQ(portListError({QLatin1StringView(c.text)}).isNull(), c.list) << c.text;
    }
    EXPECT_TRUE(hostError("127.0.0.1").isNull());
    EXPECT_FALSE(hostError("no-such-host.invalid").isNull());
    EXPECT_FALSE(hostError("  ").isNull());
    EXPECT_TRUE(serverAliveIntervalError("30").isNull());
    EXPECT_TRUE(serverAliveIntervalError("0").isNull());
    EXPECT_FALSE(serverAliveIntervalError("-1").isNull());
}

TEST(SettingsChecks, FingerprintMatchesSshKeygen) {
    if (!qnHaveProgram(QStringLiteral("ssh-keygen"))) {
        GTEST_SKIP() << "needs ssh-keygen";
    }
    QTemporaryDir folder;
    const QString key = folder.filePath(QStringLiteral("key"));
    ASSERT_EQ(qnRunProcess("ssh-keygen", {"-q", "-t", "rsa", "-b", "2048", "-N", "", "-f", key}).exitCode, 0);
    const auto printed = qnRunProcess("ssh-keygen", {"-l", "-E", "md5", "-f", key + ".pub"});
    // "2048 MD5:aa:bb:... comment (RSA)"
    const QString expected = QString::fromUtf8(printed.standardOutput).section(' ', 1, 1).mid(4);
    QFile publicKey(key + ".pub");
    ASSERT_TRUE(publicKey.open(QIODevice::ReadOnly));
    EXPECT_EQ(QNSettingsChecks::fingerprintText(publicKey.readAll(), QString()).remove('\n'), expected);
    EXPECT_TRUE(QNSettingsChecks::fingerprintText(QByteArray(), QString()).isNull());
    EXPECT_TRUE(QNSettingsChecks::fingerprintText("not a key", QString()).startsWith('('));
}

} // namespace
