#include "engine/QNEngineAgents.h"

#include <gtest/gtest.h>

namespace {

QNDecodedProfile named(const char* name) {
    QNDecodedProfile profile;
    profile.name = QString::fromLatin1(name);
    return profile;
}

QString profileName(const QNEngineAgents& agents, quint32 uid) {
    const QNDecodedProfile* profile = agents.profile(uid);
    return profile != nullptr ? profile->name.value_or(QString()) : QStringLiteral("<none>");
}

} // namespace

// Two agents of one user and one of another: the newest profile of a user wins, an empty one or the last
// agent leaving ends that user's interception, and the other user is never affected.
TEST(EngineAgents, OneProfilePerUserUntilItsLastAgentLeaves) {
    QNEngineAgents agents;
    agents.add(1, 1000);
    agents.add(2, 1000);
    agents.add(3, 2000);
    EXPECT_TRUE(agents.interceptedUids().isEmpty());

    EXPECT_TRUE(agents.setProfile(1, named("a")));
    EXPECT_FALSE(agents.setProfile(2, named("b"))); // same users, newer profile
    EXPECT_EQ(profileName(agents, 1000), "b");
    EXPECT_TRUE(agents.setProfile(3, named("c")));
    EXPECT_EQ(agents.interceptedUids(), (QList<quint32>{1000, 2000}));

    EXPECT_FALSE(agents.remove(2)); // agent 1 still serves user 1000
    EXPECT_EQ(profileName(agents, 1000), "b");
    EXPECT_TRUE(agents.remove(1));
    EXPECT_EQ(profileName(agents, 1000), "<none>");
    EXPECT_EQ(profileName(agents, 2000), "c");

    EXPECT_TRUE(agents.setProfile(3, std::nullopt));
    EXPECT_FALSE(agents.setProfile(3, std::nullopt));
    EXPECT_TRUE(agents.interceptedUids().isEmpty());
    // Unknown agents change nothing.
    EXPECT_FALSE(agents.setProfile(9, named("x")));
    EXPECT_FALSE(agents.remove(9));
    EXPECT_TRUE(agents.interceptedUids().isEmpty());
}

TEST(EngineAgents, LoggingIsPerAgent) {
    QNEngineAgents agents;
    agents.add(1, 1000);
    agents.add(2, 1000);
    agents.setLogging(2, true);
    EXPECT_FALSE(agents.isLogging(1));
    EXPECT_TRUE(agents.isLogging(2));
    EXPECT_EQ(agents.agentsOf(1000), (QList<QNEngineAgents::AgentId>{1, 2}));
    agents.remove(2);
    agents.add(2, 1000); // a new agent reusing a number starts without logging
    EXPECT_FALSE(agents.isLogging(2));
}
