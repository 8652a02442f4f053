#include <QCoreApplication>

#include <gtest/gtest.h>

// Test programs run with a core application so event loops, sockets and timers work.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
