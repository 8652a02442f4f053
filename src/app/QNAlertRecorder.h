#pragma once

#include "util/QNAlertPresenter.h"

#include <functional>
#include <utility>

// Shows alerts through another presenter and tells its owner about each one before it is shown, so what the
// user is being told can be offered to others while a modal alert is still up.
class QNAlertRecorder : public QNAlertPresenter {
public:
    QNAlertRecorder(QNAlertPresenter& presenter, std::function<void(const QString& text)> shown)
        : _presenter(presenter)
        , _shown(std::move(shown)) {}

    QNAlertResponse runModal(const QNAlert& alert) override {
        _shown(alert.informativeText.isEmpty() ? alert.messageText
                                               : alert.messageText + QStringLiteral(": ") + alert.informativeText);
        return _presenter.runModal(alert);
    }
    bool interactive() const override { return _presenter.interactive(); }

private:
    QNAlertPresenter& _presenter;
    std::function<void(const QString& text)> _shown;
};
