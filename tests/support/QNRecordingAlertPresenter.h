#pragma once

#include "util/QNAlertPresenter.h"

#include <QList>

// Keeps every alert it is asked to show and answers each with a fixed response, so code that reports
// problems through alerts is tested without a display.
class QNRecordingAlertPresenter : public QNAlertPresenter {
public:
    explicit QNRecordingAlertPresenter(QNAlertResponse response = QNAlertDefaultReturn)
        : _response(response) {}

    QNAlertResponse runModal(const QNAlert& alert) override {
        _alerts.append(alert);
        return _response;
    }

    bool interactive() const override { return _interactive; }
    // As a headless presenter: reports alerts and answers the default button by itself.
    void setInteractive(bool interactive) { _interactive = interactive; }

    const QList<QNAlert>& alerts() const { return _alerts; }
    void clear() { _alerts.clear(); }

private:
    QNAlertResponse _response;
    bool _interactive = true;
    QList<QNAlert> _alerts;
};
