#include "support/QNFakeLogind.h"

#include "platform/QNLogindSessionMonitor.h"
#include "support/QNTestWait.h"

#include <gtest/gtest.h>

namespace {

struct LogindMonitorTest : ::testing::TestWithParam<bool> {
    QNFakeLogind logind{"fake-logind", GetParam()};
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "monitor");
    QNLogindSessionMonitor monitor{bus};
    QStringList events;

    void SetUp() override {
        ASSERT_TRUE(bus.isConnected()) << "the tests need a session bus (dbus-run-session)";
        ASSERT_TRUE(logind.isValid());
        monitor.startObserving([this] { events << "active"; }, [this] { events << "resigned"; });
    }
    void TearDown() override {
        monitor.stopObserving();
        QDBusConnection::disconnectFromBus("monitor");
    }
};

TEST_P(LogindMonitorTest, ReportsChangesOfTheOwnSession) {
    EXPECT_EQ(monitor.sessionPath(), logind.sessionPath());

    logind.setActive(false);
    logind.announce(true);
    ASSERT_TRUE(qnWaitUntil([&] { return events.size() == 1; }));
    EXPECT_EQ(events.last(), "resigned");

    // The same state again is no change; a value announced only as invalidated is read back.
    logind.announce(true);
    logind.setActive(true);
    logind.announce(false);
    ASSERT_TRUE(qnWaitUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events, (QStringList{"resigned", "active"}));

    // After stopping nothing more is reported; a second monitor proves the signal went out.
    monitor.stopObserving();
    QNLogindSessionMonitor witness(bus);
    bool witnessed = false;
    witness.startObserving([] {}, [&] { witnessed = true; });
    logind.setActive(false);
    logind.announce(true);
    ASSERT_TRUE(qnWaitUntil([&] { return witnessed; }));
    EXPECT_EQ(events.size(), 2);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutManager, LogindMonitorTest, ::testing::Bool());

TEST(LogindMonitor, WithoutABusThereAreNoEvents) {
    QNLogindSessionMonitor monitor(QDBusConnection("never-connected"));
    monitor.startObserving([] { FAIL(); }, [] { FAIL(); });
    EXPECT_TRUE(monitor.sessionPath().isEmpty());
    monitor.stopObserving();
}

} // namespace
