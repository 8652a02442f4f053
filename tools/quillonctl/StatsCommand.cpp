#include "StatsCommand.h"

#include "CommandSupport.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"
#include "util/QNUtilities.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QThread>

#include <cstdio>

namespace {

const char kUsage[] = "Usage: quillonctl stats [--watch] [--interval SECONDS]\n"
                      "\n"
                      "Shows the running agent's live statistics: the connections the engine holds now and\n"
                      "the bytes sent and received through the active profile.\n"
                      "\n"
                      "Options:\n"
                      "  --watch                Print one line per interval until interrupted.\n"
                      "  --interval SECONDS     The interval of --watch (default 1, from 0.1 to 3600).\n"
                      "  -h, --help             Show this help.\n";

const char kObjectPath[] = "/com/fernhollowsoftware/quillon";
const char kInterface[] = "com.fernhollowsoftware.quillon.Statistics";

struct Statistics {
    qint32 connections = 0;
    quint64 dataSent = 0;
    quint64 dataReceived = 0;
};

const QString kCommand = QStringLiteral("stats");

void printError(const QString& text) {
    ctl::printError(kCommand, text);
}

int usageError(const QString& text) {
    return ctl::usageError(kCommand, text);
}

bool fetch(const QDBusConnection& bus, Statistics* statistics, QString* error) {
    const QDBusMessage call =
        QDBusMessage::createMethodCall(kQNApplicationServerName, QLatin1StringView(kObjectPath),
                                       QLatin1StringView(kInterface), QStringLiteral("statisticsWithConnections"));
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        *error = reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
                     ? QStringLiteral("the Quillon agent is not running in this session")
                     : QStringLiteral("the agent did not answer: %1").arg(reply.errorMessage());
        return false;
    }
    const QList<QVariant> values = reply.arguments();
    if (values.size() != 3 || values.at(0).typeId() != QMetaType::Int ||
        values.at(1).typeId() != QMetaType::ULongLong || values.at(2).typeId() != QMetaType::ULongLong) {
        *error = QStringLiteral("the agent's answer is not statistics");
        return false;
    }
    statistics->connections = values.at(0).toInt();
    statistics->dataSent = values.at(1).toULongLong();
    statistics->dataReceived = values.at(2).toULongLong();
    return true;
}

QString label(const char* key) {
    return QNLocalizedString(QLatin1StringView(key));
}

void printBlock(const Statistics& s) {
    const QString text = QStringLiteral("%1: %2\n%3: %4 (%5 bytes)\n%6: %7 (%8 bytes)\n")
                             .arg(label("connections"))
                             .arg(s.connections)
                             .arg(label("sent"), QNUtilities::dataSizeString(s.dataSent))
                             .arg(s.dataSent)
                             .arg(label("received"), QNUtilities::dataSizeString(s.dataReceived))
                             .arg(s.dataReceived);
    std::fputs(text.toLocal8Bit().constData(), stdout);
}

void printLine(const Statistics& s) {
    const QString text = QStringLiteral("%1: %2  %3: %4  %5: %6\n")
                             .arg(label("connections"))
                             .arg(s.connections)
                             .arg(label("sent"), QNUtilities::dataSizeString(s.dataSent), label("received"),
                                  QNUtilities::dataSizeString(s.dataReceived));
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

} // namespace

int runStatsCommand(const QStringList& arguments) {
    bool watch = false;
    double interval = 1.0;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            std::fputs(kUsage, stdout);
            return ctl::kSuccess;
        }
        if (argument == QLatin1String("--watch")) {
            watch = true;
        } else if (argument == QLatin1String("--interval") || argument.startsWith(QLatin1String("--interval="))) {
            QString value;
            if (argument.contains(QLatin1Char('='))) {
                value = argument.section(QLatin1Char('='), 1);
            } else if (++i < arguments.size()) {
                value = arguments.at(i);
            } else {
                return usageError(QStringLiteral("--interval needs a number of seconds"));
            }
            bool ok = false;
            interval = value.toDouble(&ok);
            if (!ok || !(interval >= 0.1 && interval <= 3600)) {
                return usageError(QStringLiteral("--interval needs a number of seconds from 0.1 to 3600"));
            }
        } else {
            return usageError(QStringLiteral("unexpected argument '%1'").arg(argument));
        }
    }

    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        printError(QStringLiteral("cannot reach the D-Bus session bus"));
        return ctl::kFailure;
    }
    Statistics statistics;
    QString error;
    if (!watch) {
        if (!fetch(bus, &statistics, &error)) {
            printError(error);
            return ctl::kFailure;
        }
        printBlock(statistics);
        return ctl::kSuccess;
    }
    // Until interrupted, or until the agent goes away.
    for (;;) {
        if (!fetch(bus, &statistics, &error)) {
            printError(error);
            return ctl::kFailure;
        }
        printLine(statistics);
        QThread::msleep(static_cast<unsigned long>(interval * 1000));
    }
}
