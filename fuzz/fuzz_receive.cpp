// Feeds arbitrary byte streams to the panel's receive path (the link's framing, the session's
// reply handling, the window's labels) as a controller of each dialect, or an unidentified one,
// would, and checks after every chunk that the panel still holds together. The panel is connected
// to a pseudo-terminal of the harness's own, so that its connection text is a real one.
//
// Input: the first byte chooses the dialect and the size of the reads, the rest is what arrives on
// the line. With s = first byte - '0': dialect s % 5 (see kIdentification), read size
// kChunkSizes[s / 5 % 4]; so the seeds in fuzz/corpus/receive start with a readable "0" to "4"
// (whole stream in one read, per dialect), "6" (1901 3.x, one byte per read) or "A" (1901 1.26,
// 64 bytes per read).

#include "console.h"
#include "mainwindow.h"
#include "probe.h"
#include "protocol.h"

#include <QApplication>
#include <QLabel>
#include <QSerialPort>
#include <QString>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

const QString kBracket = QStringLiteral(" (DVX");

// Indexed by the dialect number of the input's first byte; the first one identifies nothing.
const char *const kIdentification[] = {
    "",                           // unidentified
    "_Ver 312 DVX1901\r",         // 1901, firmware 3.x
    "_Ver 126 DVX1901\r",         // 1901, firmware 1.26
    "VELDMARK Ver 207 DVX1804\r", // 1804
    "_Ver 200 DVX1901\r",         // 1901, a firmware the panel does not speak
};
constexpr int kDialects = int(sizeof kIdentification / sizeof kIdentification[0]);
const int kChunkSizes[] = {0, 1, 5, 64}; // 0: the whole stream in one read
constexpr int kChunkModes = int(sizeof kChunkSizes / sizeof kChunkSizes[0]);

// Writes to the closed port and the like only warn; anything worse stays visible.
void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg)
        return;
    std::fprintf(stderr, "fuzz_receive: Qt: %s\n", qPrintable(message));
}

struct Harness {
    int argc = 1;
    char name[16] = "fuzz_receive";
    char *argv[2] = {name, nullptr};
    QApplication app{argc, argv};
    Panel panel;
    MainWindow &window = panel.window();
    MainWindowProbe probe{window};
    int controller = -1;
    QString terminal;

    // Whatever the panel wrote goes nowhere, so that its output never backs up.
    void drain() const
    {
        char sink[4096];
        while (::read(controller, sink, sizeof sink) > 0) {
        }
    }
};
Harness *harness = nullptr;

void require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_receive: broken: %s\n", what);
    std::abort();
}

void checkInvariants(const MainWindowProbe &probe)
{
    require(probe.rxBuffer().size() <= Protocol::kMaxReplyLength, "rxBuffer above its cap");

    // Hostile offsets change nothing: the travel stays finite and within int micrometres.
    constexpr double intLowest = std::numeric_limits<int>::min();
    constexpr double intHighest = std::numeric_limits<int>::max();
    for (double end : {probe.sliderMin(), probe.sliderMax()})
        require(std::isfinite(end) && end >= intLowest && end <= intHighest, "travel out of range");
    for (QLabel *label : {probe.ui()->label_Position, probe.ui()->label_Slidermin,
                          probe.ui()->label_Slidermax, probe.statusLabel()})
        require(label->textFormat() == Qt::PlainText, "controller text taken for markup");

    const QString status = probe.statusLabel()->text();
    require(status.count(kBracket) <= 1, "more than one controller bracket in the status text");
    require(status.startsWith(QStringLiteral("Connected to ") + harness->terminal),
            "port name lost");

    const QString &model = probe.controllerModel();
    const QString &firmware = probe.firmwareVersion();
    require(model.isEmpty() == firmware.isEmpty(), "half an identification");
    if (model.isEmpty())
        return;
    require(model == QLatin1String("1804") || model == QLatin1String("1901"), "unknown model");
    require(firmware.size() == 4 && firmware.at(1) == QLatin1Char('.'), "firmware shape");
    for (int i : {0, 2, 3})
        require(firmware.at(i).isDigit(), "firmware of other than digits");
    require(status.contains(kBracket + model + QStringLiteral(") ")),
            "status text does not name the identified model");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(messageHandler);
    harness = new Harness;
    int terminalFd = -1;
    char name[256] = {};
    if (::openpty(&harness->controller, &terminalFd, name, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "fuzz_receive: no pseudo-terminal\n");
        std::abort();
    }
    ::fcntl(harness->controller, F_SETFL, ::fcntl(harness->controller, F_GETFL) | O_NONBLOCK);
    harness->terminal = QString::fromLocal8Bit(name);
    harness->panel.preselectPort(harness->terminal);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    MainWindowProbe &probe = harness->probe;

    // Every input starts from a panel that has just connected.
    const unsigned selector = uint8_t(data[0] - '0');
    const int dialect = int(selector % kDialects);
    const int chunkSize = kChunkSizes[(selector / kDialects) % kChunkModes];
    probe.session.operatorConnect();
    require(probe.serialPort()->isOpen(), "the pseudo-terminal did not open");
    probe.receive(kIdentification[dialect]);
    checkInvariants(probe);

    const char *stream = reinterpret_cast<const char *>(data + 1);
    const int length = int(size - 1);
    const int step = chunkSize > 0 ? chunkSize : qMax(1, length);
    for (int at = 0; at < length; at += step) {
        probe.receive(QByteArray(stream + at, qMin(step, length - at)));
        checkInvariants(probe);
    }
    // Ends whatever partial line is left, so the next input starts with an empty buffer.
    probe.receive("\r");
    checkInvariants(probe);
    require(probe.rxBuffer().isEmpty(), "a carriage return left bytes behind");

    // Forgets the identification and the console's text and delivers the events the widgets
    // queued (as the event loop would between two reads), so what this input allocated is freed
    // within it and the leak check after each input has nothing to find.
    harness->drain();
    probe.session.operatorDisconnect();
    harness->drain();
    probe.console()->clear();
    QCoreApplication::sendPostedEvents();
    return 0;
}
