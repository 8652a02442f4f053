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

    const QList<QNAlert>& alerts() const { return _alerts; }
    void clear() { _alerts.clear(); }

private:
    QNAlertResponse _response;
    QList<QNAlert> _alerts;
};
