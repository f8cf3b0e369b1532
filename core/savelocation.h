#pragma once

#include <QString>

// Where a save dialog opens: the folder last saved to or opened from in this run of the panel
// (the working directory before that), with a name that says what the file is and when it was
// written, so that two exports never propose the same name. Kept in memory only.
namespace SaveLocation {

// "FOLDER/trace-2026-12-07T14-03-22.csv" for stem "trace" and suffix "csv", at the given time
// (ms since the epoch; the local date and time, as the operator reads a clock).
QString proposed(const QString &stem, const QString &suffix, qint64 utcMs);
QString proposed(const QString &stem, const QString &suffix);
// The folder of a file the operator chose; later dialogs open there.
void remember(const QString &chosenPath);
QString folder();

} // namespace SaveLocation
