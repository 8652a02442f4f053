#include "AgentCommands.h"

#include "util/QNConstants.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

using namespace ctl;

namespace {

const char kStatusUsage[] = "Usage: quillonctl status\n"
                            "\n"
                            "Shows the running agent's state: the active profile, whether the engine is\n"
                            "reachable, and the last alert it showed. Exit status 1 when no agent runs.\n";

const QString kObjectPath = QStringLiteral("/com/fernhollowsoftware/quillon");
const QString kStateInterface = QStringLiteral("com.fernhollowsoftware.quillon.State");
// How long activate waits for the agent to switch; compiling, tunnels and an alert take well under that.
constexpr int kActivationWaitMilliseconds = 10000;
// Asked again this often in case a state signal was missed.
constexpr int kPollMilliseconds = 500;

bool activationOver(const AgentState& now, const AgentState& before) {
    return now.activations != before.activations || now.alerts != before.alerts;
}

} // namespace

namespace ctl {

std::optional<AgentState> agentState(QString* reason) {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        *reason = QStringLiteral("no session bus");
        return std::nullopt;
    }
    if (!bus.interface()->isServiceRegistered(kQNApplicationServerName).value()) {
        *reason = QStringLiteral("the Quillon agent is not running in this session");
        return std::nullopt;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kQNApplicationServerName, kObjectPath,
                                       QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    call << kStateInterface;
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        *reason = QStringLiteral("the agent did not answer: %1").arg(reply.errorMessage());
        return std::nullopt;
    }
    const QVariantMap values = qdbus_cast<QVariantMap>(reply.arguments().first());
    AgentState state;
    state.activeProfileIdentifier = values.value(QStringLiteral("activeProfileIdentifier"), -1).toLongLong();
    state.activeProfileName = values.value(QStringLiteral("activeProfileName")).toString();
    state.engineConnected = values.value(QStringLiteral("engineConnected")).toBool();
    state.lastAlert = values.value(QStringLiteral("lastAlert")).toString();
    state.alerts = values.value(QStringLiteral("alerts")).toUInt();
    state.activations = values.value(QStringLiteral("activations")).toUInt();
    return state;
}

int awaitActivation(const QString& command, qint64 chosen, const QString& chosenText, const AgentState& before) {
    QEventLoop loop;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kQNApplicationServerName, kObjectPath, kStateInterface, QStringLiteral("stateChanged"), &loop,
                SLOT(quit()));
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start(kPollMilliseconds);

    const QDeadlineTimer deadline(kActivationWaitMilliseconds);
    std::optional<AgentState> now;
    QString reason;
    for (;;) {
        now = agentState(&reason);
        if (!now) {
            printError(command,
                       QStringLiteral("the choice is saved, but the agent did not say how it went: %1").arg(reason));
            return kFailure;
        }
        if (activationOver(*now, before)) {
            break;
        }
        if (deadline.hasExpired()) {
            printError(command, QStringLiteral("the choice is saved, but the agent did not switch within %1 seconds")
                                    .arg(kActivationWaitMilliseconds / 1000));
            return kFailure;
        }
        loop.exec();
    }

    if (now->activeProfileIdentifier != chosen) {
        const QString why = now->alerts != before.alerts ? now->lastAlert : QStringLiteral("the agent refused it");
        printError(command, chosen == -1
                                ? QStringLiteral("profiles could not be switched off: %1").arg(why)
                                : QStringLiteral("profile %1 could not be switched on: %2").arg(chosenText, why));
        return kFailure;
    }
    if (chosen == -1) {
        printOut(QStringLiteral("No profile is active\n"));
        return kSuccess;
    }
    printOut(QStringLiteral("Active profile: %1\n").arg(chosenText));
    if (!now->engineConnected) {
        printError(command, QStringLiteral("the engine is not running; the agent hands it the profile once it is"));
        return kFailure;
    }
    return kSuccess;
}

} // namespace ctl

int runStatusCommand(const QStringList& raw) {
    const QString command = QStringLiteral("status");
    Arguments arguments;
    int status = kSuccess;
    if (!prepare(command, kStatusUsage, raw, 0, 0, &arguments, &status)) {
        return status;
    }
    QString reason;
    const std::optional<AgentState> state = agentState(&reason);
    if (!state) {
        printError(command, reason);
        return kFailure;
    }
    const QString profile =
        state->activeProfileIdentifier == -1
            ? QStringLiteral("none")
            : QStringLiteral("%1 (%2)").arg(state->activeProfileIdentifier).arg(state->activeProfileName);
    QString text =
        QStringLiteral("Agent:          running\n"
                       "Active profile: %1\n"
                       "Engine:         %2\n")
            .arg(profile, state->engineConnected ? QStringLiteral("connected") : QStringLiteral("not running"));
    if (!state->lastAlert.isEmpty()) {
        text += QStringLiteral("Last alert:     %1\n").arg(state->lastAlert);
    }
    printOut(text);
    return kSuccess;
}
