#include "platform/QNAgentLock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The lock is one per folder, and a folder others could reach is never trusted with it.
TEST(AgentLock, OneHolderPerFolderInAFolderClosedToOthers) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString folder = root.filePath("quillon");
    QString message;

    auto first = std::make_unique<QNAgentLock>();
    ASSERT_EQ(first->acquire(folder, &message), QNAgentLock::Result::Acquired) << message.toStdString();
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);

    QNAgentLock second;
    EXPECT_EQ(second.acquire(folder, &message), QNAgentLock::Result::HeldByAnother);
    EXPECT_EQ(message, QStringLiteral("process %1").arg(::getpid()));
    first.reset();
    EXPECT_EQ(second.acquire(folder, &message), QNAgentLock::Result::Acquired);

    const QString open = root.filePath("open");
    ASSERT_TRUE(QDir().mkdir(open));
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0755), 0);
    const QString link = root.filePath("link");
    ASSERT_TRUE(QFile::link(folder, link));
    for (const QString& refused : {open, link}) {
        QNAgentLock lock;
        EXPECT_EQ(lock.acquire(refused, &message), QNAgentLock::Result::Failed) << refused.toStdString();
        EXPECT_TRUE(message.contains(refused)) << message.toStdString();
    }
}

} // namespace
