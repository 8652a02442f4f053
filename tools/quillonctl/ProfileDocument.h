#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>

#include <memory>

class QNProfile;
class QNXMLElement;

// What import and edit share: checking a profiles document before anything is stored, and putting a
// profile in the place of a stored one.

namespace ctl {

// The check's warnings for every profile of the document, ready to print.
QStringList documentWarnings(const QNXMLElement& root);

// Prints the warnings; true when the document may be stored: it has none, or force is given.
bool acceptWarnings(const QString& command, const QStringList& warnings, bool force);

// The stored profile at index becomes the given one, which takes over its identifier, so the active choice and
// the profile's place in the list stay as they were. What the document cannot carry is kept from the stored
// profile: key passphrases of proxies with the same name and key, and entries of the stored dictionary that
// are not the profile's own.
void replaceEntry(QVariantList& entries, qsizetype index, QNProfile& profile, const QNProfile& stored);

} // namespace ctl
