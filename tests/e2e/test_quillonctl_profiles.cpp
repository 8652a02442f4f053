// quillonctl's profile commands end to end: the file they leave and the notifications they post.

#include "test_quillonctl_fixture.h"

#include "model/QNProfile.h"
#include "util/QNStrings.h"

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

TEST_F(Quillonctl, ProfilesAreCreatedChangedActivatedAndDeleted) {
    EXPECT_EQ(ok({QStringLiteral("list")}), QString());
    EXPECT_EQ(ok({QStringLiteral("new"), QStringLiteral("Work")}), QStringLiteral("1\n"));
    EXPECT_EQ(ok({QStringLiteral("new"), QStringLiteral("Home Office")}), QStringLiteral("2\n"));
    EXPECT_EQ(storedProfiles(), (QVariantList{defaultProfileSettings(1, QStringLiteral("Work")),
                                              defaultProfileSettings(2, QStringLiteral("Home Office"))}));
    EXPECT_EQ(takePosted(), (QList<Posted>{fromPanel(kQNNotificationProfiles), fromPanel(kQNNotificationProfiles)}));

    ok({QStringLiteral("activate"), QStringLiteral("Home Office")});
    EXPECT_EQ(domain().value(kQNUserDefaultActiveProfileIdentifier), QVariant(qint64(2)));
    EXPECT_EQ(ok({QStringLiteral("list")}), QStringLiteral("  1  Work\n* 2  Home Office\n"));
    EXPECT_EQ(takePosted(), QList<Posted>{fromPanel(kQNNotificationActiveProfileIdentifier)});

    ok({QStringLiteral("rename"), QStringLiteral("1"), QStringLiteral("Work & Play")});
    EXPECT_EQ(storedProfiles().first(), defaultProfileSettings(1, QStringLiteral("Work & Play")));
    EXPECT_EQ(takePosted(), QList<Posted>{fromPanel(kQNNotificationProfiles)});

    // Deleting the active profile leaves none active, so a later profile given the same number is not
    // switched on by surprise.
    ok({QStringLiteral("delete"), QStringLiteral("Home Office")});
    EXPECT_EQ(domain().value(kQNUserDefaultActiveProfileIdentifier), QVariant(qint64(-1)));
    EXPECT_EQ(ok({QStringLiteral("new"), QStringLiteral("Next")}), QStringLiteral("2\n"));
    EXPECT_EQ(ok({QStringLiteral("list")}), QStringLiteral("  1  Work & Play\n  2  Next\n"));
    EXPECT_EQ(takePosted(), (QList<Posted>{fromPanel(kQNNotificationProfiles), fromPanel(kQNNotificationProfiles)}));

    ok({QStringLiteral("activate"), QStringLiteral("1")});
    ok({QStringLiteral("activate"), QStringLiteral("none")});
    EXPECT_EQ(domain().value(kQNUserDefaultActiveProfileIdentifier), QVariant(qint64(-1)));
    EXPECT_EQ(takePosted(), (QList<Posted>{fromPanel(kQNNotificationActiveProfileIdentifier),
                                           fromPanel(kQNNotificationActiveProfileIdentifier)}));

    // What it wrote is an ordinary property list.
    if (qnHaveProgram(QStringLiteral("python3"))) {
        const auto python =
            qnRunProcess(QStringLiteral("python3"),
                         {QStringLiteral("-c"),
                          QStringLiteral("import plistlib, sys\n"
                                         "d = plistlib.load(open(sys.argv[1], 'rb'), fmt=plistlib.FMT_XML)\n"
                                         "print(d['activeProfileIdentifier'], [p['name'] for p in d['profiles']])\n"),
                          preferencePath()});
        EXPECT_EQ(python.standardOutput, QByteArray("-1 ['Work & Play', 'Next']\n"))
            << python.standardError.toStdString();
    }
}

TEST_F(Quillonctl, FailedCommandsChangeAndPostNothing) {
    ok({QStringLiteral("new"), QStringLiteral("Only")});
    takePosted();
    const QByteArray before = preferenceBytes();
    const QList<QStringList> failing{
        {QStringLiteral("delete"), QStringLiteral("Missing")},
        {QStringLiteral("rename"), QStringLiteral("9"), QStringLiteral("X")},
        {QStringLiteral("activate"), QStringLiteral("only")},
        {QStringLiteral("show"), QStringLiteral("2")},
    };
    for (const QStringList& arguments : failing) {
        SCOPED_TRACE(arguments.join(QLatin1Char(' ')).toStdString());
        const auto result = run(arguments);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_TRUE(result.standardOutput.isEmpty());
        EXPECT_TRUE(result.standardError.contains("no profile has the identifier or name"));
    }
    EXPECT_EQ(preferenceBytes(), before);
    EXPECT_TRUE(takePosted().isEmpty());
}

TEST_F(Quillonctl, ProfileArgumentIsAnIdentifierOrAnExactName) {
    writeDomain(
        {{kQNUserDefaultProfiles,
          QVariantList{entry(1, QStringLiteral("Work")), entry(2, QStringLiteral("7")),
                       entry(7, QStringLiteral("Home")), entry(3, QStringLiteral("Twin")),
                       entry(4, QStringLiteral("Twin")), entry(5, QVariant()), entry(6, QStringLiteral(" 1"))}}});
    struct Case {
        const char* argument;
        int identifier; // 0: refused
        const char* why;
    };
    const Case cases[] = {
        {"1", 1, "identifier"},
        {"7", 7, "an identifier wins over a name made of digits"},
        {"Home", 7, "name"},
        {"2", 2, "identifier of the profile named 7"},
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
        const auto result = run({QStringLiteral("show"), QString::fromUtf8(c.argument)});
        if (c.identifier == 0) {
            EXPECT_EQ(result.exitCode, 1);
            continue;
        }
        EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
        EXPECT_TRUE(result.standardOutput.startsWith(QStringLiteral("Profile %1:").arg(c.identifier).toUtf8()))
            << result.standardOutput.toStdString();
    }
    EXPECT_TRUE(run({QStringLiteral("delete"), QStringLiteral("Twin")}).standardError.contains("2 profiles match"));
}

TEST_F(Quillonctl, KeysItDoesNotKnowAreKeptUntouched) {
    const QVariantMap first = entry(1, QStringLiteral("A"),
                                    {{QStringLiteral("color"), QStringLiteral("blue")},
                                     {kQNSettingsKeyProxies, QVariantList{QStringLiteral("odd")}}});
    const QVariantMap second =
        entry(2, QStringLiteral("B"), {{QStringLiteral("future"), QVariantList{qint64(1), true}}});
    const QVariantMap foreign{{QStringLiteral("somethingElse"), QVariantMap{{QStringLiteral("x"), qint64(1)}}},
                              {kQNUserDefaultSkipUpdateVersion, QStringLiteral("3.0")},
                              {kQNUserDefaultSafety, true}};
    QVariantMap start = foreign;
    start.insert(kQNUserDefaultProfiles, QVariantList{first, second});
    writeDomain(start);

    ok({QStringLiteral("rename"), QStringLiteral("A"), QStringLiteral("A2")});
    QVariantMap renamed = first;
    renamed.insert(kQNSettingsKeyName, QStringLiteral("A2"));
    EXPECT_EQ(storedProfiles(), (QVariantList{renamed, second}));

    ok({QStringLiteral("set"), QStringLiteral("enableLogging"), QStringLiteral("true")});
    ok({QStringLiteral("activate"), QStringLiteral("B")});
    ok({QStringLiteral("delete"), QStringLiteral("B")});
    ok({QStringLiteral("new"), QStringLiteral("C")});
    const QVariantMap end = domain();
    EXPECT_EQ(end.value(kQNUserDefaultProfiles).toList().first(), QVariant(renamed));
    for (auto it = foreign.constBegin(); it != foreign.constEnd(); ++it) {
        EXPECT_EQ(end.value(it.key()), it.value()) << it.key().toStdString();
    }
}

TEST_F(Quillonctl, DamagedPreferenceFileIsSetAsideAndWorkGoesOn) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(preferencePath()).absolutePath()));
    QFile file(preferencePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<plist><dict><key>profiles</key><array>");
    file.close();

    const auto listed = run({QStringLiteral("list")});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_TRUE(listed.standardOutput.isEmpty());
    EXPECT_TRUE(listed.standardError.contains("moved to")) << listed.standardError.toStdString();
    EXPECT_EQ(ok({QStringLiteral("new"), QStringLiteral("Fresh")}), QStringLiteral("1\n"));
    const QStringList aside =
        QDir(QFileInfo(preferencePath()).absolutePath()).entryList({QStringLiteral("*.corrupt-*")}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
}

} // namespace
