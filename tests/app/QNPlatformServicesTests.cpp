#include "platform/QNPlatformAlertPresenter.h"
#include "platform/QNPlatformSystemServices.h"
#include "support/QNFakePrograms.h"
#include "support/QNScopedEnvironment.h"
#include "support/QNTestWait.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(SystemServices, RunTheirProgramsAndWaitOrDoNothingWithoutThem) {
    QTemporaryDir dir;
    QNFakePrograms fakes(dir.filePath("bin"), {"resolvectl", "pkexec"});
    QNPlatformSystemServices services("/opt/q/share/quillon/uninstall.sh", dir.path());
    {
        // The services look their programs up on PATH when they run them.
        QNScopedEnvironment path("PATH", QFile::encodeName(fakes.searchPath()));
        services.clearDNSCache();
        // Waited for: the record is there as soon as the call returns.
        EXPECT_EQ(fakes.calls(), QStringList{"resolvectl flush-caches"});
        services.runUninstallScript();
        EXPECT_EQ(fakes.calls().value(1), "pkexec /opt/q/share/quillon/uninstall.sh");
    }
    QNScopedEnvironment nowhere("PATH", QFile::encodeName(dir.filePath("empty")));
    services.clearDNSCache();
    services.runUninstallScript();
    EXPECT_EQ(fakes.calls().size(), 2);

    // A hung program is ended at the limit.
    EXPECT_TRUE(QNPlatformSystemServices::runAndWait("/bin/sleep", {"600"}, 200));
    EXPECT_FALSE(QNPlatformSystemServices::runAndWait(dir.filePath("missing"), {}, 1000));
}

// "Settings…" opens the settings window when there is one, else quillonctl in a terminal.
TEST(SystemServices, SettingsOpenTheWindowOrFallBackToATerminal) {
    QTemporaryDir dir;
    QNFakePrograms withWindow(dir.filePath("window"), {"quillon-settings", "x-terminal-emulator"});
    QNFakePrograms terminalOnly(dir.filePath("terminal"), {"x-terminal-emulator"});
    QNPlatformSystemServices services("/opt/q/share/quillon/uninstall.sh", dir.path());
    for (const auto& [fakes, expected] : {std::pair<const QNFakePrograms*, QString>{&withWindow, "quillon-settings"},
                                          {&terminalOnly, "x-terminal-emulator -e quillonctl"}}) {
        QNScopedEnvironment path("PATH", QFile::encodeName(fakes->searchPath()));
        services.openSettingsTool();
        // Started, not waited for.
        EXPECT_TRUE(qnWaitUntil([&] { return !fakes->calls().isEmpty(); }));
        EXPECT_EQ(fakes->calls().join(u'|').trimmed(), expected);
    }
}

// Headless, an alert is one line on stderr and in the log, answered with the default button.
TEST(AlertPresenter, HeadlessAlertIsOneLineAndTheDefaultAnswer) {
    ASSERT_TRUE(QNPlatformAlertPresenter::headless());
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    QNPlatformAlertPresenter presenter;
    presenter.setErrorStream(stream);
    QStringList logged;
    presenter.setLogSink([&](const QString& line) { logged << line; });
    const QNAlert alert{"The SSH tunnel failed: Office\nproxy", "authentication was denied", "OK", "Cancel", "Skip"};
    EXPECT_EQ(presenter.runModal(alert), QNAlertDefaultReturn);
    const QString line = "The SSH tunnel failed: Office proxy authentication was denied";
    EXPECT_EQ(logged, QStringList{line});

    std::rewind(stream);
    char buffer[1024] = {};
    const size_t length = std::fread(buffer, 1, sizeof buffer - 1, stream);
    std::fclose(stream);
    EXPECT_EQ(QString::fromLocal8Bit(buffer, qsizetype(length)), QStringLiteral("quillon: ") + line + u'\n');
}

// On a display: one button per text, each answering for itself. Escape answers a lone button but picks
// none of a choice (the alternate button may open a web page).
TEST(AlertPresenter, MessageBoxButtonsAnswerForThemselves) {
    const QNAlert choice{"A newer version", QString(), "Download", "Learn More", "Skip This Version"};
    const QNAlert lone{"Bad port", QString(), "OK", QString(), QString()};
    struct Case {
        QNAlert alert;
        QString click; // null: Escape alone
        QNAlertResponse expected;
    };
    const Case cases[] = {
        {choice, "Download", QNAlertDefaultReturn},
        {choice, "Learn More", QNAlertAlternateReturn},
        {choice, "Skip This Version", QNAlertOtherReturn},
        {lone, QString(), QNAlertDefaultReturn},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.click.toStdString());
        QStringList buttons;
        bool openAfterEscape = false;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            for (const QAbstractButton* button : box->buttons()) {
                buttons << button->text();
            }
            QTest::keyClick(box, Qt::Key_Escape);
            openAfterEscape = box->isVisible();
            for (QAbstractButton* button : box->buttons()) {
                if (button->text() == c.click && box->isVisible()) {
                    button->click();
                }
            }
        });
        EXPECT_EQ(QNPlatformAlertPresenter::showMessageBox(c.alert), c.expected);
        buttons.sort();
        QStringList texts{c.alert.defaultButton, c.alert.alternateButton, c.alert.otherButton};
        texts.removeAll(QString());
        texts.sort();
        EXPECT_EQ(buttons, texts);
        EXPECT_EQ(openAfterEscape, !c.click.isNull());
    }
}

} // namespace
