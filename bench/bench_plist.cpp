// How fast the preference file is read and written near the size the reader still accepts: a domain of
// 2,000 profile-like dictionaries and one list of 1,000,000 numbers, about 1.4 million values in all.

#include "platform/QNPlistCodec.h"

#include <QVariantList>
#include <QVariantMap>

#include <benchmark/benchmark.h>

namespace {

const QVariantMap& domain() {
    static const QVariantMap value = [] {
        QVariantList profiles;
        for (int index = 0; index < 2000; ++index) {
            const QVariantMap rule{{QStringLiteral("name"), QStringLiteral("Office")},
                                   {QStringLiteral("hosts"), QVariantList{QStringLiteral("*.example.net")}},
                                   {QStringLiteral("action"), qint64(1)},
                                   {QStringLiteral("enabled"), true}};
            profiles.append(QVariantMap{{QStringLiteral("identifier"), qint64(index + 1)},
                                        {QStringLiteral("name"), QStringLiteral("Profile %1").arg(index)},
                                        {QStringLiteral("rules"), QVariantList(20, rule)}});
        }
        QVariantList numbers;
        numbers.reserve(1000000);
        for (int index = 0; index < 1000000; ++index) {
            numbers.append(qint64(index));
        }
        return QVariantMap{{QStringLiteral("profiles"), profiles}, {QStringLiteral("numbers"), numbers}};
    }();
    return value;
}

void read(benchmark::State& state, QNPlistCodec::Format format) {
    const QByteArray data = *QNPlistCodec::dataWithPropertyList(domain(), format);
    for (auto _ : state) {
        benchmark::DoNotOptimize(QNPlistCodec::dictionaryWithData(data));
    }
    state.SetBytesProcessed(state.iterations() * data.size());
}

// The agent and the settings tool write XML only.
void write(benchmark::State& state, QNPlistCodec::Format format) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(QNPlistCodec::dataWithPropertyList(domain(), format));
    }
}

} // namespace

BENCHMARK_CAPTURE(read, xml, QNPlistCodec::Format::XML)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(read, binary, QNPlistCodec::Format::Binary)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(write, xml, QNPlistCodec::Format::XML)->Unit(benchmark::kMillisecond);
