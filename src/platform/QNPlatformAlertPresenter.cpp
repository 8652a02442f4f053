#include "platform/QNPlatformAlertPresenter.h"

#include "util/QNStrings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {

// One line, whatever the texts hold: a line break in a profile name must not forge a second line.
QString oneLine(QString text) {
    for (QChar& character : text) {
        if (character == QLatin1Char('\n') || character == QLatin1Char('\r')) {
            character = QLatin1Char(' ');
        }
    }
    return text;
}

} // namespace

bool QNPlatformAlertPresenter::headless() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return true;
    }
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

QString QNPlatformAlertPresenter::headlessLine(const QNAlert& alert) {
    QString line = oneLine(alert.messageText);
    if (!alert.informativeText.isEmpty()) {
        line += QLatin1Char(' ') + oneLine(alert.informativeText);
    }
    return line;
}

QNAlertResponse QNPlatformAlertPresenter::runModal(const QNAlert& alert) {
    if (!headless()) {
        return showMessageBox(alert);
    }
    const QString line = headlessLine(alert);
    std::fprintf(_errorStream, "quillon: %s\n", line.toLocal8Bit().constData());
    std::fflush(_errorStream);
    if (_logSink) {
        _logSink(line);
    }
    return QNAlertDefaultReturn;
}

QNAlertResponse QNPlatformAlertPresenter::showMessageBox(const QNAlert& alert) {
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Quillon"));
    box.setIcon(QMessageBox::Warning);
    box.setText(alert.messageText);
    box.setInformativeText(alert.informativeText);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);

    const QString defaultText =
        alert.defaultButton.isEmpty() ? QNLocalizedString(QStringLiteral("ok")) : alert.defaultButton;
    QPushButton* defaultButton = box.addButton(defaultText, QMessageBox::AcceptRole);
    // No button of a choice is the escape role: Escape or closing the window must not pick one (the
    // alternate button opens a web page, say). Only a lone button is what Escape means.
    QPushButton* alternateButton =
        alert.alternateButton.isEmpty() ? nullptr : box.addButton(alert.alternateButton, QMessageBox::ActionRole);
    QPushButton* otherButton =
        alert.otherButton.isEmpty() ? nullptr : box.addButton(alert.otherButton, QMessageBox::DestructiveRole);
    box.setDefaultButton(defaultButton);
    if (!alternateButton && !otherButton) {
        box.setEscapeButton(defaultButton);
    }

    // The agent has no windows of its own, so the alert must ask to be in front.
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();

    const QAbstractButton* clicked = box.clickedButton();
    if (alternateButton && clicked == alternateButton) {
        return QNAlertAlternateReturn;
    }
    if (otherButton && clicked == otherButton) {
        return QNAlertOtherReturn;
    }
    return QNAlertDefaultReturn;
}
