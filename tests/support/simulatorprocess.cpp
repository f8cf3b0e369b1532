#include "simulatorprocess.h"

#include <QTest>

bool SimulatorProcess::start(const QStringList &arguments)
{
    stop();
    terminal.clear();
    process.setProgram(QString::fromLocal8Bit(qgetenv("DVXSIM")));
    process.setArguments(arguments);
    process.start();
    const bool replied = QTest::qWaitFor(
        [this] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 5000);
    if (!replied || !process.canReadLine())
        return false;
    const QByteArray prefix("dvxsim: listening on ");
    const QByteArray line = process.readLine().trimmed();
    if (!line.startsWith(prefix))
        return false;
    terminal = QString::fromLocal8Bit(line.mid(prefix.size()));
    return true;
}

bool SimulatorProcess::stop()
{
    if (process.state() == QProcess::NotRunning)
        return true;
    process.terminate();
    if (QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, 3000))
        return true;
    process.kill();
    process.waitForFinished(3000);
    return false;
}

bool SimulatorProcess::exited()
{
    return QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, 5000);
}

QString SimulatorProcess::diagnostics()
{
    return QString::fromLocal8Bit(process.readAllStandardError());
}
