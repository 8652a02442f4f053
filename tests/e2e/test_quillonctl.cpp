// quillonctl end to end: the file its commands leave and the notifications they post.

#include "test_fixture.h"

#include "model/QNDNS.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "model/QNXMLElement.h"
#include "model/QNXMLText.h"

#include <sys/stat.h>

namespace {

QVariant defaultProfileSettings(quint32 identifier, const QString& name) {
    auto profile = QNProfile::profileWithIdentifier(identifier, QNStrings::mainBundle());
    profile->setName(name);
    return asStored(profile->settings());
}

QVariantMap entry(qint64 identifier, const QVariant& name, const QVariantMap& extra = {}) {
    QVariantMap map = extra;
    map.insert(kQNSettingsKeyIdentifier, identifier);
    if (name.isValid()) {
        map.insert(kQNSettingsKeyName, name);
    }
    return map;
}

// A profile that uses most of what a profile can hold.
QVariantMap richProfile() {
    auto socks =
        QNProxy::proxyWithName("Office <SOCKS>", QNProxyTypeSOCKS5, "socks.example.net", 1080, "alice", "s3cret",
                               QStringList(), false, 0, QByteArray(), QString(), QByteArray(), QString(), 0);
    auto ssh =
        QNProxy::proxyWithName("Jump", QNProxyTypeSSHTunnel, "ssh.example.net", 22, "bob", QString(), QStringList(),
                               false, 4, QByteArray("key bytes"), "pass", QByteArray("server key"), QString(), 30);
    auto http =
        QNProxy::proxyWithName("Web", QNProxyTypeHTTPNonTransparent, "10.1.2.3", 3128, QString(), QString(),
                               {"80", "8000-8080"}, true, 0, QByteArray(), QString(), QByteArray(), QString(), 0);
    auto chain = QNProxyChain::proxyChainWithName("Jump then web", {ssh, http}, true);
    const QList<std::shared_ptr<QNRule>> rules{
        QNRule::ruleWithName("Mail", {"/usr/bin/thunderbird"}, {"*.example.org"}, {"993", "25-587"}, QNRuleActionProxy,
                             chain, true),
        QNRule::ruleWithName("Ads", {}, {"ads.example.com"}, {}, QNRuleActionBlock, nullptr, false),
        QNRule::ruleWithName("Rest", {}, {}, {}, QNRuleActionProxy, socks, true),
    };
    const QList<std::shared_ptr<QNDNS>> dns{QNDNS::dnsWithName("Local", {"*.lan"}, QNDNSResolveLocal, true),
                                            QNDNS::dnsWithName("Rest", {}, QNDNSResolveRemote, true)};
    return QNProfile::profileWithName("Rich \"one\"", {socks, ssh, chain}, rules, dns, 5)->settings();
}

std::string withoutFirstLine(const QString& text) {
    return text.section(QLatin1Char('\n'), 1).toStdString();
}

TEST_F(Quillonctl, ProfilesAreCreatedChangedActivatedAndDeleted) {
    EXPECT_EQ(ok({"list"}), QString());
    EXPECT_EQ(ok({"new", "Work"}), "1\n");
    EXPECT_EQ(ok({"new", "Home Office"}), "2\n");
    EXPECT_EQ(storedProfiles(),
              (QVariantList{defaultProfileSettings(1, "Work"), defaultProfileSettings(2, "Home Office")}));
    EXPECT_EQ(takePosted(), (QStringList{kQNNotificationProfiles, kQNNotificationProfiles}));

    ok({"activate", "Home Office"});
    EXPECT_EQ(storedActive(), 2);
    EXPECT_EQ(ok({"list"}), "  1  Work\n* 2  Home Office\n");
    EXPECT_EQ(takePosted(), QStringList{kQNNotificationActiveProfileIdentifier});

    ok({"rename", "1", "Work & Play"});
    EXPECT_EQ(storedProfiles().first(), defaultProfileSettings(1, "Work & Play"));
    EXPECT_EQ(takePosted(), QStringList{kQNNotificationProfiles});

    // Deleting the active profile leaves none active, so a later profile given the same number is not
    // switched on by surprise.
    ok({"delete", "Home Office"});
    EXPECT_EQ(storedActive(), -1);
    EXPECT_EQ(ok({"new", "Next"}), "2\n");
    EXPECT_EQ(ok({"list"}), "  1  Work & Play\n  2  Next\n");
    EXPECT_EQ(takePosted(), (QStringList{kQNNotificationProfiles, kQNNotificationProfiles}));

    ok({"activate", "1"});
    ok({"activate", "none"});
    EXPECT_EQ(storedActive(), -1);
    EXPECT_EQ(takePosted(),
              (QStringList{kQNNotificationActiveProfileIdentifier, kQNNotificationActiveProfileIdentifier}));
}

TEST_F(Quillonctl, ProfileArgumentIsAnIdentifierOrAnExactName) {
    writeDomain(
        {{kQNUserDefaultProfiles, QVariantList{entry(1, "Work"), entry(2, "7"), entry(7, "Home"), entry(3, "Twin"),
                                               entry(4, "Twin"), entry(5, QVariant()), entry(6, " 1")}}});
    struct Case {
        const char* argument;
        int identifier; // 0: refused
        const char* why;
    };
    const Case cases[] = {
        {"1", 1, "identifier"},
        {"7", 7, "an identifier wins over a name made of digits"},
        {"Home", 7, "name"},
        {"work", 0, "names are compared exactly"},
        {"Twin", 0, "two profiles have this name"},
        {"4", 4, "the identifier tells twins apart"},
        {"(unnamed)", 0, "an unnamed profile has no name to match"},
        {" 1", 6, "only plain digits are an identifier"},
        {"+1", 0, "only plain digits are an identifier"},
        {"4294967296", 0, "beyond 32 bits"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const auto result = run({"show", QString::fromUtf8(c.argument)});
        EXPECT_EQ(result.exitCode, c.identifier == 0 ? 1 : 0) << result.standardError.toStdString();
        if (c.identifier != 0) {
            EXPECT_TRUE(result.standardOutput.startsWith(QStringLiteral("Profile %1:").arg(c.identifier).toUtf8()))
                << result.standardOutput.toStdString();
        }
    }
    EXPECT_TRUE(run({"delete", "Twin"}).standardError.contains("2 profiles match"));
}

// A command that fails says why on stderr, with status 2 for a usage error and 1 otherwise, and changes and
// posts nothing.
TEST_F(Quillonctl, FailingCommandsSayWhyAndChangeAndPostNothing) {
    ok({"new", "Only"});
    const QList<std::pair<const char*, QByteArray>> documents{
        {"not-xml", "profiles, please\n"},
        {"wrong-root", "<proxies><proxy/></proxies>"},
        {"empty", "<profiles><note/></profiles>"},
    };
    for (const auto& [name, contents] : documents) {
        ASSERT_TRUE(writeFile(path(name) + ".xml", contents));
    }
    takePosted();
    const QByteArray before = readFile(preferencePath());
    struct Case {
        QStringList arguments;
        int exitCode;
        const char* says;
    };
    const QList<Case> cases{
        {{}, 2, "no command given"},
        {{"help", "nothing"}, 2, "unknown command"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"list", "extra"}, 2, "unexpected argument 'extra'"},
        {{"show"}, 2, "missing argument"},
        {{"rename", "1"}, 2, "missing argument"},
        {{"new", "--colour", "x"}, 2, "unknown option '--colour'"},
        {{"new", QString()}, 2, "cannot be empty"},
        {{"new", "tab\there"}, 2, "control characters"},
        {{"export", "-o"}, 2, "needs a value"},
        {{"delete", "Missing"}, 1, "no profile has the identifier or name"},
        {{"rename", "9", "X"}, 1, "no profile has"},
        {{"activate", "only"}, 1, "no profile has"},
        {{"export", "Only", "Nope"}, 1, "Nope"},
        // A document that cannot be imported says why, with the line and column where there are any (what
        // the reader refuses is the XML tests' business).
        {{"import", path("not-xml.xml")}, 1, "not-xml.xml: Line 1, column 1"},
        {{"import", path("wrong-root.xml")}, 1, "<proxies>, not <profiles>"},
        {{"import", path("empty.xml")}, 1, "holds no profile"},
        {{"import", path("absent.xml")}, 1, "absent.xml"},
        // Values the agent could not use are refused as usage errors.
        {{"set", "enableLogging", "maybe"}, 2, "quillonctl set: "},
        {{"set", "enableLogging", QString()}, 2, "true, false"},
        {{"set", "sshTunnelVerbosity", "-1"}, 2, "whole number"},
        {{"set", "sshTunnelVerbosity", "1.5"}, 2, "whole number"},
        {{"set", "sshTunnelVerbosity", "+2"}, 2, "whole number"},
        {{"set", "sshTunnelVerbosity", "4294967296"}, 2, "whole"},
        {{"set", "profiles", "1"}, 2, "unknown key 'profiles'"},
        {{"set", "EnableLogging", "true"}, 2, "unknown key"},
        {{"get", "nextUpdateCheckDate"}, 2, "unknown key"},
        {{"stats"}, 1, "not running"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        const auto result = run(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_TRUE(result.standardOutput.isEmpty()) << result.standardOutput.toStdString();
        EXPECT_TRUE(result.standardError.contains(c.says)) << result.standardError.toStdString();
    }
    EXPECT_EQ(readFile(preferencePath()), before);
    EXPECT_TRUE(takePosted().isEmpty());
}

TEST_F(Quillonctl, KeysItDoesNotKnowAreKeptUntouched) {
    const QVariantMap first = entry(1, "A", {{"color", "blue"}, {kQNSettingsKeyProxies, QVariantList{"odd"}}});
    const QVariantMap second = entry(2, "B", {{"future", QVariantList{qint64(1), true}}});
    const QVariantMap foreign{{"somethingElse", QVariantMap{{"x", qint64(1)}}},
                              {kQNUserDefaultSkipUpdateVersion, "3.0"},
                              {kQNUserDefaultSafety, true}};
    QVariantMap start = foreign;
    start.insert(kQNUserDefaultProfiles, QVariantList{first, second});
    writeDomain(start);

    ok({"rename", "A", "A2"});
    QVariantMap renamed = first;
    renamed.insert(kQNSettingsKeyName, "A2");
    EXPECT_EQ(storedProfiles(), (QVariantList{renamed, second}));

    ok({"set", "enableLogging", "true"});
    ok({"activate", "B"});
    ok({"delete", "B"});
    ok({"new", "C"});
    const QVariantMap end = domain();
    EXPECT_EQ(end.value(kQNUserDefaultProfiles).toList().first(), QVariant(renamed));
    for (auto it = foreign.constBegin(); it != foreign.constEnd(); ++it) {
        EXPECT_EQ(end.value(it.key()), it.value()) << it.key().toStdString();
    }
}

TEST_F(Quillonctl, DamagedPreferenceFileIsSetAsideAndWorkGoesOn) {
    // The second one once crashed every start: 200,000 arrays, each start tag holding a quoted "/>".
    const QByteArray damaged[] = {"<plist><dict><key>profiles</key><array>",
                                  "<plist>" + QByteArray("<array a=\"/>\">").repeated(200000) + "</plist>"};
    for (const QByteArray& contents : damaged) {
        ASSERT_TRUE(QDir(path("config")).removeRecursively());
        ASSERT_TRUE(writeFile(preferencePath(), contents));
        const auto listed = run({"list"});
        EXPECT_EQ(listed.exitCode, 0);
        EXPECT_TRUE(listed.standardOutput.isEmpty());
        EXPECT_TRUE(listed.standardError.contains("moved to")) << listed.standardError.toStdString();
        EXPECT_EQ(ok({"new", "Fresh"}), "1\n");
        EXPECT_EQ(QDir(path("config/quillon")).entryList({"*.corrupt-*"}, QDir::Files).size(), 1);
    }
}

// Any program may have written the file: a value of the wrong kind reads as absent, as the agent reads it,
// and a command that changes the profiles replaces what could not be read and says so.
TEST_F(Quillonctl, ValuesOfTheWrongKindReadAsAbsentAndAreReplaced) {
    writeDomain({{kQNUserDefaultProfiles, "abcdefgh"},
                 {kQNUserDefaultEnableLogging, QVariantList{true}},
                 {kQNUserDefaultShowInMenuBar, QByteArray("0")},
                 {kQNUserDefaultSSHTunnelLogVerbosity, QVariantMap{{"a", qint64(2)}}}});
    EXPECT_EQ(ok({"list"}), QString());
    EXPECT_EQ(ok({"get"}), QStringLiteral("enableLogging: false\nshowInMenuBar: true\ncheckForUpdates: true\n"
                                          "sshTunnelVerbosity: 0\nsafetyOverride: false\n"));
    const auto created = run({"new", "Fresh"});
    EXPECT_EQ(created.exitCode, 0);
    EXPECT_EQ(created.standardOutput, QByteArray("1\n"));
    EXPECT_TRUE(created.standardError.contains("warning: replaced what could not be read: \"profiles\" holds a text"))
        << created.standardError.toStdString();
    EXPECT_EQ(storedProfiles(), QVariantList{defaultProfileSettings(1, "Fresh")});

    // Entries that are no dictionaries are passed over, and an identifier that is no number names no profile.
    writeDomain({{kQNUserDefaultProfiles, QVariantList{entry(0, "Zero"), "stray", qint64(7), entry(2, "Two")}},
                 {kQNUserDefaultActiveProfileIdentifier, QVariantMap{{"a", qint64(1)}}}});
    EXPECT_EQ(ok({"list"}), "  0  Zero\n  2  Two\n");
    const auto renamed = run({"rename", "Two", "Second"});
    EXPECT_EQ(renamed.exitCode, 0);
    EXPECT_TRUE(renamed.standardError.contains("entry 2 of \"profiles\" holds a text"));
    EXPECT_TRUE(renamed.standardError.contains("entry 3 of \"profiles\" holds a number"));
    EXPECT_EQ(storedProfiles(), (QVariantList{entry(0, "Zero"), entry(2, "Second")}));
    const auto activated = run({"activate", "0"});
    EXPECT_EQ(activated.exitCode, 0);
    EXPECT_TRUE(activated.standardError.isEmpty()) << activated.standardError.toStdString();
    EXPECT_EQ(storedActive(), 0);
}

TEST_F(Quillonctl, SettingsAreShownAsTheAgentReadsThemAndSetTyped) {
    // Values another program stored loosely are read the lenient way the agent reads them.
    writeDomain({{kQNUserDefaultEnableLogging, "YES"},
                 {kQNUserDefaultShowInMenuBar, qint64(0)},
                 {kQNUserDefaultSSHTunnelLogVerbosity, 2.7},
                 {kQNUserDefaultSafetyOverride, true}});
    EXPECT_EQ(ok({"get"}), QStringLiteral("enableLogging: true\nshowInMenuBar: false\ncheckForUpdates: true\n"
                                          "sshTunnelVerbosity: 2\nsafetyOverride: true\n"));
    EXPECT_TRUE(takePosted().isEmpty());

    struct Case {
        const char* key;
        const char* value;
        QVariant stored;
        const char* shown;
    };
    const Case cases[] = {
        {"enableLogging", "yes", true, "true"},
        {"enableLogging", "no", false, "false"},
        {"showInMenuBar", "TRUE", true, "true"},
        {"checkForUpdates", "0", false, "false"},
        {"safetyOverride", "1", true, "true"},
        {"sshTunnelVerbosity", "4294967295", qint64(4294967295LL), "4294967295"},
        {"sshTunnelVerbosity", "0", qint64(0), "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.value);
        const QString key = QString::fromLatin1(c.key);
        const QString shown = QString::fromLatin1(c.shown) + QLatin1Char('\n');
        EXPECT_EQ(ok({"set", key, QString::fromLatin1(c.value)}), key + ": " + shown);
        const QVariant stored = domain().value(key);
        EXPECT_EQ(stored, c.stored);
        EXPECT_EQ(stored.typeId(), c.stored.typeId());
        EXPECT_EQ(ok({"get", key}), shown);
        EXPECT_EQ(takePosted(), QStringList{kQNNotificationSettings});
    }
}

TEST_F(Quillonctl, CommandLineFollowsTheUsualConventions) {
    EXPECT_TRUE(ok({"help"}).contains("Commands:"));
    EXPECT_TRUE(ok({"--version"}).startsWith("quillonctl 2."));
    EXPECT_TRUE(ok({"help", "import"}).startsWith("Usage: quillonctl import FILE"));
    EXPECT_EQ(ok({"new", "--", "--dashes--"}), "1\n");
    // Every command explains itself.
    const QString overview = ok({"--help"});
    for (const char* command : {"list", "show", "new", "delete", "rename", "activate", "export", "import", "get", "set",
                                "stats", "fingerprint"}) {
        SCOPED_TRACE(command);
        EXPECT_TRUE(overview.contains("  " + QString::fromLatin1(command)));
        const auto help = run({QString::fromLatin1(command), "--help"});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_TRUE(help.standardOutput.startsWith(QByteArray("Usage: quillonctl ") + command));
    }
}

TEST_F(Quillonctl, WithoutABusTheChangeIsSavedAndTheWarningSaysSo) {
    _environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    const auto result = run({"new", "Offline"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardOutput, QByteArray("1\n"));
    EXPECT_TRUE(result.standardError.contains("warning: the change is saved")) << result.standardError.toStdString();
    EXPECT_EQ(storedProfiles().size(), 1);
}

TEST_F(Quillonctl, ExportedProfilesComeBackTheSameWithNewIdentifiers) {
    auto plain = QNProfile::profileWithIdentifier(9, QNStrings::mainBundle());
    plain->setName("Plain");
    writeDomain({{kQNUserDefaultProfiles, QVariantList{richProfile(), plain->settings()}}});
    // Named profiles in the order given, each once.
    const auto named = run({"export", "Plain", "5", "9"});
    ASSERT_EQ(named.exitCode, 0) << named.standardError.toStdString();
    const auto document = QNXMLText::xmlElementWithData(named.standardOutput);
    ASSERT_TRUE(document.ok()) << document.message().toStdString();
    QStringList names;
    for (const auto& child : document.element->elements().value_or(QNXMLElement::Elements())) {
        names << child->attribute("name");
    }
    EXPECT_EQ(names, (QStringList{"Plain", "Rich \"one\""}));

    ok({"export", "-o", path("export.xml")});
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(path("export.xml")).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u) << "the document holds passwords";

    // The example hosts do not resolve here.
    EXPECT_EQ(ok({"import", "--force", path("export.xml")}),
              "Imported profile 10: Rich \"one\"\nImported profile 11: Plain\n");
    EXPECT_EQ(takePosted(), QStringList{kQNNotificationProfiles});
    ASSERT_EQ(storedProfiles().size(), 4);
    // Everything the readable form shows survives the trip, except key passphrases, which the document
    // does not carry.
    const QString original = ok({"show", "5"});
    ASSERT_TRUE(original.contains(QLatin1String(" with passphrase")));
    ASSERT_TRUE(original.contains(QLatin1String("through item 3 (Jump then web)")));
    ASSERT_FALSE(original.contains(QLatin1String("s3cret")));
    EXPECT_EQ(withoutFirstLine(ok({"show", "10"})), withoutFirstLine(QString(original).remove(" with passphrase")));
    EXPECT_EQ(withoutFirstLine(ok({"show", "11"})), withoutFirstLine(ok({"show", "9"})));

    // From standard input too.
    const auto fromInput = run({"import", "--force", "-"}, named.standardOutput);
    EXPECT_EQ(fromInput.standardOutput, QByteArray("Imported profile 12: Plain\nImported profile 13: Rich \"one\"\n"))
        << fromInput.standardError.toStdString();
}

} // namespace
