#pragma once

#include <QString>

// What the operator's controls show and allow, as the session decides it: which are enabled,
// their colours and captions, the page of the loop-mode tabs, the open-loop parameters and the
// connection text. The window applies it as it is; nothing here is a widget.
struct PanelControls {
    // The tool bar's actions.
    bool connectAction = true;
    bool disconnectAction = false;
    bool configureAction = true;

    bool console = false;
    bool consoleLocalEcho = false;

    bool home = false;
    bool autoCalibrate = false;
    bool stop = false;
    bool target = false;
    bool step = false;
    bool minus = false;
    bool plus = false;
    bool slider = false;
    bool sliderLabels = true;
    bool tabs = false;
    // 0 "Closed Loop", 1 "Open Loop".
    int page = 0;

    // Style sheets: "", "color: red", "color: green", "color: grey".
    QString homeStyle;
    QString autoCalibrateText = QStringLiteral("AutoCalibrate");
    QString autoCalibrateStyle;

    int sliderMinimum = -250;
    int sliderMaximum = 6250;
    QString sliderMinText = QStringLiteral("-250\u00b5m");
    QString sliderMaxText = QStringLiteral("6250\u00b5m");

    int durationMs = 100;
    int intervalMs = 500;
    int cycles = 1;

    // The connection text of the status bar.
    QString connectionText;

    // While someone else holds the stage's motion (a sequence run, a script's waiting move, the
    // calibration), the move controls are locked and this says why; Stop stays usable.
    QString lockReason;

    bool locked() const { return !lockReason.isEmpty(); }
};
