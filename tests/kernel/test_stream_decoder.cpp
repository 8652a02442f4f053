#include "kernel/QNAtomTypes.h"
#include "kernel/QNProfileCompiler.h"
#include "kernel/QNProfileStreamDecoder.h"
#include "support/QNRecordingAlertPresenter.h"
#include "test_kernel_support.h"
#include "util/QNStrings.h"

#include <QJsonObject>

#include <gtest/gtest.h>

using namespace qntest;

namespace {

// A profile that uses every atom kind and every key of the readable form, with values at the edges: empty
// and non-ASCII texts, list elements that split at commas and keep their blanks, the lowest and highest
// ports and addresses, a filter port of 0 (no atom), a rule pointing outside the profile, and disabled
// entries (no atoms, and a bad port in a disabled rule is not looked at).
QByteArray validStream() {
    const auto first = makeProxy(QStringLiteral("p, and more"), QNProxyTypeSOCKS5, QStringLiteral("0.0.0.0"), 65535,
                                 {QStringLiteral("80, 0,1000-2000"), QStringLiteral(" 65535 ")}, QStringLiteral("u"),
                                 QStringLiteral("pw"));
    first->setAnonymizeRequests(true);
    first->setLocalTunnelPort(49152);
    const auto chain = QNProxyChain::proxyChainWithName(
        QStringLiteral("c"),
        {makeProxy(QStringLiteral("t"), QNProxyTypeSSHTunnel, QStringLiteral("2001:db8::1"), 22),
         makeProxy(QStringLiteral("s"), QNProxyTypeSOCKS4, QStringLiteral("255.255.255.255"), 0,
                   {QStringLiteral("0")})},
        false);
    const auto last =
        makeProxy(QString(), QNProxyTypeHTTPTransparent, QStringLiteral("::"), 80, {}, QStringLiteral(""));
    const auto stranger = makeProxy(QStringLiteral("x"), QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1);
    const QList<std::shared_ptr<QNRule>> rules = {
        makeRule(QStringLiteral("r"),
                 {QStringLiteral("10.0.0.1, printer"), QStringLiteral("10.0.0.0-10.255.255.255,fd00::-fdff::"),
                  QStringLiteral("::1")},
                 {QStringLiteral("80,8000-8080"), QStringLiteral("0")}, QNRuleActionProxy, chain,
                 {QStringLiteral("Safari,Mail"), QStringLiteral(" Terminal")}),
        makeRule(QString(), {}, {}, QNRuleActionProxy, stranger),
        makeRule(QStringLiteral("d"), {}, {QStringLiteral("65535")}, QNRuleActionDirect, first),
        makeRule(QStringLiteral("off"), {QStringLiteral("10.0.0.1")}, {QStringLiteral("x")}, QNRuleActionBlock, nullptr,
                 {}, false),
    };
    const QList<std::shared_ptr<QNDNS>> dns = {
        makeDNS(QStringLiteral("d"), {QStringLiteral("intranet,a.example"), QStringLiteral(" 10.0.0.1")},
                QNDNSResolveRemote),
        makeDNS(QStringLiteral("off"), {QStringLiteral("x")}, QNDNSResolveRemote, false),
        makeDNS(QStringLiteral("l"), {}, QNDNSResolveLocal),
    };
    QNRecordingAlertPresenter presenter;
    QNProfileCompiler compiler(presenter, QNStrings::mainBundle());
    const auto profile = makeProfile(QStringLiteral("Büro ☕"), {first, chain, last}, rules, dns);
    return compiler.profileData(profile.get()).value_or(QByteArray());
}

// What the compiler writes, the decoder reads back and renders in its readable form.
TEST(StreamDecoder, GivesBackWhatTheModelHolds) {
    QString error;
    const std::optional<QNDecodedProfile> decoded = QNProfileStreamDecoder::decode(validStream(), &error);
    ASSERT_TRUE(decoded) << qPrintable(error);
    const QByteArray expected = R"({
        "name": "Büro ☕",
        "proxies": [
            {"kind": "proxy", "name": "p, and more", "type": 3, "host": "0.0.0.0", "port": 65535, "user": "u",
             "password": "pw", "filterPorts": ["80", "1000-2000", "65535"], "anonymize": true,
             "localTunnelPort": 49152},
            {"kind": "chain", "name": "c", "proxies": [
                {"kind": "proxy", "name": "t", "type": 7, "host": "2001:db8::1", "port": 22, "anonymize": false},
                {"kind": "proxy", "name": "s", "type": 1, "host": "255.255.255.255", "port": 0, "filterPorts": [],
                 "anonymize": false}]},
            {"kind": "proxy", "name": "", "type": 4, "host": "::", "port": 80, "anonymize": false}],
        "rules": [
            {"name": "r", "applications": ["Safari", "Mail", " Terminal"],
             "hosts": [{"kind": "ipv4", "value": "10.0.0.1"}, {"kind": "name", "value": " printer"},
                       {"kind": "ipv4Range", "value": "10.0.0.0-10.255.255.255"},
                       {"kind": "ipv6Range", "value": "fd00::-fdff::"}, {"kind": "ipv6", "value": "::1"}],
             "ports": ["80", "8000-8080"], "action": 1, "proxyIndex": 1},
            {"name": "", "action": 1, "proxyIndex": 4294967295},
            {"name": "d", "ports": ["65535"], "action": 2}],
        "dns": [{"name": "d", "hosts": ["intranet", "a.example", " 10.0.0.1"], "resolve": 1},
                {"name": "l", "resolve": 0}]
    })";
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(expected, &parseError);
    ASSERT_EQ(parseError.error, QJsonParseError::NoError) << qPrintable(parseError.errorString());
    const QJsonDocument actual = QNProfileStreamDecoder::jsonDocument(*decoded);
    EXPECT_EQ(actual.object(), document.object()) << actual.toJson(QJsonDocument::Compact).toStdString();
}

TEST(StreamDecoder, RejectsEveryTruncationOfAValidStream) {
    const QByteArray stream = validStream();
    ASSERT_TRUE(QNProfileStreamDecoder::decode(stream));
    for (qsizetype size = 0; size < stream.size(); ++size) {
        QString error;
        EXPECT_FALSE(QNProfileStreamDecoder::decode(QByteArrayView(stream).first(size), &error)) << size;
        EXPECT_FALSE(error.isEmpty()) << size;
    }
}

TEST(StreamDecoder, RejectsMalformedStreamsWithAReason) {
    const QByteArray name = atom(kQNAtomTypeName, "p");
    const QByteArray type = atom(kQNAtomTypeType, value<quint32>(3));
    const QByteArray host = atom(kQNAtomTypeHostIPv4, value<quint32>(0x7F000001));
    const QByteArray port = atom(kQNAtomTypePort, value<quint16>(1080));
    const QByteArray anon = atom(kQNAtomTypeAnonymize, value<quint8>(0));
    const QByteArray action = atom(kQNAtomTypeAction, value<quint32>(2));
    const auto streamWithProxy = [](const QByteArray& proxyData) {
        return atom(kQNAtomTypeProxies, atom(kQNAtomTypeProxy, proxyData)) + atom(kQNAtomTypeRules) +
               atom(kQNAtomTypeDNSEntries);
    };
    const auto streamWithRule = [](const QByteArray& ruleData) {
        return atom(kQNAtomTypeProxies) + atom(kQNAtomTypeRules, atom(kQNAtomTypeRule, ruleData)) +
               atom(kQNAtomTypeDNSEntries);
    };

    // The well-formed pieces decode, so each case below fails for its own reason only.
    ASSERT_TRUE(QNProfileStreamDecoder::decode(streamWithProxy(name + type + host + port + anon)));
    ASSERT_TRUE(QNProfileStreamDecoder::decode(streamWithRule(name + action)));

    struct Case {
        const char* what;
        QByteArray stream;
        const char* reason;
    };
    const Case cases[] = {
        {"empty", QByteArray(), "missing 'prxs'"},
        {"unknown top-level atom", atom(QNFourCharCode("zzzz")) + streamWithProxy(name + type + host + port + anon),
         "unexpected atom 'zzzz' at offset 0"},
        {"trailing bytes", streamWithRule(name + action) + "abc", "header cut off"},
        {"missing type", streamWithProxy(name + host + port + anon), "prxs/prxy[0]: missing 'type'"},
        {"missing host", streamWithProxy(name + type + port + anon), "missing 'hst4' or 'hst6'"},
        {"fields out of order", streamWithProxy(type + name + host + port + anon),
         "prxs/prxy[0]: repeated or out-of-order atom 'name'"},
        {"field repeated", streamWithProxy(name + type + host + host + port + anon), "out-of-order atom 'hst4'"},
        {"both host kinds",
         streamWithProxy(name + type + host + atom(kQNAtomTypeHostIPv6, QByteArray(16, 0)) + port + anon),
         "out-of-order atom 'hst6'"},
        {"port of three bytes", streamWithProxy(name + type + host + atom(kQNAtomTypePort, "abc") + anon),
         "atom 'port' at offset 33 has 3 bytes of data"},
        {"IPv4 host of sixteen bytes",
         streamWithProxy(name + type + atom(kQNAtomTypeHostIPv4, QByteArray(16, 0)) + port + anon), "'hst4'"},
        {"anonymise flag 2", streamWithProxy(name + type + host + port + atom(kQNAtomTypeAnonymize, value<quint8>(2))),
         "'anon' holds 2"},
        {"unknown atom in a proxy", streamWithProxy(name + type + host + port + anon + atom(QNFourCharCode("xtra"))),
         "unexpected atom 'xtra'"},
        {"rule in the proxy list",
         atom(kQNAtomTypeProxies, atom(kQNAtomTypeRule, name + action)) + atom(kQNAtomTypeRules) +
             atom(kQNAtomTypeDNSEntries),
         "prxs: unexpected atom 'rule'"},
        {"overlong atom in a container",
         streamWithProxy(name + type + host + port + anon + hex("10000000 7470746C 0000")),
         "declares length 16 but only 10 bytes are left"},
        {"filter port of one byte",
         streamWithProxy(name + type + host + port +
                         atom(kQNAtomTypeFilterPorts, atom(kQNAtomTypeFilterPort, value<quint8>(80))) + anon),
         "prxs/prxy[0]/fpts: atom 'fprt'"},
        {"rule port group holding a filter port",
         streamWithRule(name + atom(kQNAtomTypePorts, atom(kQNAtomTypeFilterPort, value<quint16>(80))) + action),
         "rles/rule[0]/prts: unexpected atom 'fprt'"},
        {"host range of one address",
         streamWithRule(name + atom(kQNAtomTypeHosts, atom(kQNAtomTypeHostRangeIPv4, value<quint32>(1))) + action),
         "'hi4r'"},
        {"proxy index in a direct rule", streamWithRule(name + action + atom(kQNAtomTypeProxyIndex, value<quint32>(0))),
         "'prxi' in a rule with action 2"},
        {"proxy rule without index", streamWithRule(name + atom(kQNAtomTypeAction, value<quint32>(1))),
         "missing 'prxi'"},
        {"chain without members",
         atom(kQNAtomTypeProxies, atom(kQNAtomTypeProxyChain, atom(kQNAtomTypeChainName))) + atom(kQNAtomTypeRules) +
             atom(kQNAtomTypeDNSEntries),
         "prxs/pxch[0]: missing 'pcpx'"},
        {"bad chain member",
         atom(kQNAtomTypeProxies,
              atom(kQNAtomTypeProxyChain,
                   atom(kQNAtomTypeChainName) + atom(kQNAtomTypeChainProxies, atom(kQNAtomTypeProxy, name)))) +
             atom(kQNAtomTypeRules) + atom(kQNAtomTypeDNSEntries),
         "prxs/pxch[0]/pcpx/prxy[0]: missing 'type'"},
        {"DNS entry without resolve",
         atom(kQNAtomTypeProxies) + atom(kQNAtomTypeRules) + atom(kQNAtomTypeDNSEntries, atom(kQNAtomTypeDNS, name)),
         "dnss/dns[0]: missing 'resl'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QString error;
        EXPECT_FALSE(QNProfileStreamDecoder::decode(c.stream, &error));
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << qPrintable(error);
    }
}

TEST(StreamDecoder, WritesAddressesInTheirUsualTextForm) {
    struct Case {
        QNAddressWords words;
        bool isIPv6;
        const char* text;
    };
    const Case cases[] = {
        {{0, 0, 0, 0x7F000001}, false, "127.0.0.1"},
        {{0, 0, 0, 0}, false, "0.0.0.0"},
        {{0, 0, 0, 0}, true, "::"},
        {{0x20010DB8, 0, 0, 1}, true, "2001:db8::1"},
        {{0x00010000, 0x00010000, 0, 1}, true, "1:0:1::1"},
        {{0x00010000, 0x00020000, 0x00030000, 0x00040000}, true, "1:0:2:0:3:0:4:0"},
        {{0x00010000, 0x00000002, 0, 0x00030004}, true, "1::2:0:0:3:4"},
        {{0, 0x00010000, 0, 2}, true, "0:0:1::2"},
        {{0, 0, 0xFFFF, 0x0A010203}, true, "::ffff:a01:203"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QNProfileStreamDecoder::addressString(c.words, c.isIPv6), QLatin1String(c.text));
    }
}

} // namespace
