#pragma once

#include <QString>

// A modal alert as the user sees it. Empty button texts mean no such button.
struct QNAlert {
    QString messageText;
    QString informativeText;
    QString defaultButton;
    QString alternateButton;
    QString otherButton;
};

enum QNAlertResponse {
    QNAlertDefaultReturn,
    QNAlertAlternateReturn,
    QNAlertOtherReturn,
};

// Shows modal alerts for code that must not know about displays. The implementation brings the
// application to the front first and returns only once the user has answered; without a display it
// reports the alert some other way and answers with the default button.
class QNAlertPresenter {
public:
    QNAlertPresenter() = default;
    QNAlertPresenter(const QNAlertPresenter&) = delete;
    QNAlertPresenter& operator=(const QNAlertPresenter&) = delete;
    virtual ~QNAlertPresenter() = default;

    virtual QNAlertResponse runModal(const QNAlert& alert) = 0;
    // False when nobody can answer: the alert is only reported and its answer is the default button,
    // which is no one's choice.
    virtual bool interactive() const { return true; }
};
