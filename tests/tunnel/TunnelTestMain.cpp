#include "tunnel/QNSSHTunnelServer.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>

// Tunnel tests need an event loop for the sessions' messages and libssh set up once for the process, as
// the agent does.
int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    QNSSHTunnelServer::init();
    const int result = RUN_ALL_TESTS();
    QNSSHTunnelServer::destroy();
    return result;
}
