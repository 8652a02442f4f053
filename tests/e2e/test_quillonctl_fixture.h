#pragma once

// quillonctl run as a program on a temporary configuration home, with the notifications it posts
// collected from the session bus.

#include "platform/QNNotificationCenter.h"
#include "platform/QNPlistCodec.h"
#include "support/QNTestProcess.h"
#include "util/QNConstants.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

#ifdef QN_QUILLONCTL_PATH
inline const QString kQuillonctlPath = QStringLiteral(QN_QUILLONCTL_PATH);
#else
inline const QString kQuillonctlPath;
#endif

struct Posted {
    QString name;
    QString object;
    bool operator==(const Posted& other) const { return name == other.name && object == other.object; }
};

inline std::ostream& operator<<(std::ostream& stream, const Posted& posted) {
    return stream << posted.name.toStdString() << " from " << posted.object.toStdString();
}

// A value as it reads back from the file (string lists become lists, every integer a 64-bit one).
inline QVariant asStored(const QVariant& value) {
    const auto data = QNPlistCodec::dataWithPropertyList(QVariantList{value});
    return data ? QNPlistCodec::propertyListWithData(*data).value_or(QVariant()).toList().value(0) : QVariant();
}

class Quillonctl : public ::testing::Test {
protected:
    static inline const QString kSentinel = QStringLiteral("testSentinel");

    void SetUp() override {
        if (kQuillonctlPath.isEmpty()) {
            GTEST_SKIP() << "quillonctl is not built";
        }
        ASSERT_TRUE(_home.isValid());
        _environment = QProcessEnvironment::systemEnvironment();
        _environment.insert(QStringLiteral("HOME"), _home.path());
        _environment.insert(QStringLiteral("XDG_CONFIG_HOME"), _home.filePath(QStringLiteral("config")));
        if (QDBusConnection::sessionBus().isConnected()) {
            _center = std::make_unique<QNNotificationCenter>();
            for (const QString& name : {kQNNotificationActiveProfileIdentifier, kQNNotificationProfiles,
                                        kQNNotificationSettings, kSentinel}) {
                _center->addObserver(
                    [this](const QString& n, const QString& o) {
                        _posted.append({n, o});
                    },
                    name, QString());
            }
        }
    }

    QNTestProcessResult run(const QStringList& arguments, const QByteArray& input = QByteArray()) {
        return qnRunProcess(kQuillonctlPath, arguments, input, _environment);
    }

    // Runs a command that must succeed and returns what it printed.
    QString ok(const QStringList& arguments) {
        const auto result = run(arguments);
        EXPECT_EQ(result.exitCode, 0) << arguments.join(QLatin1Char(' ')).toStdString() << ": "
                                      << result.standardError.toStdString();
        return QString::fromUtf8(result.standardOutput);
    }

    QString preferencePath() const {
        return _home.filePath(QStringLiteral("config/quillon/com.fernhollowsoftware.quillon.plist"));
    }

    QByteArray preferenceBytes() const {
        QFile file(preferencePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QVariantMap domain() const { return QNPlistCodec::dictionaryWithData(preferenceBytes()).value_or(QVariantMap()); }

    void writeDomain(const QVariantMap& domain) const {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(preferencePath()).absolutePath()));
        QFile file(preferencePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(*QNPlistCodec::dataWithPropertyList(domain));
    }

    QVariantList storedProfiles() const { return domain().value(kQNUserDefaultProfiles).toList(); }

    // Every notification posted so far: ours is sent after quillonctl has exited (and so after its own
    // have been routed), so when it arrives the others are in.
    QList<Posted> takePosted() {
        if (!_center) {
            return {};
        }
        const qsizetype before = _posted.size();
        EXPECT_TRUE(_center->postNotificationName(kSentinel, QStringLiteral("test")));
        QDeadlineTimer deadline(10000);
        while (!_posted.mid(before).contains(Posted{kSentinel, QStringLiteral("test")}) && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        QList<Posted> result;
        for (const Posted& posted : std::as_const(_posted)) {
            if (posted.name != kSentinel) {
                result.append(posted);
            }
        }
        _posted.clear();
        return result;
    }

    bool haveBus() const { return _center != nullptr; }

    static Posted fromPanel(const QString& name) { return {name, kQNNotificationIdentifierPreferencePane}; }

    QTemporaryDir _home;
    QProcessEnvironment _environment;
    std::unique_ptr<QNNotificationCenter> _center;
    QList<Posted> _posted;
};
