#include "util/QNPreferenceValues.h"

#include "util/QNConstants.h"
#include "util/QNUtilities.h"

namespace {

bool isScalar(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::QString:
        return true;
    default:
        return false;
    }
}

std::optional<QVariant> scalar(const QVariantMap& preferences, const QString& key) {
    const auto it = preferences.constFind(key);
    if (it == preferences.constEnd() || !isScalar(*it)) {
        return std::nullopt;
    }
    return *it;
}

} // namespace

namespace QNPreferenceValues {

std::optional<bool> boolValue(const QVariantMap& preferences, const QString& key) {
    const auto value = scalar(preferences, key);
    return value ? std::optional<bool>(QNUtilities::boolValue(*value)) : std::nullopt;
}

std::optional<qint64> integerValue(const QVariantMap& preferences, const QString& key) {
    const auto value = scalar(preferences, key);
    return value ? std::optional<qint64>(QNUtilities::integerValue(*value)) : std::nullopt;
}

QList<QVariantMap> profileDictionaries(const QVariantMap& preferences, QStringList* passedOver) {
    QList<QVariantMap> dictionaries;
    const auto it = preferences.constFind(kQNUserDefaultProfiles);
    if (it == preferences.constEnd()) {
        return dictionaries;
    }
    if (it->typeId() != QMetaType::QVariantList) {
        if (passedOver) {
            passedOver->append(
                QStringLiteral("\"%1\" holds %2, not a list of profiles").arg(kQNUserDefaultProfiles, kindName(*it)));
        }
        return dictionaries;
    }
    const QVariantList entries = it->toList();
    for (qsizetype index = 0; index < entries.size(); ++index) {
        const QVariant& entry = entries.at(index);
        if (entry.typeId() == QMetaType::QVariantMap) {
            dictionaries.append(entry.toMap());
        } else if (passedOver) {
            passedOver->append(QStringLiteral("entry %1 of \"%2\" holds %3, not a profile")
                                   .arg(index + 1)
                                   .arg(kQNUserDefaultProfiles, kindName(entry)));
        }
    }
    return dictionaries;
}

QString kindName(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
        return QStringLiteral("a boolean");
    case QMetaType::QString:
        return QStringLiteral("a text");
    case QMetaType::QByteArray:
        return QStringLiteral("data");
    case QMetaType::QDateTime:
        return QStringLiteral("a date");
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return QStringLiteral("a list");
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash:
        return QStringLiteral("a dictionary");
    default:
        return isScalar(value) ? QStringLiteral("a number") : QStringLiteral("a value of another kind");
    }
}

} // namespace QNPreferenceValues
