// The program lookup: the connect hook's records, read through the kernel's socket table, against real
// processes, and the /proc search the engine falls back to, on a made-up /proc and on the real one. The
// kernel cases need root and a kernel that loads the hook; they are skipped otherwise.

#include "engine/QNConnectHook.h"
#include "engine/QNOwnerSearch.h"
#include "engine/QNSocketOwner.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kWatchedUser = 65534;
constexpr uid_t kOtherUser = 65533;

TEST(ConnectHookText, FindsTheCgroup2MountAmongOthers) {
    const QByteArray hybrid = "25 1 0:23 / /sys/fs/cgroup ro,nosuid shared:9 - tmpfs tmpfs ro,mode=755\n"
                              "26 25 0:24 / /sys/fs/cgroup/unified rw,nosuid shared:10 - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(QNConnectHook::cgroup2Root(hybrid), QStringLiteral("/sys/fs/cgroup/unified"));
    // No optional fields, and a mount point with an escaped space.
    EXPECT_EQ(QNConnectHook::cgroup2Root("30 1 0:26 / /run/my\\040cgroups rw - cgroup2 none rw\n"),
              QStringLiteral("/run/my cgroups"));
    for (const QByteArray& garbage :
         {QByteArray(), QByteArray("\n\n - cgroup2\n"), QByteArray("1 2 3 4 5 6 - ext4 /dev/sda rw\n"),
          QByteArray("1 2 3 4 /x\\07 6 - cgroup1 none rw"), QByteArray(4096, '-')}) {
        EXPECT_TRUE(QNConnectHook::cgroup2Root(garbage).isEmpty()) << garbage.left(60).constData();
    }
}

TEST(ConnectHookText, JoinsTheKernelsNamesLeafFirst) {
    const char names[] = "curl\0bin\0usr"; // the array's own NUL ends the last name
    EXPECT_EQ(QNConnectHook::joinPath(names, sizeof names, true), QStringLiteral("/usr/bin/curl"));
    EXPECT_EQ(QNConnectHook::joinPath("init", 5, true), QStringLiteral("/init"));
    EXPECT_TRUE(QNConnectHook::joinPath(names, sizeof names, false).isEmpty());    // cut short in the kernel
    EXPECT_TRUE(QNConnectHook::joinPath(names, sizeof names - 1, true).isEmpty()); // last name unended
    EXPECT_TRUE(QNConnectHook::joinPath("a\0\0b", 5, true).isEmpty());             // an empty name
    EXPECT_TRUE(QNConnectHook::joinPath("", 0, true).isEmpty());
}

// A TCP listener on loopback, and the endpoints of connections accepted from it.
class Listener {
public:
    explicit Listener(bool ipv6)
        : _ipv6(ipv6) {
        _fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        socklen_t length = 0;
        if (ipv6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            length = sizeof *in6;
        } else {
            auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
            in4->sin_family = AF_INET;
            in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *in4;
        }
        ::bind(_fd, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(_fd, 16);
        ::getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &length);
        _port = QNEngineTarget::fromSocketAddress(address)->port;
    }
    ~Listener() { ::close(_fd); }

    QString bashTarget() const {
        return QStringLiteral("/dev/tcp/%1/%2")
            .arg(_ipv6 ? QStringLiteral("::1") : QStringLiteral("127.0.0.1"))
            .arg(_port);
    }

    // The accepted connection's two ends as the connecting program's socket has them: (its own, ours).
    std::pair<QNEngineTarget, QNEngineTarget> accept(int* fd) const {
        sockaddr_storage peer{};
        sockaddr_storage local{};
        socklen_t length = sizeof peer;
        *fd = ::accept4(_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        length = sizeof local;
        ::getsockname(*fd, reinterpret_cast<sockaddr*>(&local), &length);
        return {QNEngineTarget::fromSocketAddress(peer).value_or(QNEngineTarget()),
                QNEngineTarget::fromSocketAddress(local).value_or(QNEngineTarget())};
    }

private:
    bool _ipv6;
    int _fd = -1;
    quint16 _port = 0;
};

// Runs program with bash's script as uid; the script gets its connection target as $1.
pid_t spawnAs(uid_t uid, const QString& program, const QString& script, const QString& target, int* input) {
    int pipes[2];
    if (::pipe2(pipes, O_CLOEXEC) < 0) {
        return -1;
    }
    const QByteArray file = QFile::encodeName(program);
    const QByteArray code = script.toUtf8();
    const QByteArray argument = target.toUtf8();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipes[0], STDIN_FILENO);
        if (::setgid(uid) < 0 || ::setuid(uid) < 0) {
            ::_exit(111);
        }
        ::execl(file.constData(), "bash", "-c", code.constData(), "bash", argument.constData(), nullptr);
        ::_exit(112);
    }
    ::close(pipes[0]);
    *input = pipes[1];
    return pid;
}

class ConnectHookTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root";
        }
        QString error;
        _hook = QNConnectHook::load(&error);
        if (!_hook) {
            GTEST_SKIP() << "the connect hook cannot load here: " << error.toStdString();
        }
        ASSERT_TRUE(_hook->watch({kWatchedUser}));
        _owners.useHook(_hook.get());
    }

    std::unique_ptr<QNConnectHook> _hook;
    QNSocketOwner _owners;
    const QString _bash = QFileInfo(QStringLiteral("/bin/bash")).canonicalFilePath();
};

TEST_F(ConnectHookTest, KnowsAProgramThatExitedRightAfterConnecting) {
    for (const bool ipv6 : {false, true}) {
        SCOPED_TRACE(ipv6 ? "IPv6" : "IPv4");
        Listener listener(ipv6);
        int input = -1;
        const pid_t pid = spawnAs(kWatchedUser, _bash, QStringLiteral("exec 3<>\"$1\""), listener.bashTarget(), &input);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_EQ(status, 0);
        ::close(input);
        // The program is gone, its socket closed: only what the hook recorded can say who it was.
        int fd = -1;
        const auto [program, us] = listener.accept(&fd);
        EXPECT_EQ(_owners.executableOf(program, us, kWatchedUser), _bash);
        // A record is used once, and only for its own user.
        EXPECT_EQ(_owners.executableOf(program, us, kWatchedUser), std::nullopt);
        ::close(fd);
    }
}

TEST_F(ConnectHookTest, LeavesOtherUsersAndOtherUsersRecordsAlone) {
    Listener listener(false);
    for (const uid_t uid : {kOtherUser, kWatchedUser}) {
        int input = -1;
        const pid_t pid =
            spawnAs(uid, _bash, QStringLiteral("exec 3<>\"$1\"; read -r _"), listener.bashTarget(), &input);
        int fd = -1;
        const auto [program, us] = listener.accept(&fd);
        // An unwatched user is never recorded; a watched one's record is not given out for another user.
        EXPECT_EQ(_owners.executableOf(program, us, uid == kOtherUser ? uid : kOtherUser), std::nullopt);
        ::close(input);
        ::waitpid(pid, nullptr, 0);
        ::close(fd);
    }
}

// The programs on the connect calls of the cgroup2 root (other engines' too, when tests run side by side).
QList<quint32> attachedPrograms() {
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    const QString root = mounts.open(QIODevice::ReadOnly) ? QNConnectHook::cgroup2Root(mounts.readAll()) : QString();
    const int cgroup = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QList<quint32> ids;
    for (const bpf_attach_type type : {BPF_CGROUP_INET4_CONNECT, BPF_CGROUP_INET6_CONNECT}) {
        __u32 found[256];
        __u32 count = 256;
        if (bpf_prog_query(cgroup, type, 0, nullptr, found, &count) == 0) {
            ids.append(QList<quint32>(found, found + count));
        }
    }
    ::close(cgroup);
    return ids;
}

bool anyAttached(const QList<quint32>& ids) {
    const QList<quint32> attached = attachedPrograms();
    return std::any_of(ids.begin(), ids.end(), [&](quint32 id) { return attached.contains(id); });
}

TEST_F(ConnectHookTest, IsGoneWithItsOwnerEvenAfterKill9) {
    const QList<quint32> ours = _hook->programIds();
    ASSERT_EQ(ours.size(), 2);
    for (const quint32 id : ours) {
        EXPECT_TRUE(attachedPrograms().contains(id)) << id;
    }
    _owners.useHook(nullptr);
    _hook.reset();
    EXPECT_FALSE(anyAttached(ours));
    // A process that attached it and was killed takes it along.
    int pipes[2];
    ASSERT_EQ(::pipe(pipes), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        QString error;
        const std::unique_ptr<QNConnectHook> hook = QNConnectHook::load(&error);
        const QList<quint32> ids = hook ? hook->programIds() : QList<quint32>();
        const quint32 sent[2] = {ids.value(0), ids.value(1)};
        ::write(pipes[1], sent, sizeof sent);
        ::pause();
        ::_exit(0);
    }
    quint32 theirs[2] = {};
    ASSERT_EQ(::read(pipes[0], theirs, sizeof theirs), ssize_t(sizeof theirs));
    const QList<quint32> killed{theirs[0], theirs[1]};
    EXPECT_TRUE(attachedPrograms().contains(theirs[0]) && attachedPrograms().contains(theirs[1]));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    // Links are released as the process's descriptors close; the kernel frees them shortly after.
    for (int attempt = 0; attempt < 100 && anyAttached(killed); ++attempt) {
        ::usleep(20000);
    }
    EXPECT_FALSE(anyAttached(killed));
    ::close(pipes[0]);
    ::close(pipes[1]);
}

TEST_F(ConnectHookTest, FollowsThePathAcrossMounts) {
    // A copy of bash on a file system of its own, mounted below the temporary folder.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QByteArray mountPoint = QFile::encodeName(folder.path() + QStringLiteral("/mounted"));
    ASSERT_TRUE(QDir().mkpath(QFile::decodeName(mountPoint)));
    if (::mount("quillon-test", mountPoint.constData(), "tmpfs", 0, "mode=0755") < 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const QString copy = QFile::decodeName(mountPoint) + QStringLiteral("/deeper/bash");
    QDir().mkpath(QFileInfo(copy).path());
    ASSERT_TRUE(QFile::copy(_bash, copy));
    QFile::setPermissions(copy, QFile::permissions(_bash));
    ::chmod(QFile::encodeName(folder.path()).constData(), 0755);

    Listener listener(false);
    int input = -1;
    const pid_t pid =
        spawnAs(kWatchedUser, copy, QStringLiteral("exec 3<>\"$1\"; read -r _"), listener.bashTarget(), &input);
    int fd = -1;
    const auto [program, us] = listener.accept(&fd);
    EXPECT_EQ(_owners.executableOf(program, us, kWatchedUser), QFileInfo(copy).canonicalFilePath());
    ::close(input);
    ::waitpid(pid, nullptr, 0);
    ::close(fd);
    ::umount2(mountPoint.constData(), MNT_DETACH);
}

TEST(SocketOwnerScan, FindsALiveProgramAmongTheUsersProcesses) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    const QString bash = QFileInfo(QStringLiteral("/bin/bash")).canonicalFilePath();
    QNSocketOwner owners; // no hook: /proc
    Listener listener(true);
    int input = -1;
    const pid_t pid =
        spawnAs(kWatchedUser, bash, QStringLiteral("exec 3<>\"$1\"; read -r _"), listener.bashTarget(), &input);
    int fd = -1;
    const auto [program, us] = listener.accept(&fd);
    EXPECT_EQ(owners.executableOf(program, us, kWatchedUser), bash);
    EXPECT_EQ(owners.executableOf(program, us, kOtherUser), std::nullopt);
    ::close(input);
    ::waitpid(pid, nullptr, 0);
    ::close(fd);
}

// A made-up /proc: processes of ours holding sockets, by their descriptors' links.
class FakeProc {
public:
    FakeProc() { EXPECT_TRUE(_folder.isValid()); }
    QString root() const { return _folder.path(); }

    void process(int pid, const QString& executable, const QList<quint64>& sockets) {
        const QString base = root() + QLatin1Char('/') + QString::number(pid);
        QDir().mkpath(base + QStringLiteral("/fd"));
        QFile::link(executable, base + QStringLiteral("/exe"));
        int fd = 3;
        QFile::link(QStringLiteral("pipe:[1]"), base + QStringLiteral("/fd/0"));
        for (const quint64 inode : sockets) {
            QFile::link(QStringLiteral("socket:[%1]").arg(inode), base + QStringLiteral("/fd/%1").arg(fd++));
        }
    }

private:
    QTemporaryDir _folder;
};

TEST(SocketOwnerScan, FindsTheHolderOfASocketAmongMadeUpProcesses) {
    FakeProc proc;
    proc.process(100, QStringLiteral("/usr/bin/older"), {11, 12});
    proc.process(200, QStringLiteral("/opt/app/bin/newer (deleted)"), {21});
    QDir().mkpath(proc.root() + QStringLiteral("/self")); // not a process
    QNSocketOwner owners(proc.root());
    const quint32 uid = ::geteuid();
    EXPECT_EQ(owners.executableOf(12, uid), QStringLiteral("/usr/bin/older"));
    // Replaced on disk since it started: still that program.
    EXPECT_EQ(owners.executableOf(21, uid), QStringLiteral("/opt/app/bin/newer"));
    EXPECT_EQ(owners.executableOf(99, uid), std::nullopt);
    EXPECT_EQ(owners.executableOf(11, uid + 1), std::nullopt); // not that user's process
    // A remembered owner that has gone is not believed.
    QDir(proc.root() + QStringLiteral("/100")).removeRecursively();
    EXPECT_EQ(owners.executableOf(11, uid), std::nullopt);
}

TEST(OwnerSearch, AnswersOnTheEventLoopAndNeverToAContextThatIsGone) {
    int argc = 0;
    QCoreApplication application(argc, nullptr);
    FakeProc proc;
    proc.process(300, QStringLiteral("/usr/bin/searched"), {31});
    QNOwnerSearch search(proc.root());
    std::optional<std::optional<QString>> answer;
    QObject context;
    search.find(31, ::geteuid(), &context, [&](std::optional<QString> executable) { answer = executable; });
    EXPECT_FALSE(answer.has_value()); // never before the event loop has run
    const QDeadlineTimer deadline(10000);
    while (!answer && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, QStringLiteral("/usr/bin/searched"));

    bool called = false;
    auto gone = std::make_unique<QObject>();
    search.find(31, ::geteuid(), gone.get(), [&](std::optional<QString>) { called = true; });
    gone.reset();
    search.waitForDone();
    QCoreApplication::processEvents();
    EXPECT_FALSE(called);
}

} // namespace
