// quillonctl edit and the checks of import with a scripted editor; activate and status against the real agent,
// whose engine is missing, comes late and goes away.

#include "test_fixture.h"

#include <QProcess>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kSample = "Local SOCKS";
const QString kSampleProxy = R"(port="1080")";

class EditTest : public Quillonctl {
protected:
    void SetUp() override {
        Quillonctl::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        _environment.remove("VISUAL");
        ok({"new", "First"});
        ok({"import", sampleProfilePath()});
        ok({"activate", kSample});
        takePosted();
    }

    static QString sampleProfilePath() {
        QString source = QStringLiteral(QN_TEST_DATA_DIR);
        source.chop(qsizetype(sizeof "/tests/data") - 1);
        return source + "/resources/examples/local-socks.xml";
    }

    // An editor made of shell lines; "$1" is the document. Each run appends a line to runs.
    void useEditor(const QString& lines) {
        const QString script = path("editor.sh");
        ASSERT_TRUE(writeFile(
            script,
            ("#!/bin/sh\n[ \"$1\" = --wait ] && shift\necho run >> " + path("runs") + "\n" + lines + "\n").toUtf8()));
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // The value may carry arguments: the shell splits it.
        _environment.insert("EDITOR", script + " --wait");
    }
    static QString replacing(const QString& from, const QString& to) {
        return QStringLiteral("sed -i 's/%1/%2/' \"$1\"").arg(from, to);
    }
    int editorRuns() const { return int(readFile(path("runs")).count("run")); }

    // quillonctl with a terminal as its standard input, on which the answers are typed in advance.
    QNTestProcessResult runOnTerminal(const QStringList& arguments, const QByteArray& typed) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(::grantpt(master), 0);
        EXPECT_EQ(::unlockpt(master), 0);
        EXPECT_EQ(::write(master, typed.constData(), size_t(typed.size())), typed.size());
        QProcess process;
        process.setProcessEnvironment(_environment);
        process.setStandardInputFile(QString::fromLocal8Bit(::ptsname(master)));
        process.start(kQuillonctlPath, arguments);
        QNTestProcessResult result;
        result.started = process.waitForStarted(kProgramWait);
        process.waitForFinished(kProgramWait);
        ::close(master);
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.standardOutput = process.readAllStandardOutput();
        result.standardError = process.readAllStandardError();
        return result;
    }

    QVariantMap storedSample() const { return storedProfiles().value(1).toMap(); }
    qint64 samplePort() const {
        return storedSample().value(kQNSettingsKeyProxies).toList().value(0).toMap().value("port").toLongLong();
    }
};

TEST_F(EditTest, GoodEditReplacesTheProfileInPlace) {
    // What the document cannot carry stays: a key's passphrase, and entries the tool does not know.
    QVariantMap stored = domain();
    QVariantList profiles = stored.value(kQNUserDefaultProfiles).toList();
    QVariantMap sample = profiles.at(1).toMap();
    QVariantList proxies = sample.value(kQNSettingsKeyProxies).toList();
    QVariantMap proxy = proxies.at(0).toMap();
    proxy.insert(kQNSettingsKeyClientKey, QByteArray("key bytes"));
    proxy.insert(kQNSettingsKeyClientKeyPassphrase, "passphrase");
    proxies[0] = proxy;
    sample.insert(kQNSettingsKeyProxies, proxies);
    sample.insert("note", "kept");
    profiles[1] = sample;
    stored.insert(kQNUserDefaultProfiles, profiles);
    writeDomain(stored);

    useEditor(replacing(kSampleProxy, R"(port="1081")") + "\n" + replacing("Local SOCKS", "Edited"));
    const auto result = run({"edit", kSample});
    EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    EXPECT_EQ(result.standardOutput, "Changed profile 2: Edited\n");
    EXPECT_EQ(ok({"list"}), "  1  First\n* 2  Edited\n");
    EXPECT_EQ(samplePort(), 1081);
    EXPECT_EQ(storedSample().value("note"), "kept");
    const QVariantMap edited = storedSample().value(kQNSettingsKeyProxies).toList().value(0).toMap();
    EXPECT_EQ(edited.value(kQNSettingsKeyClientKeyPassphrase), "passphrase");
    EXPECT_EQ(takePosted(), QStringList{kQNNotificationProfiles});
}

// Nothing the editor leaves behind changes the file unless it reads and checks out.
TEST_F(EditTest, EditsThatChangeNothing) {
    const QByteArray before = readFile(preferencePath());
    struct Case {
        const char* what;
        QString editor;
        int exitCode;
        QByteArray message;
    };
    const Case cases[] = {
        {"document left as it was", "true", 0, "nothing changed"},
        {"editor gave up", "exit 3", 1, "status 3"},
        {"document that cannot be read", "printf '<profiles>\\n  <profile' > \"$1\"", 1, "Line 2, column"},
        {"no profile left", "printf '<profiles/>' > \"$1\"", 1, "must hold one <profile>"},
        {"port beyond 16 bits", replacing(kSampleProxy, R"(port="99999")"), 1,
         R"(port "99999" is not a number in 0-65535; it would be stored as 34463)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        useEditor(c.editor);
        const auto result = run({"edit", kSample}, "y\n");
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_TRUE((result.standardOutput + result.standardError).contains(c.message))
            << result.standardError.toStdString();
        // Without a terminal nobody is asked.
        EXPECT_FALSE(result.standardError.contains("Edit again?"));
        EXPECT_EQ(readFile(preferencePath()), before);
    }
    EXPECT_EQ(takePosted(), QStringList());
}

TEST_F(EditTest, BadEditThenGoodOneOnATerminal) {
    // The first run breaks the document, the second mends it with the edit wanted.
    useEditor(QStringLiteral("if [ \"$(wc -l < %1)\" -eq 1 ]; then printf '<profiles><rule' > \"$1\"; else "
                             "printf '<profiles><profile name=\"Short\"/></profiles>' > \"$1\"; fi")
                  .arg(path("runs")));
    const auto result = runOnTerminal({"edit", kSample}, "\n");
    EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    EXPECT_TRUE(result.standardError.contains("Line 1, column")) << result.standardError.toStdString();
    EXPECT_TRUE(result.standardError.contains("Edit again? [Y/n]"));
    EXPECT_EQ(editorRuns(), 2);
    EXPECT_EQ(ok({"list"}), "  1  First\n* 2  Short\n");

    // Answering no leaves everything as it was.
    const QByteArray before = readFile(preferencePath());
    useEditor(replacing(kSampleProxy, R"(port="-1")"));
    const auto declined = runOnTerminal({"edit", "Short", "--no-prompt"}, "y\n");
    EXPECT_EQ(declined.exitCode, 0) << "nothing to edit: the profile has no proxy";
    useEditor("printf '<profiles/>' > \"$1\"");
    const auto refused = runOnTerminal({"edit", "Short"}, "n\n");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(readFile(preferencePath()), before);
}

// The check's warnings are printed in any case; --force stores what they warn about.
TEST_F(EditTest, ForceStoresInSpiteOfWarnings) {
    useEditor(replacing(kSampleProxy, R"(port="99999")"));
    const auto result = run({"edit", kSample, "--force"});
    EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    EXPECT_TRUE(result.standardError.contains("warning: Profile \"Local SOCKS\", proxy \"SOCKS on port 1080\""));
    EXPECT_EQ(samplePort(), 34463);
}

TEST_F(EditTest, ImportChecksAndReplaces) {
    const QByteArray document = readFile(sampleProfilePath());
    ASSERT_TRUE(writeFile(path("wide.xml"), QByteArray(document).replace("port=\"1080\"", "port=\"99999\"")));
    ASSERT_TRUE(writeFile(path("renamed.xml"), QByteArray(document).replace("\"Everything else\"", "\"Rest\"")));
    const QByteArray before = readFile(preferencePath());
    const auto refused = run({"import", path("wide.xml")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.standardError.contains("it would be stored as 34463")) << refused.standardError.toStdString();
    EXPECT_TRUE(refused.standardError.contains("nothing was stored (--force stores it anyway)"));
    EXPECT_EQ(readFile(preferencePath()), before);

    // In place: same identifier and position, still active; a name no stored profile has is added.
    ASSERT_TRUE(
        writeFile(path("both.xml"), QByteArray(readFile(path("renamed.xml")))
                                        .replace("</profiles>", "<profile name=\"New\" order=\"1\"/></profiles>")));
    EXPECT_EQ(ok({"import", "--replace", path("both.xml")}),
              "Replaced profile 2: Local SOCKS\nImported profile 4: New\n");
    EXPECT_EQ(ok({"list"}), "  1  First\n* 2  Local SOCKS\n  4  New\n");
    EXPECT_TRUE(ok({"show", "2"}).contains("Rest"));

    // Two stored profiles of the name: which one is meant cannot be told.
    ok({"import", sampleProfilePath()});
    const QByteArray twice = readFile(preferencePath());
    const auto ambiguous = run({"import", "--replace", path("renamed.xml")});
    EXPECT_EQ(ambiguous.exitCode, 1);
    EXPECT_TRUE(ambiguous.standardError.contains("more than one profile is called 'Local SOCKS'"));
    EXPECT_EQ(readFile(preferencePath()), twice);
}

// The real agent: the settings tool waits for its answer; the engine comes late and goes away.
class ActivationTest : public AgentTest {
protected:
    bool waitForStatus(const QString& text) {
        return qnWaitUntil([&] { return QString::fromUtf8(run({"status"}).standardOutput).contains(text); },
                           kProgramWait);
    }
};

TEST_F(ActivationTest, AgentAnswersAndPicksTheEngineUpAgain) {
    ok({"import", sampleProfilePath()});
    const auto stored = run({"activate", kSample});
    EXPECT_EQ(stored.exitCode, 0);
    EXPECT_TRUE(stored.standardOutput.contains("takes effect at its next start"));
    const auto none = run({"status"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_TRUE(none.standardError.contains("not running")) << none.standardError.toStdString();

    // No engine yet: the agent starts all the same and says so.
    _peer.reset();
    _agent = std::make_unique<QNTestChildProcess>(kAgentPath);
    ASSERT_TRUE(_agent->start({}, _environment));
    ASSERT_TRUE(waitForStatus("Engine:         not running"));
    EXPECT_TRUE(ok({"status"}).contains("Active profile: 1 (Local SOCKS)"));
    const auto withoutEngine = run({"activate", kSample});
    EXPECT_EQ(withoutEngine.exitCode, 1);
    EXPECT_TRUE(withoutEngine.standardError.contains("the engine is not running"))
        << withoutEngine.standardError.toStdString();

    // The engine comes: the agent connects within its retry interval and hands over the profile and the flag.
    _peer = std::make_unique<QNTestEnginePeer>(path("control.sock"));
    ASSERT_TRUE(_peer->waitForAgent(1, kProgramWait));
    ASSERT_TRUE(_peer->waitForFrames(2, kProgramWait));
    EXPECT_EQ(_peer->values(0), QList<QByteArray>{compiledProfile(kSample)});
    EXPECT_EQ(_peer->values(1), QList<QByteArray>{QByteArray(1, '\0')});
    ASSERT_TRUE(waitForStatus("Engine:         connected"));
    const auto activated = run({"activate", kSample});
    EXPECT_EQ(activated.exitCode, 0) << activated.standardError.toStdString();
    EXPECT_EQ(activated.standardOutput, "Active profile: 1 (Local SOCKS)\n");

    // The engine restarts: the agent comes back to it with the same.
    const qsizetype frames = _peer->frames().size();
    _peer->dropAgent();
    ASSERT_TRUE(_peer->waitForAgent(2, kProgramWait));
    ASSERT_TRUE(_peer->waitForFrames(frames + 2, kProgramWait));
    EXPECT_EQ(_peer->values(0).last(), compiledProfile(kSample));
    EXPECT_EQ(ok({"activate", "none"}), "No profile is active\n");
}

} // namespace
