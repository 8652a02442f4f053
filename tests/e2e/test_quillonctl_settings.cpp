// quillonctl get, set and its command line as a whole.

#include "test_quillonctl_fixture.h"

namespace {

TEST_F(Quillonctl, GetShowsWhatTheAgentWouldUse) {
    EXPECT_EQ(ok({QStringLiteral("get")}),
              QStringLiteral("enableLogging: false\nshowInMenuBar: true\ncheckForUpdates: true\n"
                             "sshTunnelVerbosity: 0\nsafetyOverride: false\n"));
    // Values another program stored loosely are read the lenient way the agent reads them.
    writeDomain({{kQNUserDefaultEnableLogging, QStringLiteral("YES")},
                 {kQNUserDefaultShowInMenuBar, qint64(0)},
                 {kQNUserDefaultSSHTunnelLogVerbosity, 2.7},
                 {kQNUserDefaultSafetyOverride, true}});
    EXPECT_EQ(ok({QStringLiteral("get")}),
              QStringLiteral("enableLogging: true\nshowInMenuBar: false\ncheckForUpdates: true\n"
                             "sshTunnelVerbosity: 2\nsafetyOverride: true\n"));
    EXPECT_EQ(ok({QStringLiteral("get"), QStringLiteral("sshTunnelVerbosity")}), QStringLiteral("2\n"));
    EXPECT_TRUE(takePosted().isEmpty());
}

TEST_F(Quillonctl, SetStoresTypedValuesAndTellsTheAgent) {
    struct Case {
        const char* key;
        const char* value;
        QVariant stored;
        const char* shown;
    };
    const Case cases[] = {
        {"enableLogging", "yes", true, "true"},
        {"showInMenuBar", "NO", false, "false"},
        {"checkForUpdates", "0", false, "false"},
        {"checkForUpdates", "1", true, "true"},
        {"safetyOverride", "True", true, "true"},
        {"sshTunnelVerbosity", "3", qint64(3), "3"},
        {"sshTunnelVerbosity", "4294967295", qint64(4294967295LL), "4294967295"},
        {"sshTunnelVerbosity", "0", qint64(0), "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.value);
        const QString key = QString::fromLatin1(c.key);
        EXPECT_EQ(ok({QStringLiteral("set"), key, QString::fromLatin1(c.value)}),
                  key + QStringLiteral(": ") + QString::fromLatin1(c.shown) + QLatin1Char('\n'));
        const QVariant stored = domain().value(key);
        EXPECT_EQ(stored, c.stored);
        EXPECT_EQ(stored.typeId(), c.stored.typeId());
        EXPECT_EQ(ok({QStringLiteral("get"), key}), QString::fromLatin1(c.shown) + QLatin1Char('\n'));
        EXPECT_EQ(takePosted(), QList<Posted>{fromPanel(kQNNotificationSettings)});
    }
}

TEST_F(Quillonctl, SetRefusesWhatTheAgentCannotUse) {
    ok({QStringLiteral("set"), QStringLiteral("enableLogging"), QStringLiteral("true")});
    takePosted();
    const QByteArray before = preferenceBytes();
    const QList<QStringList> refused{
        {QStringLiteral("enableLogging"), QStringLiteral("maybe")},
        {QStringLiteral("enableLogging"), QStringLiteral("2")},
        {QStringLiteral("enableLogging"), QString()},
        {QStringLiteral("sshTunnelVerbosity"), QStringLiteral("-1")},
        {QStringLiteral("sshTunnelVerbosity"), QStringLiteral("1.5")},
        {QStringLiteral("sshTunnelVerbosity"), QStringLiteral("+2")},
        {QStringLiteral("sshTunnelVerbosity"), QStringLiteral("4294967296")},
        {QStringLiteral("profiles"), QStringLiteral("1")},
        {QStringLiteral("EnableLogging"), QStringLiteral("true")},
    };
    for (const QStringList& arguments : refused) {
        SCOPED_TRACE(arguments.join(QLatin1Char(' ')).toStdString());
        const auto result = run(QStringList{QStringLiteral("set")} + arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_TRUE(result.standardError.contains("quillonctl set: ")) << result.standardError.toStdString();
    }
    EXPECT_EQ(run({QStringLiteral("get"), QStringLiteral("nextUpdateCheckDate")}).exitCode, 2);
    EXPECT_EQ(preferenceBytes(), before);
    EXPECT_TRUE(takePosted().isEmpty());
}

TEST_F(Quillonctl, CommandLineFollowsTheUsualConventions) {
    struct Case {
        QStringList arguments;
        int exitCode;
        const char* printed; // on stdout for 0, on stderr otherwise
    };
    const QList<Case> cases{
        {{}, 2, "no command given"},
        {{QStringLiteral("--help")}, 0, "Commands:"},
        {{QStringLiteral("help")}, 0, "Commands:"},
        {{QStringLiteral("--version")}, 0, "quillonctl 2."},
        {{QStringLiteral("help"), QStringLiteral("import")}, 0, "Usage: quillonctl import FILE"},
        {{QStringLiteral("help"), QStringLiteral("nothing")}, 2, "unknown command"},
        {{QStringLiteral("frobnicate")}, 2, "unknown command 'frobnicate'"},
        {{QStringLiteral("list"), QStringLiteral("extra")}, 2, "unexpected argument 'extra'"},
        {{QStringLiteral("show")}, 2, "missing argument"},
        {{QStringLiteral("rename"), QStringLiteral("1")}, 2, "missing argument"},
        {{QStringLiteral("new"), QStringLiteral("--colour"), QStringLiteral("x")}, 2, "unknown option '--colour'"},
        {{QStringLiteral("new"), QString()}, 2, "cannot be empty"},
        {{QStringLiteral("new"), QStringLiteral("tab\there")}, 2, "control characters"},
        {{QStringLiteral("export"), QStringLiteral("-o")}, 2, "needs a value"},
        {{QStringLiteral("new"), QStringLiteral("--"), QStringLiteral("--dashes--")}, 0, "1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        const auto result = run(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        const QByteArray& where = c.exitCode == 0 ? result.standardOutput : result.standardError;
        EXPECT_TRUE(where.contains(c.printed)) << where.toStdString();
    }
    // Every command explains itself.
    const QString overview = ok({QStringLiteral("--help")});
    for (const char* command :
         {"list", "show", "new", "delete", "rename", "activate", "export", "import", "get", "set"}) {
        SCOPED_TRACE(command);
        EXPECT_TRUE(overview.contains(QStringLiteral("  ") + QString::fromLatin1(command)));
        const auto help = run({QString::fromLatin1(command), QStringLiteral("--help")});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_TRUE(help.standardOutput.startsWith(QByteArray("Usage: quillonctl ") + command));
    }
}

TEST_F(Quillonctl, WithoutABusTheChangeIsSavedAndTheWarningSaysSo) {
    _environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
    const auto result = run({QStringLiteral("new"), QStringLiteral("Offline")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardOutput, QByteArray("1\n"));
    EXPECT_TRUE(result.standardError.contains("warning: the change is saved")) << result.standardError.toStdString();
    EXPECT_EQ(storedProfiles().size(), 1);
}

} // namespace
