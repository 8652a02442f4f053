// Two ways into the atom stream, chosen by the low bit of the first byte.
//
// Even: the rest is a stream from a peer we do not trust, fed to the atom reader (every atom read as a
// container a few levels down, through every accessor) and to the profile stream decoder.
//
// Odd: the rest describes a profile (proxies, chains, rules, DNS entries, with list texts written the
// many ways a user may type them). The profile is compiled, the stream decoded, and what comes out must
// be what was put in, field by field; a profile made to fail (a bad port entry, an invalid chain) must
// fail with one alert and no stream.
#include "QNFuzzCheck.h"

#include "kernel/QNAtomReader.h"
#include "kernel/QNProfileCompiler.h"
#include "kernel/QNProfileStreamDecoder.h"
#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "util/QNAlertPresenter.h"
#include "util/QNStrings.h"

#include <QByteArray>
#include <QJsonDocument>

#include <fuzzer/FuzzedDataProvider.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace {

// Reads every atom as if it were a container, a few levels down, and every value accessor on it.
void walk(QByteArrayView buffer, int depth) {
    QNAtomReader reader(buffer);
    QNAtom atom;
    qsizetype covered = 0;
    while (reader.next(&atom)) {
        qnFuzzCheck(atom.length >= 8 && atom.offset == covered && atom.data.size() == qsizetype(atom.length) - 8,
                    "an atom's length, offset and data agree");
        qnFuzzCheck(atom.data.data() >= buffer.data() &&
                        atom.data.data() + atom.data.size() <= buffer.data() + buffer.size(),
                    "an atom's data lies inside its buffer");
        covered += atom.length;
        (void)atom.u8();
        (void)atom.u16();
        (void)atom.u32();
        (void)atom.s32();
        (void)atom.u64();
        (void)atom.u16Pair();
        (void)atom.text();
        (void)atom.ipv4();
        (void)atom.ipv6();
        (void)atom.ipv4Range();
        (void)atom.ipv6Range();
        if (depth < 4) {
            walk(atom.data, depth + 1);
        }
    }
    qnFuzzCheck(reader.atEnd() != reader.hasError(), "a walk ends either at the end or on an error");
    qnFuzzCheck(reader.atEnd() == (covered == buffer.size()), "a clean walk covers the whole buffer");
}

void readUntrusted(const QByteArray& bytes) {
    walk(bytes, 0);
    QString error;
    const std::optional<QNDecodedProfile> profile = QNProfileStreamDecoder::decode(bytes, &error);
    qnFuzzCheck(profile.has_value() == error.isNull(), "a stream is decoded or rejected with a reason");
    if (profile) {
        qnFuzzCheck(!QNProfileStreamDecoder::jsonDocument(*profile).toJson().isEmpty(), "a profile renders");
    }
}

class CountingAlertPresenter : public QNAlertPresenter {
public:
    QNAlertResponse runModal(const QNAlert&) override {
        ++alerts;
        return QNAlertDefaultReturn;
    }
    int alerts = 0;
};

constexpr quint32 kNoProxyIndex = std::numeric_limits<quint32>::max();

// Draws a profile from the fuzz input together with what its compiled stream must decode to.
class ProfileSource {
public:
    explicit ProfileSource(FuzzedDataProvider& input)
        : _input(input) {}

    std::shared_ptr<QNProfile> profile(QNDecodedProfile* expected) {
        QString name;
        if (_input.ConsumeBool()) {
            // Present, even when empty: only a null name leaves the name atom out.
            name = QStringLiteral("") + text(24);
            expected->name = name;
        }
        QList<std::shared_ptr<QNProxyItem>> items;
        const int itemCount = _input.ConsumeIntegralInRange(0, 4);
        for (int i = 0; i < itemCount; ++i) {
            switch (_input.ConsumeIntegralInRange(0, 3)) {
            case 0: // a list slot without an item, skipped by the compiler
                items.append(nullptr);
                break;
            case 1:
                items.append(chain(expected));
                break;
            default: {
                QNDecodedProxyItem item;
                items.append(proxy(_input.ConsumeIntegral<quint32>(), &item.proxy));
                expected->proxies.append(item);
            }
            }
        }
        QList<std::shared_ptr<QNRule>> rules;
        const int ruleCount = _input.ConsumeIntegralInRange(0, 4);
        for (int i = 0; i < ruleCount; ++i) {
            rules.append(rule(items, expected));
        }
        QList<std::shared_ptr<QNDNS>> entries;
        const int dnsCount = _input.ConsumeIntegralInRange(0, 3);
        for (int i = 0; i < dnsCount; ++i) {
            entries.append(dns(expected));
        }
        return QNProfile::profileWithName(name, items, rules, entries, 1);
    }

    // Set when a piece of the profile was made so that compiling it must fail.
    bool mustFail() const { return _mustFail; }

private:
    QString text(size_t maximumBytes) {
        const std::string bytes = _input.ConsumeRandomLengthString(maximumBytes);
        return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    }

    // A list element holds entries separated by commas, so an entry never holds one.
    QString entryText(size_t maximumBytes) { return text(maximumBytes).replace(u',', u';'); }

    // Up to three elements of up to three entries each; the stream carries the entries in order.
    template <typename MakeEntry> QStringList list(QList<QString>* expectedEntries, MakeEntry makeEntry) {
        QStringList elements;
        const int elementCount = _input.ConsumeIntegralInRange(0, 3);
        for (int i = 0; i < elementCount; ++i) {
            QStringList pieces;
            const int pieceCount = _input.ConsumeIntegralInRange(1, 3);
            for (int j = 0; j < pieceCount; ++j) {
                pieces.append(makeEntry());
                if (expectedEntries) {
                    expectedEntries->append(pieces.last());
                }
            }
            elements.append(pieces.join(u','));
        }
        return elements;
    }

    // In-line white space the port and address parsers skip at either end of an entry.
    QString blank() {
        static const QString blanks[] = {QString(), QStringLiteral(" "), QStringLiteral("\t"), QStringLiteral("\u00A0"),
                                         QStringLiteral("\u3000")};
        return blanks[_input.ConsumeIntegralInRange<size_t>(0, std::size(blanks) - 1)];
    }

    // A number in one of the decimal digit sets, some with leading zeros.
    QString number(quint16 value) {
        static const char32_t zeros[] = {U'0', U'\u0660', U'\uFF10', U'\U0001D7CE'};
        const char32_t zero = zeros[_input.ConsumeIntegralInRange<size_t>(0, std::size(zeros) - 1)];
        const QString digits = QString(_input.ConsumeIntegralInRange(0, 2), u'0') + QString::number(value);
        QString result;
        for (QChar digit : digits) {
            const char32_t codePoint = zero + char32_t(digit.unicode() - u'0');
            result += QString::fromUcs4(&codePoint, 1);
        }
        return result;
    }

    // One port entry as typed; entries starting at port 0 write nothing. Now and then one that cannot be
    // read, which fails the whole compilation.
    QString portEntry(QList<QNDecodedPortEntry>* expected) {
        const quint16 first = _input.ConsumeIntegral<quint16>();
        const int form = _input.ConsumeIntegralInRange(0, 15);
        if (form == 0 && first != 0) {
            _mustFail = true;
            return number(first) + u'-' + number(first - 1);
        }
        if (form == 1) {
            _mustFail = true;
            return number(first) + QStringLiteral("x");
        }
        if (form < 8) {
            const quint16 last = _input.ConsumeIntegralInRange<quint16>(first, 65535);
            if (first != 0) {
                expected->append(QNDecodedPortEntry{first, last, true});
            }
            return blank() + number(first) + blank() + u'-' + blank() + number(last) + blank();
        }
        if (first != 0) {
            expected->append(QNDecodedPortEntry{first, 0, false});
        }
        return blank() + number(first) + blank();
    }

    // Ports of a proxy filter or a rule: absent when the list is empty, else the entries that write atoms.
    QStringList ports(std::optional<QList<QNDecodedPortEntry>>* expected) {
        QList<QNDecodedPortEntry> entries;
        const QStringList elements = list(nullptr, [&] { return portEntry(&entries); });
        if (!elements.isEmpty()) {
            *expected = entries;
        }
        return elements;
    }

    QNAddressWords address(bool isIPv6) {
        QNAddressWords words{};
        for (int i = isIPv6 ? 0 : 3; i < 4; ++i) {
            words[i] = _input.ConsumeIntegral<quint32>();
        }
        return words;
    }

    // Dotted quad, or eight groups written in full or in their shortest form.
    QString addressText(const QNAddressWords& words, bool isIPv6) {
        if (!isIPv6) {
            return QStringLiteral("%1.%2.%3.%4")
                .arg(words[3] >> 24)
                .arg(words[3] >> 16 & 0xFF)
                .arg(words[3] >> 8 & 0xFF)
                .arg(words[3] & 0xFF);
        }
        if (_input.ConsumeBool()) {
            unsigned char bytes[16];
            for (int i = 0; i < 16; ++i) {
                bytes[i] = static_cast<unsigned char>(words[i / 4] >> (24 - 8 * (i % 4)));
            }
            char text[INET6_ADDRSTRLEN] = {};
            inet_ntop(AF_INET6, bytes, text, sizeof text);
            return QString::fromLatin1(text);
        }
        QStringList groups;
        for (quint32 word : words) {
            groups << QString::number(word >> 16, 16) << QString::number(word & 0xFFFF, 16);
        }
        return groups.join(u':');
    }

    QString hostEntry(QList<QNDecodedHost>* expected) {
        QNDecodedHost host;
        const int kind = _input.ConsumeIntegralInRange(0, 4);
        if (kind == 4) {
            // A name: no digit and no colon, so it can never read as an address.
            QString name = entryText(16);
            for (QChar& unit : name) {
                if (unit == u':' || (unit >= u'0' && unit <= u'9')) {
                    unit = u'_';
                }
            }
            host.kind = QNDecodedHost::Name;
            host.name = name;
            expected->append(host);
            return name;
        }
        const bool isIPv6 = kind >= 2;
        const bool isRange = kind % 2 == 1;
        host.first = address(isIPv6);
        QString entry = blank() + addressText(host.first, isIPv6) + blank();
        if (isRange) {
            host.last = address(isIPv6);
            entry += u'-' + blank() + addressText(host.last, isIPv6) + blank();
        }
        // A range ending at the zero address is written as its first address alone.
        const bool writtenAsRange = isRange && host.last != QNAddressWords{};
        if (!writtenAsRange) {
            host.last = QNAddressWords{};
        }
        host.kind = isIPv6 ? (writtenAsRange ? QNDecodedHost::IPv6Range : QNDecodedHost::IPv6)
                           : (writtenAsRange ? QNDecodedHost::IPv4Range : QNDecodedHost::IPv4);
        expected->append(host);
        return entry;
    }

    // A proxy with a literal address, so compiling never asks a name server.
    std::shared_ptr<QNProxy> proxy(quint32 type, QNDecodedProxy* expected) {
        expected->name = text(16);
        expected->type = type;
        expected->hostIsIPv6 = _input.ConsumeBool();
        expected->host = address(expected->hostIsIPv6);
        expected->port = _input.ConsumeIntegral<quint16>();
        const QString user = text(8);
        const QString password = text(8);
        if (!user.isEmpty()) {
            expected->user = user;
        }
        if (!password.isEmpty()) {
            expected->password = password;
        }
        const QStringList filterPorts = ports(&expected->filterPorts);
        expected->anonymize = _input.ConsumeBool();
        const quint16 localTunnelPort = _input.ConsumeIntegral<quint16>();
        if (localTunnelPort != 0) {
            expected->localTunnelPort = localTunnelPort;
        }
        auto proxy = QNProxy::proxyWithName(expected->name, type, addressText(expected->host, expected->hostIsIPv6),
                                            expected->port, user, password, filterPorts, false, 0, QByteArray(),
                                            QString(), QByteArray(), QString(), 0);
        proxy->setAnonymizeRequests(expected->anonymize);
        proxy->setLocalTunnelPort(localTunnelPort);
        return proxy;
    }

    // Members that make a valid chain (an SSH tunnel only first, an HTTP proxy only last), or, on demand,
    // two SSH tunnels, which no chain may hold.
    std::shared_ptr<QNProxyChain> chain(QNDecodedProfile* expected) {
        QNDecodedProxyItem item;
        item.isChain = true;
        item.chainName = text(16);
        const bool invalid = _input.ConsumeIntegralInRange(0, 7) == 0;
        const int count = invalid ? 2 : _input.ConsumeIntegralInRange(0, 3);
        QList<std::shared_ptr<QNProxy>> members;
        for (int i = 0; i < count; ++i) {
            quint32 type = _input.ConsumeIntegral<quint32>();
            if (invalid) {
                type = QNProxyTypeSSHTunnel;
            } else if (type >= QNProxyTypeHTTPTransparent && type <= QNProxyTypeSSHTunnel) {
                const bool edge = i == 0 || i == count - 1;
                type = !edge ? QNProxyTypeSOCKS5 : i == 0 ? QNProxyTypeSSHTunnel : QNProxyTypeHTTPConnect;
            }
            QNDecodedProxy member;
            members.append(proxy(type, &member));
            item.members.append(member);
        }
        if (invalid) {
            _mustFail = true;
        } else {
            expected->proxies.append(item);
        }
        return QNProxyChain::proxyChainWithName(item.chainName, members, false);
    }

    std::shared_ptr<QNRule> rule(const QList<std::shared_ptr<QNProxyItem>>& items, QNDecodedProfile* expected) {
        // A disabled rule is not compiled, so a bad port in it fails nothing.
        const bool failedBefore = _mustFail;
        QNDecodedRule decoded;
        decoded.name = text(16);
        QStringList applicationEntries;
        const QStringList applications = list(&applicationEntries, [&] { return entryText(16); });
        QList<QNDecodedHost> hostEntries;
        const QStringList hosts = list(nullptr, [&] { return hostEntry(&hostEntries); });
        const QStringList ports = this->ports(&decoded.ports);
        static const quint32 actions[] = {QNRuleActionProxy, QNRuleActionDirect, QNRuleActionBlock, 0, 0x7FFFFFFF};
        decoded.action = actions[_input.ConsumeIntegralInRange<size_t>(0, std::size(actions) - 1)];

        // The proxy is one of the profile's items (its position among the items written), one from
        // elsewhere, or none.
        std::shared_ptr<QNProxyItem> target;
        quint32 position = kNoProxyIndex;
        const size_t pick = _input.ConsumeIntegralInRange<size_t>(0, size_t(items.size()) + 1);
        if (pick < size_t(items.size()) && items[qsizetype(pick)]) {
            target = items[qsizetype(pick)];
            position = quint32(std::count_if(items.begin(), items.begin() + qsizetype(pick),
                                             [](const auto& item) { return item != nullptr; }));
        } else if (pick == size_t(items.size())) {
            target = QNProxy::proxy();
        }
        if (decoded.action == QNRuleActionProxy) {
            decoded.proxyIndex = position;
        }
        if (!applications.isEmpty()) {
            decoded.applications = applicationEntries;
        }
        if (!hosts.isEmpty()) {
            decoded.hosts = hostEntries;
        }
        const bool enabled = _input.ConsumeIntegralInRange(0, 3) != 0;
        if (enabled) {
            expected->rules.append(decoded);
        } else {
            _mustFail = failedBefore;
        }
        return QNRule::ruleWithName(decoded.name, applications, hosts, ports, decoded.action, target, enabled);
    }

    std::shared_ptr<QNDNS> dns(QNDecodedProfile* expected) {
        QNDecodedDNS decoded;
        decoded.name = text(16);
        QStringList hostEntries;
        const QStringList hosts = list(&hostEntries, [&] { return entryText(16); });
        if (!hosts.isEmpty()) {
            decoded.hosts = hostEntries;
        }
        decoded.resolve = _input.ConsumeIntegral<quint32>();
        const bool enabled = _input.ConsumeIntegralInRange(0, 3) != 0;
        if (enabled) {
            expected->dns.append(decoded);
        }
        return QNDNS::dnsWithName(decoded.name, hosts, decoded.resolve, enabled);
    }

    FuzzedDataProvider& _input;
    bool _mustFail = false;
};

void compileAndDecode(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    ProfileSource source(input);
    QNDecodedProfile expected;
    const std::shared_ptr<QNProfile> profile = source.profile(&expected);

    CountingAlertPresenter presenter;
    QNProfileCompiler compiler(presenter, QNStrings::mainBundle());
    const std::optional<QByteArray> stream = compiler.profileData(profile.get());
    if (source.mustFail()) {
        qnFuzzCheck(!stream && presenter.alerts == 1, "a profile that cannot compile gives one alert and no stream");
        return;
    }
    qnFuzzCheck(stream && presenter.alerts == 0, "a valid profile compiles without an alert");

    QString error;
    const std::optional<QNDecodedProfile> decoded = QNProfileStreamDecoder::decode(*stream, &error);
    qnFuzzCheck(decoded.has_value(), "a compiled stream decodes");
    qnFuzzCheck(decoded->name == expected.name, "profile name");
    qnFuzzCheck(decoded->proxies.size() == expected.proxies.size(), "number of proxy items");
    for (qsizetype i = 0; i < expected.proxies.size(); ++i) {
        const QNDecodedProxyItem& item = decoded->proxies[i];
        const QNDecodedProxyItem& want = expected.proxies[i];
        qnFuzzCheck(item.isChain == want.isChain && item.chainName == want.chainName, "proxy item kind and name");
        qnFuzzCheck(item.proxy == want.proxy, "proxy fields");
        qnFuzzCheck(item.members == want.members, "chain members");
    }
    qnFuzzCheck(decoded->rules.size() == expected.rules.size(), "number of rules");
    for (qsizetype i = 0; i < expected.rules.size(); ++i) {
        const QNDecodedRule& rule = decoded->rules[i];
        const QNDecodedRule& want = expected.rules[i];
        qnFuzzCheck(rule.name == want.name && rule.action == want.action, "rule name and action");
        qnFuzzCheck(rule.applications == want.applications, "rule applications");
        qnFuzzCheck(rule.hosts == want.hosts, "rule hosts");
        qnFuzzCheck(rule.ports == want.ports, "rule ports");
        qnFuzzCheck(rule.proxyIndex == want.proxyIndex, "rule proxy position");
    }
    qnFuzzCheck(decoded->dns == expected.dns, "DNS entries");
    qnFuzzCheck(*decoded == expected, "the whole profile");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    if ((data[0] & 1) == 0) {
        readUntrusted(QByteArray(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1)));
    } else {
        compileAndDecode(data + 1, size - 1);
    }
    return 0;
}
