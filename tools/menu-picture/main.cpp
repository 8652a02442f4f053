// menu-picture: builds the agent's real status menu with sample profiles and live-looking statistics and
// saves it as a picture, under a panel strip that carries the status icon.
//
// Usage: menu-picture [OUTPUT.png]   (default docs/menu.png; run with QT_QPA_PLATFORM=offscreen or under Xvfb)

#include "app/QNStatusMenu.h"
#include "app/QNTrayMenu.h"
#include "model/QNProfile.h"
#include "platform/QNSystemServices.h"
#include "util/QNStrings.h"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyleFactory>

#include <cstdio>

namespace {

struct SampleOwner : QNStatusMenuOwner {
    QList<std::shared_ptr<QNProfile>> profileList;
    qint64 activeProfileIdentifier() const override { return 2; }
    const QList<std::shared_ptr<QNProfile>>& profiles() const override { return profileList; }
    qint32 connections() const override { return 42; }
    quint64 dataSent() const override { return 19'188'000; }
    quint64 dataReceived() const override { return 257'530'000; }
    void profileChosen(qint64) override {}
    void quitChosen() override {}
};

struct NoServices : QNSystemServices {
    void clearDNSCache() override {}
    void runUninstallScript() override {}
    bool openUrl(const QUrl&) override { return false; }
    void openSettingsTool() override {}
};

// A dark panel strip across the top with the status icon in its highlighted state, the menu hanging below.
QPixmap compose(const QPixmap& menu, const QString& iconPath) {
    const qreal ratio = menu.devicePixelRatio();
    const int menuWidth = int(menu.width() / ratio);
    const int menuHeight = int(menu.height() / ratio);
    const int margin = 24;
    const int panelHeight = 30;
    const int width = menuWidth + 2 * margin + 60;
    const int height = panelHeight + menuHeight + margin + 6;

    QPixmap canvas(QSize(width, height) * ratio);
    canvas.setDevicePixelRatio(ratio);
    canvas.fill(QColor(0xe9, 0xec, 0xef));
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::Antialiasing);

    painter.fillRect(QRect(0, 0, width, panelHeight), QColor(0x24, 0x27, 0x2b));
    const int iconX = margin + menuWidth - 34;
    painter.fillRect(QRect(iconX - 5, 0, 32, panelHeight), QColor(0x3b, 0x41, 0x48));
    QIcon(iconPath).paint(&painter, QRect(iconX, 4, 22, 22));
    painter.setPen(QColor(0xdd, 0xdd, 0xdd));
    painter.drawText(QRect(iconX + 34, 0, 60, panelHeight), Qt::AlignVCenter, QStringLiteral("14:05"));

    // A soft shadow, then the menu itself.
    const QRect menuRect(margin, panelHeight + 2, menuWidth, menuHeight);
    for (int i = 4; i >= 1; --i) {
        QPainterPath shadow;
        shadow.addRoundedRect(menuRect.adjusted(-i, -i + 2, i, i + 2), 4 + i, 4 + i);
        painter.fillPath(shadow, QColor(0, 0, 0, 14));
    }
    painter.drawPixmap(menuRect.topLeft(), menu);
    return canvas;
}

} // namespace

int main(int argc, char** argv) {
    // Drawn at twice the size so the picture stays sharp on high-density screens.
    if (qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR")) {
        qputenv("QT_SCALE_FACTOR", "2");
    }
    QApplication application(argc, argv);
    const QString output =
        QApplication::arguments().size() > 1 ? QApplication::arguments().at(1) : QStringLiteral("docs/menu.png");
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(style);
    }

    SampleOwner owner;
    owner.profileList = {
        QNProfile::profileWithName(QStringLiteral("Home"), {}, {}, {}, 1),
        QNProfile::profileWithName(QStringLiteral("Office VPN gateway"), {}, {}, {}, 2),
        QNProfile::profileWithName(QStringLiteral("Café via SSH tunnel"), {}, {}, {}, 3),
    };
    NoServices services;
    QNTrayMenu tray;
    QNStatusMenu statusMenu(tray, owner, services, QNStrings::mainBundle());
    statusMenu.showInMenuBar(true);
    statusMenu.menuNeedsUpdate();

    QMenu* menu = tray.menu();
    menu->ensurePolished();
    menu->adjustSize();
    const QPixmap picture = compose(menu->grab(), QNTrayMenu::imagePath(QStringLiteral("menuIconOnSelected")));
    if (!picture.save(output)) {
        std::fprintf(stderr, "menu-picture: cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s\n", qPrintable(output));
    return 0;
}
