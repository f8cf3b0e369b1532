#pragma once

#include "stage.h"

#include <QObject>
#include <QPointer>

class QTimer;

// Sends a train of open-loop steps a part at a time, returning to the event loop in between, so
// that a long train never holds the panel up (each step is echoed, announced and written). With
// no event loop running, call sendMore() to send the next part.
class StepSender : public QObject {
    Q_OBJECT

public:
    // About 10 ms of work on a slow machine.
    static constexpr int kStepsPerTurn = 100;

    explicit StepSender(Stage *stage, QObject *parent = nullptr);

    // Sends the first part at once.
    void send(bool forward, int count, const Mover &who);
    void cancel();
    bool isSending() const { return left > 0; }

public slots:
    void sendMore();

signals:
    // Every step is out.
    void sent();
    // A step was refused; the rest were not sent.
    void refused(const QString &reason);

private:
    QPointer<Stage> stage;
    QTimer *next = nullptr;
    bool forward = true;
    int left = 0;
    Mover mover;
    // Bumped by every start and cancel: a step may end the train from inside.
    quint64 generation = 0;
};
