// quillon-engine: a stand-in for the traffic engine. It accepts the agent on the control socket, decodes
// and checks every profile stream, can print it, and reports statistics and log lines. See --help.

#include "QNEngineServer.h"

#include "kernel/QNControlChannel.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
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
    // A vanished agent must not kill us on a write.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
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
        QStringLiteral("Stand-in for the traffic engine: listens on the control socket, serves one agent at a "
                       "time, decodes and checks every profile stream it is sent, and reports connection and "
                       "byte counts (and log lines while the agent's logging flag is 1). It intercepts "
                       "nothing, so its counters stay at zero unless --simulate is given.\n\n"
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
    const QCommandLineOption simulateOption(QStringLiteral("simulate"),
                                            QStringLiteral("Make the statistics grow as if traffic were flowing."));
    parser.addOptions({socketOption, intervalOption, dumpOption, simulateOption});
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

    QNEngineServer::Options options;
    options.socketPath =
        parser.isSet(socketOption) ? parser.value(socketOption) : QNControlChannel::controlSocketPath();
    options.intervalMilliseconds = int(interval * 1000.0 + 0.5);
    options.dump = parser.isSet(dumpOption);
    options.simulate = parser.isSet(simulateOption);

    if (!installSignalHandlers()) {
        return fail(QStringLiteral("cannot set up signal handling"));
    }
    QNEngineServer server(options);
    QString error;
    if (!server.listen(&error)) {
        return fail(error);
    }

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &application, [] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
    const int status = QCoreApplication::exec();
    server.shutdown();
    std::fprintf(stderr, "quillon-engine: stopped\n");
    return status;
}
