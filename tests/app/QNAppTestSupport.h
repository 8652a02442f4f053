#pragma once

// What the agent's tests share: readable QStrings in failures, a desktop that only counts what it is asked
// to do, alerts that behave as modal ones, and the real tray menu driven without a display.

#include "app/QNTrayMenu.h"
#include "platform/QNSystemServices.h"
#include "support/QNRecordingAlertPresenter.h"

#include <QEventLoop>
#include <QList>
#include <QMenu>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

struct FakeSystemServices : QNSystemServices {
    int dnsFlushes = 0;
    int uninstalls = 0;
    int settingsOpened = 0;
    QList<QUrl> opened;
    std::function<void()> onUninstall;

    void clearDNSCache() override { ++dnsFlushes; }
    void runUninstallScript() override {
        ++uninstalls;
        if (onUninstall) {
            onUninstall();
        }
    }
    bool openUrl(const QUrl& url) override {
        opened.append(url);
        return true;
    }
    void openSettingsTool() override { ++settingsOpened; }
    QStringList notices;
    void notifyUser(const QString&, const QString& body) override { notices.append(body); }
};

// Records alerts and answers them as the recording presenter does; while one is up, runs a hook and then a
// nested event loop, as a modal alert does.
struct ModalAlerts : QNRecordingAlertPresenter {
    using QNRecordingAlertPresenter::QNRecordingAlertPresenter;
    std::function<void()> whileShown;
    QNAlertResponse runModal(const QNAlert& alert) override {
        if (whileShown) {
            whileShown();
        }
        QEventLoop loop;
        QTimer::singleShot(0, &loop, &QEventLoop::quit);
        loop.exec();
        return QNRecordingAlertPresenter::runModal(alert);
    }
};

// Opening and closing the tray menu as the user does; offscreen, by the signals its QMenu gives.
inline void openMenu(QNTrayMenu& menu) {
    emit menu.menu()->aboutToShow();
}
inline void closeMenu(QNTrayMenu& menu) {
    emit menu.menu()->aboutToHide();
}
inline void openAndCloseMenu(QNTrayMenu& menu) {
    openMenu(menu);
    closeMenu(menu);
}

// "tag:title" per item, with "*" when marked and "-" when hidden, separators as "tag:---"; joined by "|".
inline QString menuLayout(const QNMenuInterface& menu) {
    QStringList lines;
    for (int index = 0; index < menu.numberOfItems(); ++index) {
        const QNMenuItem* item = menu.itemAtIndex(index);
        lines << QString::number(item->tag()) + u':' + (item->isSeparator() ? QStringLiteral("---") : item->title()) +
                     (item->state() ? QStringLiteral("*") : QString()) +
                     (item->isHidden() ? QStringLiteral("-") : QString());
    }
    return lines.join(u'|');
}
