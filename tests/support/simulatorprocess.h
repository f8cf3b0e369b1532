#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// One dvxsim (named by the DVXSIM environment variable) for one test: started with arguments,
// its terminal read from its first line of output, ended with the test.
class SimulatorProcess {
public:
    SimulatorProcess() = default;
    ~SimulatorProcess() { stop(); }
    SimulatorProcess(const SimulatorProcess &) = delete;
    SimulatorProcess &operator=(const SimulatorProcess &) = delete;

    // Starts dvxsim (ending one started before) and reads the terminal it listens on.
    bool start(const QStringList &arguments);
    // Ends the process and waits for it. False when it ignored SIGTERM and had to be killed.
    bool stop();
    // Waits up to 5 s for the process to end by itself (a hang-up it was asked for).
    bool exited();
    // What it wrote to standard error so far.
    QString diagnostics();

    QProcess process;
    QString terminal;
};
