// How long the engine takes to find the program behind one connection. Processes of one user (47199 when
// run as root, so the machine's own processes stay out of it) each hold 100 open sockets; one of them opens a
// TCP connection to this process for each round.
//
// "hook" is the engine's way when its eBPF connect hook loads (root only): sock_diag for the socket's cookie,
// then the hook's record of it. The others are the /proc fallback: sock_diag for the socket's inode, then the
// user's processes. "newest" is the last process started (found first), "oldest" the first (every other
// process is scanned before it), "again" a process that already owned a connection.

#include "engine/QNConnectHook.h"
#include "engine/QNSocketOwner.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kBenchUser = 47199;
constexpr int kDescriptors = 100;

struct Child {
    pid_t pid = -1;
    int control = -1; // a byte written here makes the child connect once
};

int listener(quint16* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 1024);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

Child spawn(quint16 port) {
    int pipes[2];
    if (::pipe(pipes) < 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipes[1]);
        if (::geteuid() == 0 && (::setgid(kBenchUser) < 0 || ::setuid(kBenchUser) < 0)) {
            ::_exit(1);
        }
        for (int index = 0; index < kDescriptors; ++index) {
            ::socket(AF_INET, SOCK_DGRAM, 0);
        }
        std::vector<int> connections;
        char byte = 0;
        while (::read(pipes[0], &byte, 1) == 1) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(port);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            connections.push_back(fd);
            if (connections.size() > 1) {
                ::close(connections.front());
                connections.erase(connections.begin());
            }
        }
        ::_exit(0);
    }
    ::close(pipes[0]);
    return Child{pid, pipes[1]};
}

QNEngineTarget endpoint(const sockaddr_in& address) {
    QNEngineTarget target;
    target.address = {0, 0, 0, ntohl(address.sin_addr.s_addr)};
    target.port = ntohs(address.sin_port);
    return target;
}

void lookups(benchmark::State& state, int which) {
    const uid_t uid = ::geteuid() == 0 ? kBenchUser : ::geteuid();
    std::unique_ptr<QNConnectHook> hook;
    if (which == 3) {
        QString error;
        hook = QNConnectHook::load(&error);
        if (!hook || !hook->watch({quint32(uid)})) {
            state.SkipWithError(qPrintable(QStringLiteral("no connect hook: %1").arg(error)));
            return;
        }
    }
    quint16 port = 0;
    const int server = listener(&port);
    std::vector<Child> children;
    for (int index = 0; index < state.range(0); ++index) {
        children.push_back(spawn(port));
    }
    const Child& owner = which == 0 || which == 3 ? children.back() : children.front();
    std::optional<QNSocketOwner> owners;
    owners.emplace();
    owners->useHook(hook.get());
    // One connection's lookup; its time is what the round measures.
    const auto lookup = [&]() -> std::pair<bool, double> {
        ::write(owner.control, "c", 1);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int accepted = ::accept(server, reinterpret_cast<sockaddr*>(&peer), &length);
        sockaddr_in local{};
        length = sizeof local;
        ::getsockname(accepted, reinterpret_cast<sockaddr*>(&local), &length);
        if (which == 0 || which == 1) {
            owners.emplace(); // no process known yet
        }
        const auto start = std::chrono::steady_clock::now();
        const bool known = owners->executableOf(endpoint(peer), endpoint(local), uid).has_value();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ::close(accepted);
        return {known, seconds};
    };
    if (which == 2) {
        lookup(); // the owner becomes a recent one
    }
    int found = 0;
    for (auto _ : state) {
        const auto [known, seconds] = lookup();
        found += known ? 1 : 0;
        state.SetIterationTime(seconds);
    }
    state.counters["found"] = benchmark::Counter(found, benchmark::Counter::kAvgIterations);
    // Each child holds the control pipes of those started before it, so none sees an end: kill them.
    for (const Child& child : children) {
        ::close(child.control);
        ::kill(child.pid, SIGKILL);
        ::waitpid(child.pid, nullptr, 0);
    }
    ::close(server);
}

} // namespace

BENCHMARK_CAPTURE(lookups, hook, 3)->Arg(10)->Arg(100)->Arg(300)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(lookups, newest, 0)->Arg(10)->Arg(100)->Arg(300)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(lookups, oldest, 1)->Arg(10)->Arg(100)->Arg(300)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(lookups, again, 2)->Arg(10)->Arg(100)->Arg(300)->UseManualTime()->Unit(benchmark::kMicrosecond);

namespace {

// What the connect hook costs every program: one connect and accept on loopback, without the hook, with it
// for a user it does not watch, and for a watched user (the path walk and the record).
void connects(benchmark::State& state) {
    std::unique_ptr<QNConnectHook> hook;
    if (state.range(0) > 0) {
        QString error;
        hook = QNConnectHook::load(&error);
        if (!hook || !hook->watch(state.range(0) == 2 ? QSet<quint32>{quint32(::geteuid())} : QSet<quint32>{})) {
            state.SkipWithError(qPrintable(QStringLiteral("no connect hook: %1").arg(error)));
            return;
        }
    }
    quint16 port = 0;
    const int server = listener(&port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    for (auto _ : state) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        const int accepted = ::accept(server, nullptr, nullptr);
        ::close(accepted);
        ::close(fd);
    }
    ::close(server);
}

} // namespace

BENCHMARK(connects)->ArgName("hook")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
