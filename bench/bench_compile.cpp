// Compiles a large profile into its atom stream: 100 proxies with literal addresses (no name lookups),
// a few chains, and 10,000 rules mixing addresses, ranges, host names, applications and ports.
#include "kernel/QNProfileCompiler.h"
#include "kernel/QNProfileStreamDecoder.h"
#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "util/QNAlertPresenter.h"
#include "util/QNStrings.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

namespace {

class AbortingAlertPresenter : public QNAlertPresenter {
public:
    QNAlertResponse runModal(const QNAlert&) override { std::abort(); }
};

std::shared_ptr<QNProxy> makeProxy(int i, quint32 type) {
    const QString host =
        i % 4 == 0 ? QStringLiteral("2001:db8::%1").arg(i, 0, 16) : QStringLiteral("192.0.2.%1").arg(i % 250 + 1);
    auto proxy = QNProxy::proxyWithName(QStringLiteral("proxy %1").arg(i), type, host, quint16(1080 + i),
                                        i % 3 == 0 ? QStringLiteral("user") : QString(),
                                        i % 3 == 0 ? QStringLiteral("secret") : QString(),
                                        {QStringLiteral("80, 443"), QStringLiteral("8000-8080")}, i % 2 == 0, 0,
                                        QByteArray(), QString(), QByteArray(), QString(), 0);
    return proxy;
}

std::shared_ptr<QNProfile> largeProfile(int proxyCount, int ruleCount) {
    QList<std::shared_ptr<QNProxyItem>> items;
    for (int i = 0; i < proxyCount; ++i) {
        items.append(makeProxy(i, quint32(i % 6 + 1)));
    }
    for (int i = 0; i < 5; ++i) {
        items.append(QNProxyChain::proxyChainWithName(
            QStringLiteral("chain %1").arg(i),
            {makeProxy(1000 + i, QNProxyTypeSOCKS5), makeProxy(2000 + i, QNProxyTypeHTTPConnect)}, true));
    }
    QList<std::shared_ptr<QNRule>> rules;
    for (int i = 0; i < ruleCount; ++i) {
        QStringList hosts;
        switch (i % 5) {
        case 0:
            hosts << QStringLiteral("10.%1.%2.1").arg(i / 256 % 256).arg(i % 256);
            break;
        case 1:
            hosts << QStringLiteral("10.%1.0.0-10.%1.255.255").arg(i % 256);
            break;
        case 2:
            hosts << QStringLiteral("fd00::%1").arg(i, 0, 16) << QStringLiteral("fd00::-fdff::");
            break;
        case 3:
            hosts << QStringLiteral("host%1.example.com,*.example.org").arg(i);
            break;
        default:
            break;
        }
        const QStringList ports =
            i % 2 == 0 ? QStringList{QStringLiteral("80, 443"), QStringLiteral("1000-2000")} : QStringList{};
        const QStringList applications = i % 7 == 0 ? QStringList{QStringLiteral("firefox,chromium")} : QStringList{};
        const quint32 action = quint32(i % 3 + 1);
        rules.append(QNRule::ruleWithName(QStringLiteral("rule %1").arg(i), applications, hosts, ports, action,
                                          action == 1 ? items[i % items.size()] : nullptr, i % 10 != 9));
    }
    QList<std::shared_ptr<QNDNS>> dns{
        QNDNS::dnsWithName(QStringLiteral("intranet"), {QStringLiteral("corp.example, intranet")}, 0, true),
        QNDNS::dnsWithName(QStringLiteral("default"), {}, 1, true)};
    return QNProfile::profileWithName(QStringLiteral("Large"), items, rules, dns, 1);
}

void BM_CompileLargeProfile(benchmark::State& state) {
    const auto profile = largeProfile(int(state.range(0)), int(state.range(1)));
    AbortingAlertPresenter presenter;
    QNProfileCompiler compiler(presenter, QNStrings::mainBundle());
    qsizetype bytes = 0;
    for (auto _ : state) {
        const std::optional<QByteArray> stream = compiler.profileData(profile.get());
        if (!stream) {
            state.SkipWithError("compilation failed");
            break;
        }
        bytes = stream->size();
        benchmark::DoNotOptimize(stream->constData());
    }
    state.counters["stream_bytes"] = double(bytes);
    state.SetBytesProcessed(qint64(state.iterations()) * bytes);
}
BENCHMARK(BM_CompileLargeProfile)->Args({100, 10000})->Unit(benchmark::kMillisecond);

void BM_DecodeLargeProfile(benchmark::State& state) {
    const auto profile = largeProfile(100, 10000);
    AbortingAlertPresenter presenter;
    QNProfileCompiler compiler(presenter, QNStrings::mainBundle());
    const QByteArray stream = *compiler.profileData(profile.get());
    for (auto _ : state) {
        const std::optional<QNDecodedProfile> decoded = QNProfileStreamDecoder::decode(stream);
        if (!decoded) {
            state.SkipWithError("decoding failed");
            break;
        }
        benchmark::DoNotOptimize(decoded->rules.size());
    }
    state.counters["stream_bytes"] = double(stream.size());
    state.SetBytesProcessed(qint64(state.iterations()) * stream.size());
}
BENCHMARK(BM_DecodeLargeProfile)->Unit(benchmark::kMillisecond);

} // namespace
