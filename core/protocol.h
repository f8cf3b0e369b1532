#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

// The line protocol spoken with the stage controller: the command texts the panel sends and the
// rules by which it recognises and cuts the controller's reply lines. Nothing here touches a
// widget or the port, so every rule can be checked on plain bytes.
namespace Protocol {

inline constexpr char kInform[] = ">inform\r";
inline constexpr char kStatus[] = ">status\r";
inline constexpr char kCurrentPosition[] = ">cp\r";
inline constexpr char kStop[] = ">stop\r";
inline constexpr char kHome[] = ">home\r";
inline constexpr char kStepReverse[] = ">re\r";
inline constexpr char kStepForward[] = ">fo\r";
inline constexpr char kAutoCalibrate[] = ">auto\r";
inline constexpr char kBi[] = ">bi\r";
inline constexpr char kDuration[] = ">duration ";
inline constexpr char kInterval[] = ">interval ";
inline constexpr char kCycle[] = ">cycle ";

inline constexpr char kModel1804[] = "1804";
inline constexpr char kModel1901[] = "1901";

// A partial reply longer than this is not a reply but noise; it is dropped up to its "\r".
inline constexpr int kMaxReplyLength = 4096;
// The longest command line, without its "\r", that the controller takes; a longer console line
// is refused rather than sent.
inline constexpr int kMaxCommandLength = 4096;

// Absolute move to a target in micrometres. Moves carry no "\r": the controller ends a move at
// the next ">".
QByteArray moveTo(double targetUm);
// Absolute move to a slider position in whole micrometres. The tenths the controller takes are
// clamped to the int range, so a position near the int limits never wraps into a wrong target.
QByteArray moveToSliderPosition(int positionUm);
// Relative move by a step in micrometres, signed by the caller's direction.
QByteArray moveBy(double stepUm, bool forward);
// ">duration 100\r" and its kin.
QByteArray driveParameter(const char *keyword, int value);

struct Identity {
    QString model;
    QString firmware;
};
// The model and firmware an identification line names, or nothing for any other line, for an
// identification line too short to hold its firmware digits and for one whose firmware bytes are
// not digits (an error reply that happens to contain "Ver").
std::optional<Identity> identify(const QByteArray &line);

enum class Dialect { Unidentified, Model1804, Model1901Fw126, Model1901Fw3, Model1901Other };
Dialect dialectOf(const QString &model, const QString &firmware);

enum class ReplyKind { Position, Status, Offset, Echo, Drop };
// What a line means in a dialect, after the identification step has run on it.
ReplyKind classify(Dialect dialect, const QByteArray &line);

// The controller's own digits of a position line, cut where the dialect puts them.
QString positionText(Dialect dialect, const QString &line);
// The number of a position line: positionText(dialect, line decoded) converted with
// QString::toDouble, 0.0 when it is not a number. A plain decimal on an ASCII line is read
// straight from the bytes, since a flood of position lines spends most of its time here.
double positionValue(Dialect dialect, const QByteArray &line);
// The number text of an offset line: after the first "t" and the byte that follows it.
QString offsetText(const QByteArray &line);
// The offset, in tenths of a micrometre, that an offset text names; a text that is no number reads
// as 0. Nothing when the value is not finite or would put an end of the travel outside the int
// micrometres the slider and the move arithmetic work in.
std::optional<double> acceptedOffset(const QString &offsetText, double travelRangeUm);
// The calibration state at index 8 of a status line; nothing when the line is too short.
std::optional<QChar> calibrationState(const QString &line);

// Names the controller in the connection text right after the port name, replacing a name put
// there by an earlier identification. The text is returned unchanged when it lacks the port name.
QString withControllerName(const QString &statusText, const QString &portName,
                           const QString &model);

// One command of a line: ">ma 100" is the keyword "ma" and the argument "100".
struct Command {
    QByteArray keyword;
    QByteArray argument;
};
// The commands a line holds, cut at each ">": a typed line may carry several (">ma 100>cp"), and
// the controller ends a command at the next ">" as well as at "\r". Text before the first ">"
// and empty commands are no commands.
QVector<Command> splitCommands(const QByteArray &line);
// Commands that set the stage in motion (">stop" is not one of them).
bool isMotionCommand(const QByteArray &keyword);
// The argument of ">ma" or ">mr" in tenths of a micrometre, when it is a plain finite number.
std::optional<double> moveArgumentTenths(const QByteArray &argument);

// A reply by which the controller refuses a command ("_err busy").
bool isErrorReply(const QByteArray &line);
// The controller's reason in an error reply: "busy" of "_err busy\r".
QString errorReplyReason(const QByteArray &line);

// Truncates toward zero like a cast, but maps NaN to 0 and saturates at the int range, since a
// controller can send any number text.
int truncateToInt(double value);

} // namespace Protocol
