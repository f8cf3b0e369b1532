#pragma once

#include "scriptedstage.h"

#include <QStringList>

#include <cmath>
#include <functional>

// A scripted DVX1901 on the open-loop page whose stage moves like a stick-slip drive: every
// step moves it at once by the size of its direction, after the slack a reversal takes up. It
// records the commands it is given ("duration 10", "fo", "stop", "cp") and answers position
// requests only when the test says so, as a controller on the far end of a line would.
class SteppingStage : public ScriptedStage {
public:
    double positionUm = 1000.0;
    double forwardUm = 0.83;
    double reverseUm = 0.71;
    double reversalLossSteps = 3.0;
    QStringList commands;
    int unanswered = 0;

    SteppingStage()
    {
        now.connected = true;
        now.model = QStringLiteral("1901");
        now.firmware = QStringLiteral("3.12");
        now.closedLoop = false;
        now.durationMs = 10;
        now.intervalMs = 1;
        now.cycles = 1;
    }

    CommandResult setOpenLoop(std::optional<int> d, std::optional<int> i, std::optional<int> c,
                              const Mover &who) override
    {
        if (auto busy = refuseIfBusy(who))
            return *busy;
        for (const auto &field : {std::make_pair("duration", d), std::make_pair("interval", i),
                                  std::make_pair("cycle", c)}) {
            if (field.second)
                commands
                    << QStringLiteral("%1 %2").arg(QLatin1String(field.first)).arg(*field.second);
        }
        return {};
    }
    CommandResult step(bool forward, const Mover &who) override
    {
        if (!now.connected)
            return CommandResult::refused(CommandResult::Code::NotConnected, QStringLiteral("no"));
        if (auto busy = refuseIfBusy(who))
            return *busy;
        const int direction = forward ? 1 : -1;
        if (lastDirection != 0 && lastDirection != direction)
            slack = reversalLossSteps;
        lastDirection = direction;
        commands << (forward ? QStringLiteral("fo") : QStringLiteral("re"));
        const double idle = std::min(1.0, slack);
        slack -= idle;
        positionUm += direction * (1.0 - idle) * (forward ? forwardUm : reverseUm);
        emit panelEvent(
            PanelEvent{PanelEvent::Kind::OpenLoopStep,
                       forward ? QStringLiteral("forward") : QStringLiteral("reverse")});
        return {};
    }
    CommandResult stop(const Mover &) override
    {
        commands << QStringLiteral("stop");
        emit panelEvent(PanelEvent{PanelEvent::Kind::Stop, QString()});
        return {};
    }
    CommandResult requestPosition() override
    {
        if (!now.connected)
            return CommandResult::refused(CommandResult::Code::NotConnected, QStringLiteral("no"));
        commands << QStringLiteral("cp");
        ++unanswered;
        return {};
    }

    // Answers every request not answered yet with the position.
    void answer()
    {
        while (unanswered > 0) {
            --unanswered;
            report(positionUm, PositionSource::Poll);
        }
    }
    int count(const QString &command) const { return int(commands.count(command)); }

private:
    std::optional<CommandResult> refuseIfBusy(const Mover &who) const
    {
        if (now.motionOwner && *now.motionOwner != who)
            return CommandResult::refused(CommandResult::Code::Busy, QStringLiteral("busy"));
        return std::nullopt;
    }

    int lastDirection = 0;
    double slack = 0.0;
};
