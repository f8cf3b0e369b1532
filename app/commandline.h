#pragma once

#include <QString>
#include <QStringList>

// What the panel was asked for on its command line.
struct CommandLineOptions {
    // Offered as the first port in the settings dialog and selected (empty: none given).
    QString port;
    // --control was given; controlPath is its value, empty for the default socket.
    bool controlRequested = false;
    QString controlPath;
    // --log FILE: the session log, from the start (empty: none).
    QString logPath;
    // --headless: no window and no box, for a machine without a desktop.
    bool headless = false;
    // --reconnect: "Reconnect automatically" is on from the start.
    bool reconnect = false;
    // --trace: the Trace window opens with the main window.
    bool trace = false;
    bool helpRequested = false;
    bool versionRequested = false;
    // Set when the command line is wrong: one line for standard error, without the program name.
    QString error;
};

// Parses the arguments (the program name first). Qt's own options must already be gone, as
// QApplication removes them; given the untouched argv they only show up as errors, and help and
// version requests are still found. Help wins over version, and both win over an error.
CommandLineOptions parseCommandLine(const QStringList &arguments);

// "--help": usage, options and exit status, for standard output.
QString commandLineHelp();
// "--version": program name and version, copyright and licence, for standard output.
QString commandLineVersion();
