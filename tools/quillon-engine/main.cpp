// quillon-engine: the traffic engine. It intercepts the TCP connections of every user whose agent sent a
// profile and routes them by that profile; with --simulate it is a stand-in that only decodes profile
// streams and makes up figures, for running the agent without root. See --help.

#include "QNEngineServer.h"

#include "engine/QNEngineDaemon.h"
#include "kernel/QNControlChannel.h"

#include <QFile>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// SIGTERM and SIGINT end the event loop through a pipe, so the socket file is removed on the way out.
bool installSignalHandlers() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) < 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    // A vanished agent must not kill us on a write.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

// Whether this process may change nftables tables: CAP_NET_ADMIN (bit 12) among its effective capabilities.
bool mayIntercept() {
    constexpr int kNetAdmin = 12;
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return ::geteuid() == 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("CapEff:")) {
            bool valid = false;
            const quint64 mask = line.mid(7).trimmed().toULongLong(&valid, 16);
            return valid && (mask & (quint64(1) << kNetAdmin)) != 0;
        }
    }
    return false;
}

// Every relayed connection holds up to six descriptors; the soft limit of 1024 would stop at about 170.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Status 1 for a failure, 2 for a wrong command line.
int fail(const QString& text, int status = 1) {
    std::fprintf(stderr, "quillon-engine: %s\n", text.toLocal8Bit().constData());
    return status;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillon-engine"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLON_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The traffic engine. Listens on the control socket for any number of agents, keeps one "
                       "profile per user (the user each agent runs as), intercepts that user's TCP connections "
                       "through the nftables table 'inet quillon' and sends each one direct, through its "
                       "proxies or nowhere, as the profile's rules say. Needs root or CAP_NET_ADMIN (and CAP_BPF and "
                       "CAP_PERFMON to find the programs behind connections "
                       "through its eBPF connect hook; without them it scans /proc).\n\n"
                       "With --simulate it is a stand-in instead: it serves one agent at a time, decodes and "
                       "checks every profile stream, intercepts nothing and makes up growing figures; it needs "
                       "no privilege.\n\n"
                       "The socket path is --socket, else $%1, else %2.")
            .arg(QString::fromLatin1(QNControlChannel::kEnvironmentVariable),
                 QString::fromLatin1(QNControlChannel::kDefaultPath)));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption socketOption(QStringLiteral("socket"), QStringLiteral("Listen on <path>."),
                                          QStringLiteral("path"));
    const QCommandLineOption intervalOption(QStringLiteral("interval"),
                                            QStringLiteral("Send the statistics every <seconds> (default 1)."),
                                            QStringLiteral("seconds"), QStringLiteral("1"));
    const QCommandLineOption dumpOption(QStringLiteral("dump"),
                                        QStringLiteral("Print every profile stream received as one line of JSON on "
                                                       "standard output (null for no profile, {\"error\": ...} for "
                                                       "a malformed stream)."));
    const QCommandLineOption simulateOption(
        QStringLiteral("simulate"),
        QStringLiteral("Run the stand-in: intercept nothing, make the statistics grow as if traffic were flowing."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Print every connection's log line on standard error."));
    const QCommandLineOption timeoutOption(
        QStringLiteral("connect-timeout"),
        QStringLiteral("Give up on a destination or proxy that has not answered after <seconds> (default 15)."),
        QStringLiteral("seconds"), QStringLiteral("15"));
    const QCommandLineOption resolverOption(
        QStringLiteral("resolver"),
        QStringLiteral("Forward name queries resolved locally to <address> (default: the first nameserver of "
                       "/etc/resolv.conf)."),
        QStringLiteral("address"));
    const QCommandLineOption withoutHookOption(
        QStringLiteral("without-connect-hook"),
        QStringLiteral("Find the programs behind connections by searching /proc, without the eBPF connect hook."));
    parser.addOptions({socketOption, intervalOption, dumpOption, simulateOption, verboseOption, timeoutOption,
                       resolverOption, withoutHookOption});
    if (!parser.parse(QCoreApplication::arguments())) {
        return fail(parser.errorText(), 2);
    }
    if (parser.isSet(QStringLiteral("help"))) {
        parser.showHelp(0);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        parser.showVersion();
    }
    if (!parser.positionalArguments().isEmpty()) {
        return fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().constFirst()), 2);
    }

    bool intervalValid = false;
    const double interval = parser.value(intervalOption).toDouble(&intervalValid);
    if (!intervalValid || !(interval >= 0.01 && interval <= 86400.0)) {
        return fail(QStringLiteral("--interval needs a number of seconds from 0.01 to 86400"), 2);
    }

    bool timeoutValid = false;
    const int timeout = parser.value(timeoutOption).toInt(&timeoutValid);
    if (!timeoutValid || timeout < 1 || timeout > 3600) {
        return fail(QStringLiteral("--connect-timeout needs a number of seconds from 1 to 3600"), 2);
    }

    const QString socketPath =
        parser.isSet(socketOption) ? parser.value(socketOption) : QNControlChannel::controlSocketPath();
    const bool simulate = parser.isSet(simulateOption);
    if (!simulate && !mayIntercept()) {
        return fail(QStringLiteral("intercepting traffic needs root or CAP_NET_ADMIN (use --simulate to run the "
                                   "stand-in)"));
    }
    if (!installSignalHandlers()) {
        return fail(QStringLiteral("cannot set up signal handling"));
    }

    std::unique_ptr<QNEngineServer> standIn;
    std::unique_ptr<QNEngineDaemon> daemon;
    QString error;
    if (simulate) {
        QNEngineServer::Options options;
        options.socketPath = socketPath;
        options.intervalMilliseconds = int(interval * 1000.0 + 0.5);
        options.dump = parser.isSet(dumpOption);
        options.simulate = true;
        std::fprintf(stderr, "quillon-engine: simulating: a stand-in that intercepts no traffic\n");
        standIn = std::make_unique<QNEngineServer>(options);
        if (!standIn->listen(&error)) {
            return fail(error);
        }
    } else {
        raiseDescriptorLimit();
        QNEngineDaemon::Options options;
        options.socketPath = socketPath;
        options.intervalMilliseconds = int(interval * 1000.0 + 0.5);
        options.connectTimeoutSeconds = timeout;
        options.dump = parser.isSet(dumpOption);
        options.verbose = parser.isSet(verboseOption);
        options.resolver = parser.value(resolverOption);
        options.withoutConnectHook = parser.isSet(withoutHookOption);
        std::fprintf(stderr, "quillon-engine: intercepting the TCP connections of every user with an active profile\n");
        daemon = std::make_unique<QNEngineDaemon>(options);
        if (!daemon->start(&error)) {
            return fail(error);
        }
    }

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &application, [] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
    const int status = QCoreApplication::exec();
    if (standIn) {
        standIn->shutdown();
    }
    if (daemon) {
        daemon->shutdown();
    }
    std::fprintf(stderr, "quillon-engine: stopped\n");
    return status;
}
