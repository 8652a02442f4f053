#pragma once

// Reading and writing settings-dictionary values, shared by the model classes (internal to the model).
//
// Dictionaries come back from the preference file, written by whatever edited it last, so every reader
// here accepts what a property-list reader can produce and turns a value of the wrong kind into the
// absent value instead of failing.

#include "util/QNUtilities.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

namespace QNSettings {

inline bool isKind(const QVariant& value, QMetaType::Type type) {
    return value.metaType().id() == type;
}

// The text under key; null when absent or not a text.
inline QString text(const QVariantMap& settings, const QString& key) {
    const auto it = settings.constFind(key);
    if (it == settings.constEnd() || !isKind(*it, QMetaType::QString)) {
        return QString();
    }
    return it->toString();
}

// The byte data under key; null when absent or not data.
inline QByteArray data(const QVariantMap& settings, const QString& key) {
    const auto it = settings.constFind(key);
    if (it == settings.constEnd() || !isKind(*it, QMetaType::QByteArray)) {
        return QByteArray();
    }
    return it->toByteArray();
}

// The list of texts under key: a text list, or a generic list of which only the texts are kept.
// Empty when absent or not a list.
inline QStringList textList(const QVariantMap& settings, const QString& key) {
    const auto it = settings.constFind(key);
    if (it == settings.constEnd()) {
        return QStringList();
    }
    if (isKind(*it, QMetaType::QStringList)) {
        return it->toStringList();
    }
    QStringList texts;
    if (isKind(*it, QMetaType::QVariantList)) {
        const QVariantList list = it->toList();
        for (const QVariant& entry : list) {
            if (isKind(entry, QMetaType::QString)) {
                texts.append(entry.toString());
            }
        }
    }
    return texts;
}

inline bool isDictionary(const QVariant& value) {
    return isKind(value, QMetaType::QVariantMap) || isKind(value, QMetaType::QVariantHash);
}

// The dictionaries of the list under key, in order; entries that are not dictionaries are left out.
inline QList<QVariantMap> dictionaryList(const QVariantMap& settings, const QString& key) {
    QList<QVariantMap> dictionaries;
    const auto it = settings.constFind(key);
    if (it == settings.constEnd() || !isKind(*it, QMetaType::QVariantList)) {
        return dictionaries;
    }
    const QVariantList list = it->toList();
    for (const QVariant& entry : list) {
        if (isDictionary(entry)) {
            dictionaries.append(entry.toMap());
        }
    }
    return dictionaries;
}

// The integer value under key (a number of any width, or a text holding one); 0 when absent or unusable.
// Callers narrow it to their field's width.
inline qint64 integer(const QVariantMap& settings, const QString& key) {
    const auto it = settings.constFind(key);
    return it == settings.constEnd() ? 0 : QNUtilities::integerValue(*it);
}

// The boolean value under key; false when absent.
inline bool boolean(const QVariantMap& settings, const QString& key) {
    const auto it = settings.constFind(key);
    return it != settings.constEnd() && QNUtilities::boolValue(*it);
}

// Numbers are always written 64 bits wide so the preference file holds plain integers.
inline QVariant number(qint64 value) {
    return QVariant::fromValue<qint64>(value);
}

} // namespace QNSettings
