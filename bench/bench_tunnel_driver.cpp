// Runs one SSH tunnel and nothing else, for measurements: the proxy comes from the command line, the
// listener's port and the tunnel's reports go to standard output, and the program ends when its standard
// input closes or on SIGTERM.
//
//   bench_tunnel_driver HOST PORT USER KEYFILE [CIPHER]
//
// CIPHER is the proxy's cipher value (0 = the library's choice, 4 = aes128-ctr, ...).

#include "model/QNProxy.h"
#include "tunnel/QNSSHTunnelServer.h"
#include "tunnel/QNSSHTunnelServerDelegate.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>

#include <unistd.h>

namespace {

class PrintingDelegate : public QNSSHTunnelServerDelegate {
public:
    void sshTunnelServerConnected(QNSSHTunnelServer*) override { print("CONNECTED"); }
    void sshTunnelServerError(QNSSHTunnelServer*, const QString& error) override {
        print("ERROR " + error.toUtf8());
        QCoreApplication::exit(1);
    }
    void sshTunnelServerLog(QNSSHTunnelServer*, const QString& log) override { print("LOG " + log.toUtf8()); }

    static void print(const QByteArray& line) {
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
};

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 5) {
        std::fprintf(stderr, "usage: bench_tunnel_driver HOST PORT USER KEYFILE [CIPHER]\n");
        return 2;
    }
    QFile keyFile(arguments[4]);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(arguments[4]));
        return 2;
    }
    auto proxy = QNProxy::proxy();
    proxy->setType(QNProxyTypeSSHTunnel);
    proxy->setHost(arguments[1]);
    proxy->setPort(quint16(arguments[2].toUInt()));
    proxy->setUsername(arguments[3]);
    proxy->setClientKey(keyFile.readAll());
    proxy->setCipher(arguments.size() > 5 ? arguments[5].toUInt() : 0);

    // SIGTERM ends the event loop like a closed standard input does.
    static int signalPipe[2];
    if (pipe(signalPipe) != 0) {
        return 1;
    }
    std::signal(SIGTERM, [](int) { (void)!write(signalPipe[1], "x", 1); });
    QSocketNotifier terminate(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&terminate, &QSocketNotifier::activated, &application, &QCoreApplication::quit);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &application, [&] {
        char buffer[256];
        if (read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0) {
            QCoreApplication::quit();
        }
    });

    QNSSHTunnelServer::init();
    int status = 0;
    {
        PrintingDelegate delegate;
        const auto server = QNSSHTunnelServer::tunnelServerWithDelegate(&delegate, 0);
        const quint16 port = server->createTunnel(*proxy);
        PrintingDelegate::print("PORT " + QByteArray::number(port));
        if (port == 0) {
            return 1;
        }
        server->start();
        status = application.exec();
        server->stop();
    }
    QNSSHTunnelServer::destroy();
    return status;
}
