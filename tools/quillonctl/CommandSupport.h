#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class QNProfile;

// Pieces every quillonctl command shares: the dispatch-table entry, exit statuses, printing, argument
// handling, the stored profiles and posting the settings tool's notifications.

namespace ctl {

enum ExitStatus { kSuccess = 0, kFailure = 1, kUsage = 2 };

// One row of the dispatch table. run takes the arguments after the command word and returns the exit status.
struct Command {
    QString name;
    QString synopsis;
    QString summary;
    int (*run)(const QStringList& arguments);
};

void printOut(const QString& text);
// "quillonctl COMMAND: text" on stderr.
void printError(const QString& command, const QString& text);
// printError plus a pointer to the command's help; returns kUsage.
int usageError(const QString& command, const QString& text);

// The arguments of one command once "-h"/"--help" and options are taken out.
struct Arguments {
    bool help = false;
    QStringList operands;
    // Options that take a value, by their long name ("output" for -o/--output).
    QVariantMap values;
    // Flag options given, by their long name ("force" for --force).
    QStringList flags;
    QString error;
};

struct OptionSpec {
    QString longName;
    QChar shortName;
};

// Understands -h/--help, "--" (everything after it is an operand), and the given value options as
// "-o VALUE", "--output VALUE" and "--output=VALUE". A lone "-" and negative numbers are operands.
// Flag options are long options without a value ("--force").
Arguments parseArguments(const QStringList& arguments, const QList<OptionSpec>& valueOptions = {},
                         const QStringList& flagOptions = {});

// Checks the operand count; prints the usage error and returns false when it is wrong.
bool expectOperands(const QString& command, const Arguments& arguments, qsizetype minimum, qsizetype maximum);

// The start of every command: parses, answers --help with the usage text, reports option errors and a wrong
// operand count. True when the command should go on; otherwise *status is the exit status to return.
bool prepare(const QString& command, const char* usage, const QStringList& raw, qsizetype minimum, qsizetype maximum,
             Arguments* arguments, int* status, const QList<OptionSpec>& valueOptions = {},
             const QStringList& flagOptions = {});

// What a change has to say besides its edit: why it declines, or warnings to print once it is stored.
struct ChangeNotes {
    QString refusal;
    QStringList warnings;
};

// A command's change of the stored preferences, made under the store's lock: false leaves them as they were,
// with the reason in notes->refusal.
using PreferenceChange = std::function<bool(QVariantMap& preferences, ChangeNotes* notes)>;

// Makes the change; once it is stored, prints what report() says and its warnings and tells a running agent
// with the notification. Reports a store failure or the command's refusal instead. Returns the exit status.
int storeChange(const QString& command, const PreferenceChange& change, const std::function<QString()>& report,
                const QString& notificationName);

// The stored profiles as the agent reads them, next to the raw entries they came from, so that a command
// changing one profile writes every other entry back exactly as it found it. What the agent passes over
// (a "profiles" that is no list, entries that are no dictionaries) is not among them.
class ProfileList {
public:
    explicit ProfileList(const QVariantMap& preferences);

    qsizetype size() const { return _entries.size(); }
    const QVariantList& entries() const { return _entries; }
    const std::shared_ptr<QNProfile>& profile(qsizetype index) const { return _profiles.at(index); }
    const QList<std::shared_ptr<QNProfile>>& profiles() const { return _profiles; }

    // The index of the profile an argument names: an identifier, else an exact name. -1 with the reason
    // in *error when none or more than one matches.
    qsizetype find(const QString& argument, QString* error) const;
    // One above the highest identifier in use (1 for an empty list); none when the identifiers run out.
    std::optional<quint32> nextIdentifier() const;
    // The stored active identifier when a profile has it, else -1.
    qint64 activeIdentifier(const QVariantMap& preferences) const;
    // Stores entries as the profiles; what was passed over when the list was read is gone then, and a
    // warning says so.
    void store(QVariantMap& preferences, const QVariantList& entries, ChangeNotes* notes) const;

private:
    QVariantList _entries;
    QStringList _passedOver;
    QList<std::shared_ptr<QNProfile>> _profiles;
};

// A profile's name for people: quoted when set, "(unnamed)" when null.
QString displayName(const QNProfile& profile);

// Posts a notification as the settings tool so that a running agent picks the change up. A missing bus
// is only a warning: the change is saved and the agent reads it at its next start.
void notifyAgent(const QString& command, const QString& notificationName);

} // namespace ctl
