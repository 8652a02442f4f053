#include "kernel/QNAtomTypes.h"
#include "kernel/QNProfileCompiler.h"
#include "kernel/QNProfileStreamDecoder.h"
#include "support/QNRecordingAlertPresenter.h"
#include "test_compiler_support.h"
#include "util/QNStrings.h"

#include <QJsonObject>

#include <gtest/gtest.h>

#include <random>

using namespace qntest;

namespace {

QString json(const QNDecodedProfile& profile) {
    return QString::fromUtf8(QNProfileStreamDecoder::jsonDocument(profile).toJson(QJsonDocument::Compact));
}

// Builds a profile at random together with what decoding its stream must give back. The expectations are
// worked out from the generated values, not from the texts, so they do not lean on the parsers.
class ProfileGenerator {
public:
    explicit ProfileGenerator(unsigned seed)
        : _random(seed) {}

    std::shared_ptr<QNProfile> profile;
    QNDecodedProfile expected;

    void generate(int items, int rules, int entries) {
        QList<std::shared_ptr<QNProxyItem>> proxies;
        for (int i = 0; i < items; ++i) {
            QNDecodedProxyItem item;
            if (chance(30)) {
                proxies.append(chain(&item));
            } else {
                proxies.append(proxy(&item.proxy));
            }
            expected.proxies.append(item);
        }
        QList<std::shared_ptr<QNRule>> ruleList;
        for (int i = 0; i < rules; ++i) {
            ruleList.append(rule(proxies));
        }
        QList<std::shared_ptr<QNDNS>> dnsList;
        for (int i = 0; i < entries; ++i) {
            dnsList.append(dns());
        }
        const QString name = chance(10) ? QString() : word(true);
        if (!name.isNull()) {
            expected.name = name;
        }
        profile = makeProfile(name, proxies, ruleList, dnsList);
    }

private:
    std::mt19937 _random;

    quint32 number(quint32 low, quint32 high) { return std::uniform_int_distribution<quint32>(low, high)(_random); }
    bool chance(int percent) { return int(number(0, 99)) < percent; }

    // Texts for names and list entries: letters, blanks, non-ASCII; never a ",", which would split them.
    QString word(bool allowComma = false) {
        static const QString alphabet = QStringLiteral("abcxyzABC019 -_.äöü€☕");
        QString text;
        const quint32 length = number(0, 12);
        for (quint32 i = 0; i < length; ++i) {
            text += alphabet[qsizetype(number(0, quint32(alphabet.size() - 1)))];
        }
        if (allowComma && chance(20)) {
            text += QStringLiteral(", and more");
        }
        return text;
    }

    QString blanks() { return chance(20) ? QStringLiteral(" ") : QString(); }

    // An address as text and as words. IPv6 is written out in full so the text holds no "::".
    QString address(bool isIPv6, QNAddressWords* words, bool nonZero = false) {
        *words = QNAddressWords{};
        if (!isIPv6) {
            (*words)[3] = quint32(_random());
            if (nonZero && (*words)[3] == 0) {
                (*words)[3] = 1;
            }
            const quint32 w = (*words)[3];
            return QStringLiteral("%1.%2.%3.%4").arg(w >> 24).arg((w >> 16) & 0xFF).arg((w >> 8) & 0xFF).arg(w & 0xFF);
        }
        QStringList groups;
        for (int i = 0; i < 4; ++i) {
            (*words)[i] = chance(30) ? 0 : quint32(_random());
            groups << QString::number((*words)[i] >> 16, 16) << QString::number((*words)[i] & 0xFFFF, 16);
        }
        if (nonZero && *words == QNAddressWords{}) {
            (*words)[3] = 1;
            groups[7] = QStringLiteral("1");
        }
        return groups.join(QLatin1Char(':'));
    }

    // Elements of one to three entries each; entries that name no port ("0") give no atom.
    QStringList ports(QList<QNDecodedPortEntry>* entries) {
        QStringList elements;
        const quint32 count = number(1, 3);
        for (quint32 e = 0; e < count; ++e) {
            QStringList pieces;
            const quint32 pieceCount = number(1, 3);
            for (quint32 p = 0; p < pieceCount; ++p) {
                const quint32 kind = number(0, 9);
                if (kind == 0) {
                    pieces << QStringLiteral("0");
                } else if (kind < 5) {
                    const auto port = quint16(number(1, 65535));
                    pieces << blanks() + QString::number(port) + blanks();
                    entries->append({port, 0, false});
                } else {
                    const auto first = quint16(number(1, 65535));
                    const auto last = quint16(number(first, 65535));
                    pieces << QStringLiteral("%1%2-%3").arg(blanks()).arg(first).arg(last);
                    entries->append({first, last, true});
                }
            }
            elements << pieces.join(QLatin1Char(','));
        }
        return elements;
    }

    std::shared_ptr<QNProxy> proxy(QNDecodedProxy* expectedProxy, quint32 type = 0) {
        QNDecodedProxy& e = *expectedProxy;
        e.name = word(true);
        e.type = type != 0 ? type : number(1, 7);
        e.hostIsIPv6 = chance(30);
        const QString host = address(e.hostIsIPv6, &e.host);
        e.port = quint16(number(0, 65535));
        const QString user = chance(50) ? word() : QString();
        const QString password = chance(50) ? word() : QString();
        if (!user.isEmpty()) {
            e.user = user;
        }
        if (!password.isEmpty()) {
            e.password = password;
        }
        QStringList filterPorts;
        if (chance(60)) {
            e.filterPorts.emplace();
            filterPorts = ports(&*e.filterPorts);
        }
        e.anonymize = chance(50);
        const quint16 tunnelPort = chance(30) ? quint16(number(1, 65535)) : 0;
        if (tunnelPort != 0) {
            e.localTunnelPort = tunnelPort;
        }
        const auto proxy = makeProxy(e.name, e.type, host, e.port, filterPorts, user, password);
        proxy->setAnonymizeRequests(e.anonymize);
        proxy->setLocalTunnelPort(tunnelPort);
        return proxy;
    }

    // Only valid chains: an optional tunnel first, SOCKS proxies, an optional HTTP proxy last.
    std::shared_ptr<QNProxyChain> chain(QNDecodedProxyItem* item) {
        item->isChain = true;
        item->chainName = word(true);
        QList<quint32> types;
        if (chance(30)) {
            types << QNProxyTypeSSHTunnel;
        }
        for (quint32 i = number(0, 3); i > 0; --i) {
            types << number(QNProxyTypeSOCKS4, QNProxyTypeSOCKS5);
        }
        if (chance(30)) {
            types << number(QNProxyTypeHTTPTransparent, QNProxyTypeHTTPConnect);
        }
        QList<std::shared_ptr<QNProxy>> members;
        for (quint32 type : types) {
            QNDecodedProxy member;
            members << proxy(&member, type);
            item->members << member;
        }
        return QNProxyChain::proxyChainWithName(item->chainName, members, chance(50));
    }

    QString host(QNDecodedHost* e) {
        const quint32 kind = number(0, 4);
        if (kind == 4) {
            e->kind = QNDecodedHost::Name;
            e->name = blanks() + QStringLiteral("host%1.example").arg(number(0, 999));
            return e->name;
        }
        const bool isIPv6 = kind >= 2;
        const bool isRange = kind % 2 == 1;
        QString text = blanks() + address(isIPv6, &e->first);
        if (isRange) {
            text += QStringLiteral("-") + blanks() + address(isIPv6, &e->last, true);
            e->kind = isIPv6 ? QNDecodedHost::IPv6Range : QNDecodedHost::IPv4Range;
        } else {
            e->kind = isIPv6 ? QNDecodedHost::IPv6 : QNDecodedHost::IPv4;
        }
        return text + blanks();
    }

    std::shared_ptr<QNRule> rule(const QList<std::shared_ptr<QNProxyItem>>& proxies) {
        QNDecodedRule e;
        e.name = word(true);
        QStringList applications;
        if (chance(40)) {
            e.applications.emplace();
            for (quint32 i = number(1, 3); i > 0; --i) {
                QStringList pieces;
                for (quint32 p = number(1, 2); p > 0; --p) {
                    pieces << word();
                }
                e.applications->append(pieces);
                applications << pieces.join(QLatin1Char(','));
            }
        }
        QStringList hosts;
        if (chance(70)) {
            e.hosts.emplace();
            for (quint32 i = number(1, 4); i > 0; --i) {
                QStringList pieces;
                for (quint32 p = number(1, 2); p > 0; --p) {
                    QNDecodedHost entry;
                    pieces << host(&entry);
                    e.hosts->append(entry);
                }
                hosts << pieces.join(QLatin1Char(','));
            }
        }
        QStringList rulePorts;
        if (chance(50)) {
            e.ports.emplace();
            rulePorts = ports(&*e.ports);
        }
        e.action = number(QNRuleActionProxy, QNRuleActionBlock);
        std::shared_ptr<QNProxyItem> target;
        if (e.action == QNRuleActionProxy) {
            const quint32 pick = number(0, quint32(proxies.size()) + 1);
            if (pick < quint32(proxies.size())) {
                target = proxies[pick];
                e.proxyIndex = pick;
            } else {
                // No proxy, or one that is not in the profile.
                target = pick == quint32(proxies.size()) ? nullptr : makeProxy(QString(), 3, QString(), 1);
                e.proxyIndex = 0xFFFFFFFF;
            }
        } else if (!proxies.isEmpty() && chance(50)) {
            target = proxies.first();
        }
        const bool enabled = chance(85);
        if (enabled) {
            expected.rules.append(e);
        }
        return makeRule(e.name, hosts, rulePorts, e.action, target, applications, enabled);
    }

    std::shared_ptr<QNDNS> dns() {
        QNDecodedDNS e;
        e.name = word(true);
        QStringList hosts;
        if (chance(70)) {
            e.hosts.emplace();
            for (quint32 i = number(1, 3); i > 0; --i) {
                QStringList pieces;
                for (quint32 p = number(1, 3); p > 0; --p) {
                    pieces << word();
                }
                e.hosts->append(pieces);
                hosts << pieces.join(QLatin1Char(','));
            }
        }
        e.resolve = number(0, 1);
        const bool enabled = chance(85);
        if (enabled) {
            expected.dns.append(e);
        }
        return makeDNS(e.name, hosts, e.resolve, enabled);
    }
};

TEST(StreamDecoder, GivesBackWhatTheModelHolds) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        ProfileGenerator generator(seed);
        generator.generate(int(seed % 7) * 5, int(seed) * 10, int(seed % 5) * 3);

        QNRecordingAlertPresenter presenter;
        QNProfileCompiler compiler(presenter, QNStrings::mainBundle());
        const std::optional<QByteArray> stream = compiler.profileData(generator.profile.get());
        ASSERT_TRUE(stream);
        EXPECT_TRUE(presenter.alerts().isEmpty());

        QString error;
        const std::optional<QNDecodedProfile> decoded = QNProfileStreamDecoder::decode(*stream, &error);
        ASSERT_TRUE(decoded) << qPrintable(error);
        const QNDecodedProfile& expected = generator.expected;
        EXPECT_EQ(decoded->name, expected.name);
        ASSERT_EQ(decoded->proxies.size(), expected.proxies.size());
        for (qsizetype i = 0; i < expected.proxies.size(); ++i) {
            EXPECT_TRUE(decoded->proxies[i] == expected.proxies[i]) << "proxy item " << i;
        }
        ASSERT_EQ(decoded->rules.size(), expected.rules.size());
        for (qsizetype i = 0; i < expected.rules.size(); ++i) {
            EXPECT_TRUE(decoded->rules[i] == expected.rules[i]) << "rule " << i;
        }
        EXPECT_TRUE(decoded->dns == expected.dns);
        if (!(*decoded == expected)) {
            ADD_FAILURE() << "decoded:  " << qPrintable(json(*decoded)) << "\nexpected: " << qPrintable(json(expected));
        }
    }
}

// A valid stream to break: one proxy, one chain, a proxy rule and a DNS entry.
QByteArray validStream() {
    const auto p = makeProxy(QStringLiteral("p"), QNProxyTypeSOCKS5, QStringLiteral("127.0.0.1"), 1080,
                             {QStringLiteral("80,1000-2000")}, QStringLiteral("u"), QStringLiteral("pw"));
    const auto chain = QNProxyChain::proxyChainWithName(QStringLiteral("c"), {p->copy()}, true);
    const auto rule = makeRule(QStringLiteral("r"), {QStringLiteral("10.0.0.1,printer")}, {QStringLiteral("80")},
                               QNRuleActionProxy, chain, {QStringLiteral("app")});
    const auto dns = makeDNS(QStringLiteral("d"), {QStringLiteral("intranet")}, QNDNSResolveRemote);
    QNRecordingAlertPresenter presenter;
    QNProfileCompiler compiler(presenter, QNStrings::mainBundle());
    return compiler.profileData(makeProfile(QStringLiteral("Home"), {p, chain}, {rule}, {dns}).get()).value();
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

TEST(StreamDecoder, RendersAReadableDocument) {
    const std::optional<QNDecodedProfile> decoded = QNProfileStreamDecoder::decode(validStream());
    ASSERT_TRUE(decoded);
    const QJsonObject actual = QNProfileStreamDecoder::jsonDocument(*decoded).object();
    const QByteArray proxy = R"({"kind": "proxy", "name": "p", "type": 3, "host": "127.0.0.1", "port": 1080,
        "user": "u", "password": "pw", "filterPorts": ["80", "1000-2000"], "anonymize": false})";
    const QByteArray expected = R"({
        "name": "Home",
        "proxies": [)" + proxy + R"(, {"kind": "chain", "name": "c", "proxies": [)" +
                                proxy + R"(]}],
        "rules": [{"name": "r", "applications": ["app"],
                   "hosts": [{"kind": "ipv4", "value": "10.0.0.1"}, {"kind": "name", "value": "printer"}],
                   "ports": ["80"], "action": 1, "proxyIndex": 1}],
        "dns": [{"name": "d", "hosts": ["intranet"], "resolve": 1}]
    })";
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(expected, &parseError);
    ASSERT_EQ(parseError.error, QJsonParseError::NoError) << qPrintable(parseError.errorString());
    EXPECT_EQ(actual, document.object()) << qPrintable(json(*decoded));
}

TEST(StreamDecoder, WritesAddressesInTheirUsualTextForm) {
    struct Case {
        QNAddressWords words;
        bool isIPv6;
        const char* text;
    };
    const Case cases[] = {
        {{0, 0, 0, 0x7F000001}, false, "127.0.0.1"},
        {{0, 0, 0, 0xFFFFFFFF}, false, "255.255.255.255"},
        {{0, 0, 0, 0}, false, "0.0.0.0"},
        {{0, 0, 0, 0}, true, "::"},
        {{0, 0, 0, 1}, true, "::1"},
        {{0x20010DB8, 0, 0, 1}, true, "2001:db8::1"},
        {{0xFD000000, 0, 0, 0}, true, "fd00::"},
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
