#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// Typed reading of the preference domain, shared by the agent and the settings tool. Any program may
// have written the file, so a value of the wrong kind reads as absent: a setting holding a dictionary
// takes its default, "profiles" holding a text means no profiles.
namespace QNPreferenceValues {

// A boolean, a number or a text, read the lenient way (QNUtilities::boolValue and integerValue); none
// for an absent key or any other kind of value.
std::optional<bool> boolValue(const QVariantMap& preferences, const QString& key);
std::optional<qint64> integerValue(const QVariantMap& preferences, const QString& key);

// The dictionaries of the "profiles" list, in stored order. A value that is not a list gives none, and
// entries that are not dictionaries are passed over; each thing passed over is described in *passedOver.
QList<QVariantMap> profileDictionaries(const QVariantMap& preferences, QStringList* passedOver = nullptr);

// "a text", "a number", "a dictionary" and so on, for messages.
QString kindName(const QVariant& value);

} // namespace QNPreferenceValues
