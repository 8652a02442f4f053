// quillonctl export and import end to end.

#include "test_quillonctl_fixture.h"

#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "model/QNXMLElement.h"
#include "model/QNXMLText.h"
#include "util/QNStrings.h"

#include <sys/stat.h>

namespace {

// A profile that uses most of what a profile can hold.
QVariantMap richProfile() {
    auto socks =
        QNProxy::proxyWithName(QStringLiteral("Office <SOCKS>"), QNProxyTypeSOCKS5, QStringLiteral("socks.example.net"),
                               1080, QStringLiteral("alice"), QStringLiteral("s3cret"), QStringList(), false, 0,
                               QByteArray(), QString(), QByteArray(), QString(), 0);
    auto ssh =
        QNProxy::proxyWithName(QStringLiteral("Jump"), QNProxyTypeSSHTunnel, QStringLiteral("ssh.example.net"), 22,
                               QStringLiteral("bob"), QString(), QStringList(), false, 4, QByteArray("key bytes"),
                               QStringLiteral("pass"), QByteArray("server key"), QString(), 30);
    auto http = QNProxy::proxyWithName(QStringLiteral("Web"), QNProxyTypeHTTPNonTransparent, QStringLiteral("10.1.2.3"),
                                       3128, QString(), QString(), {QStringLiteral("80"), QStringLiteral("8000-8080")},
                                       true, 0, QByteArray(), QString(), QByteArray(), QString(), 0);
    auto chain = QNProxyChain::proxyChainWithName(QStringLiteral("Jump then web"), {ssh, http}, true);
    const QList<std::shared_ptr<QNProxyItem>> items{socks, ssh, chain};
    const QList<std::shared_ptr<QNRule>> rules{
        QNRule::ruleWithName(QStringLiteral("Mail"), {QStringLiteral("/usr/bin/thunderbird")},
                             {QStringLiteral("*.example.org")}, {QStringLiteral("993"), QStringLiteral("25-587")},
                             QNRuleActionProxy, chain, true),
        QNRule::ruleWithName(QStringLiteral("Ads"), {}, {QStringLiteral("ads.example.com")}, {}, QNRuleActionBlock,
                             nullptr, false),
        QNRule::ruleWithName(QStringLiteral("Rest"), {}, {}, {}, QNRuleActionProxy, socks, true),
    };
    const QList<std::shared_ptr<QNDNS>> dns{
        QNDNS::dnsWithName(QStringLiteral("Local"), {QStringLiteral("*.lan")}, QNDNSResolveLocal, true),
        QNDNS::dnsWithName(QStringLiteral("Rest"), {}, QNDNSResolveRemote, true)};
    return QNProfile::profileWithName(QStringLiteral("Rich \"one\""), items, rules, dns, 5)->settings();
}

std::string withoutFirstLine(const QString& text) {
    return text.section(QLatin1Char('\n'), 1).toStdString();
}

class QuillonctlTransfer : public Quillonctl {
protected:
    void SetUp() override {
        Quillonctl::SetUp();
        if (IsSkipped()) {
            return;
        }
        auto plain = QNProfile::profileWithIdentifier(9, QNStrings::mainBundle());
        plain->setName(QStringLiteral("Plain"));
        writeDomain({{kQNUserDefaultProfiles, QVariantList{richProfile(), plain->settings()}}});
    }

    QString exportPath() const { return _home.filePath(QStringLiteral("export.xml")); }
};

TEST_F(QuillonctlTransfer, ExportedProfilesComeBackTheSameWithNewIdentifiers) {
    ok({QStringLiteral("export"), QStringLiteral("-o"), exportPath()});
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(exportPath()).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u) << "the document holds passwords";
    takePosted();

    EXPECT_EQ(ok({QStringLiteral("import"), exportPath()}),
              QStringLiteral("Imported profile 10: Rich \"one\"\nImported profile 11: Plain\n"));
    EXPECT_EQ(takePosted(), QList<Posted>{fromPanel(kQNNotificationProfiles)});
    ASSERT_EQ(storedProfiles().size(), 4);
    // Everything the readable form shows survives the trip, except key passphrases, which the document
    // does not carry.
    const QString original = ok({QStringLiteral("show"), QStringLiteral("5")});
    ASSERT_TRUE(original.contains(QLatin1String(" with passphrase")));
    EXPECT_EQ(withoutFirstLine(ok({QStringLiteral("show"), QStringLiteral("10")})),
              withoutFirstLine(QString(original).remove(QStringLiteral(" with passphrase"))));
    EXPECT_EQ(withoutFirstLine(ok({QStringLiteral("show"), QStringLiteral("11")})),
              withoutFirstLine(ok({QStringLiteral("show"), QStringLiteral("9")})));
    EXPECT_TRUE(
        ok({QStringLiteral("show"), QStringLiteral("5")}).contains(QLatin1String("through item 3 (Jump then web)")));
    EXPECT_FALSE(ok({QStringLiteral("show"), QStringLiteral("5")}).contains(QLatin1String("s3cret")));

    // From standard input too.
    QFile file(exportPath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const auto fromInput = run({QStringLiteral("import"), QStringLiteral("-")}, file.readAll());
    EXPECT_EQ(fromInput.exitCode, 0) << fromInput.standardError.toStdString();
    EXPECT_EQ(storedProfiles().size(), 6);
}

TEST_F(QuillonctlTransfer, ExportWritesTheNamedProfilesInTheOrderGiven) {
    const auto result =
        run({QStringLiteral("export"), QStringLiteral("Plain"), QStringLiteral("5"), QStringLiteral("9")});
    ASSERT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    const auto document = QNXMLText::xmlElementWithData(result.standardOutput);
    ASSERT_TRUE(document.ok()) << document.message().toStdString();
    EXPECT_EQ(document.element->name(), QStringLiteral("profiles"));
    QStringList names;
    for (const auto& child : document.element->elements().value_or(QNXMLElement::Elements())) {
        names << child->attribute(QStringLiteral("name"));
    }
    EXPECT_EQ(names, (QStringList{QStringLiteral("Plain"), QStringLiteral("Rich \"one\"")}));

    const auto missing = run({QStringLiteral("export"), QStringLiteral("Plain"), QStringLiteral("Nope")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.standardOutput.isEmpty());
}

TEST_F(QuillonctlTransfer, DocumentThatCannotBeImportedChangesNothingAndSaysWhy) {
    ok({QStringLiteral("export"), QStringLiteral("-o"), exportPath()});
    QFile exported(exportPath());
    ASSERT_TRUE(exported.open(QIODevice::ReadOnly));
    const QByteArray valid = exported.readAll();
    struct Case {
        const char* what;
        QByteArray document;
        const char* says;
    };
    const Case cases[] = {
        {"not XML", "profiles, please\n", "Line 1, column 1"},
        {"cut off", valid.left(valid.size() / 2), "Line "},
        {"mismatched tags", "<profiles>\n  <profile name=\"x\">\n</profiles>\n", "Line 3, column "},
        {"entity definitions", "<!DOCTYPE profiles [<!ENTITY a \"aaaa\">]>\n<profiles>&a;</profiles>",
         "Line 1, column "},
        {"wrong root element", "<proxies><proxy/></proxies>", "<proxies>, not <profiles>"},
        {"no profiles", "<profiles><note/></profiles>", "holds no profile"},
    };
    const QByteArray before = preferenceBytes();
    takePosted();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = _home.filePath(QStringLiteral("import.xml"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.document);
        file.close();
        const auto result = run({QStringLiteral("import"), path});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_TRUE(result.standardError.contains(c.says)) << result.standardError.toStdString();
        EXPECT_TRUE(result.standardError.contains(path.toUtf8()));
    }
    const auto absent = run({QStringLiteral("import"), _home.filePath(QStringLiteral("absent.xml"))});
    EXPECT_EQ(absent.exitCode, 1);
    EXPECT_EQ(preferenceBytes(), before);
    EXPECT_TRUE(takePosted().isEmpty());
}

} // namespace
