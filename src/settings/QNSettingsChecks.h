#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QNProfile;
class QNProxyChain;

// The checks of the settings window, made with the very parsers and the compiler the agent uses, so that a
// field accepted here is a field the agent accepts. Every function returns the problem as a sentence for
// the user, or a null text when there is none.
namespace QNSettingsChecks {

// "80, 443,8000-8080" as list entries, each trimmed; empty pieces dropped.
QStringList splitList(const QString& text);
QString joinList(const QStringList& entries);

QString portError(const QString& text);
// Every comma-separated piece a port or a range of ports.
QString portListError(const QStringList& entries);
// Resolves the name now (may block for as long as the resolver takes).
QString hostError(const QString& host);
QString serverAliveIntervalError(const QString& text);
QString chainError(const QNProxyChain& chain);

// The MD5 fingerprint of a key file's contents in display form (two lines of eight pairs), or a note in
// parentheses when the key cannot be read; null for no key.
QString fingerprintText(const QByteArray& keyData, const QString& passphrase);

// Why the agent would refuse the profile: a rule that sends through a proxy without naming one, or the first
// problem the compiler finds (hosts that do not resolve, bad ports, chains that do not validate).
QString profileError(const QNProfile& profile);

} // namespace QNSettingsChecks
