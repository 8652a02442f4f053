#include "engine/QNNftRuleset.h"

#include "support/QNTestProcess.h"

#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

constexpr quint32 kMark = 0x514E7843;

// nft's own check of a text, in a network namespace of its own so nothing on this machine is touched.
// Empty when nft accepted it; nullopt when it cannot be asked here.
std::optional<QByteArray> nftRefusal(const QString& text) {
    if (::geteuid() != 0 || !qnHaveProgram(QStringLiteral("nft")) || !qnHaveProgram(QStringLiteral("unshare"))) {
        return std::nullopt;
    }
    QTemporaryFile file;
    if (!file.open()) {
        return std::nullopt;
    }
    file.write(text.toUtf8());
    file.flush();
    const QNTestProcessResult result =
        qnRunProcess(QStringLiteral("unshare"),
                     {QStringLiteral("--net"), QStringLiteral("nft"), QStringLiteral("-f"), file.fileName()});
    if (!result.started) {
        return std::nullopt;
    }
    return result.exitCode == 0 ? QByteArray()
                                : result.standardError + "(exit " + QByteArray::number(result.exitCode) + ")";
}

} // namespace

TEST(NftRuleset, RedirectsEachUserToItsPortBehindTheExemptions) {
    const QString text = QNNftRuleset::replaceText({{1000, 40001}, {65534, 40002}}, kMark);
    // The old table goes in the same batch that brings the new one.
    EXPECT_LT(text.indexOf(QStringLiteral("delete table inet quillon")), text.indexOf(QStringLiteral("chain output")));
    const qsizetype mark = text.indexOf(QStringLiteral("meta mark 0x514e7843 return"));
    const qsizetype loopback4 = text.indexOf(QStringLiteral("ip daddr 127.0.0.0/8 return"));
    const qsizetype loopback6 = text.indexOf(QStringLiteral("ip6 daddr ::1 return"));
    const qsizetype first =
        text.indexOf(QStringLiteral("meta skuid 1000 tcp flags & (fin | syn | rst | ack) == syn redirect to :40001"));
    const qsizetype second =
        text.indexOf(QStringLiteral("meta skuid 65534 tcp flags & (fin | syn | rst | ack) == syn redirect to :40002"));
    for (const qsizetype position : {mark, loopback4, loopback6, first, second}) {
        EXPECT_GE(position, 0) << text.toStdString();
    }
    // Exemptions come before any redirect, or the engine's own connections would come back to it.
    EXPECT_LT(qMax(mark, qMax(loopback4, loopback6)), qMin(first, second));
}

// Name queries are taken before the loopback exemption, so a stub resolver on 127.0.0.53 is no way round;
// QUIC is refused for intercepted users only.
TEST(NftRuleset, NameQueriesAndQUICOfInterceptedUsers) {
    const QString text = QNNftRuleset::replaceText({{1000, 40001}}, kMark, {{1000, 40053}, {2000, 40054}});
    const qsizetype mark = text.indexOf(QStringLiteral("meta mark 0x514e7843 return"));
    const qsizetype dns =
        text.indexOf(QStringLiteral("meta skuid 1000 meta l4proto { tcp, udp } th dport 53 redirect to :40053"));
    const qsizetype loopback = text.indexOf(QStringLiteral("ip daddr 127.0.0.0/8 return"));
    EXPECT_GE(mark, 0);
    EXPECT_LT(mark, dns);
    EXPECT_LT(dns, loopback);
    EXPECT_FALSE(text.contains(QStringLiteral("skuid 2000"))) << "a DNS port for a user not intercepted";
    EXPECT_TRUE(text.contains(QStringLiteral("meta skuid 1000 udp dport 443 reject")));
    const std::optional<QByteArray> refusal = nftRefusal(text);
    if (refusal) {
        EXPECT_TRUE(refusal->isEmpty()) << refusal->data();
    }
}

TEST(NftRuleset, NoUsersMeansNoTable) {
    const QString text = QNNftRuleset::replaceText({}, kMark);
    EXPECT_EQ(text, QNNftRuleset::deleteText());
    EXPECT_FALSE(text.contains(QLatin1Char('{')));
}

// nft itself accepts every text, whether or not the table exists beforehand.
TEST(NftRuleset, NftAcceptsTheTexts) {
    const QString tables[] = {
        QNNftRuleset::deleteText(),
        QNNftRuleset::replaceText({{0, 1}, {4294967294u, 65535}}, kMark),
        QNNftRuleset::replaceText({{1000, 40001}}, kMark) + QNNftRuleset::replaceText({{1001, 40002}}, kMark) +
            QNNftRuleset::deleteText(),
    };
    for (const QString& text : tables) {
        const std::optional<QByteArray> refusal = nftRefusal(text);
        if (!refusal) {
            GTEST_SKIP() << "needs root, nft and unshare to let nft check the tables in a network namespace";
        }
        EXPECT_TRUE(refusal->isEmpty()) << refusal->data() << "\n" << text.toStdString();
    }
}
