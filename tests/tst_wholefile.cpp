// Every file the panel writes is whole or not written at all. On a real full file system (a small
// tmpfs, mounted where the test runs as root) each writer reports the failure to the operator,
// leaves no empty or partial file behind, and a file it was saving over keeps its old content.

#include "messageboxwatcher.h"
#include "scriptedstage.h"
#include "sequencecsv.h"
#include "sequencemodel.h"
#include "sequencerunner.h"
#include "sequencewindow.h"
#include "tracerecorder.h"
#include "tracewindow.h"
#include "wholefile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

enum class Writer { TraceCsv, MovesCsv, ImagePng, ImageSvg, Sequence, RunLog, Bytes, Stream };

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

bool runQuietly(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

} // namespace

Q_DECLARE_METATYPE(Writer)

class TestWholeFile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void fullFileSystem_data();
    void fullFileSystem();
    void writerThatFailsKeepsTheOldFile();
    void replacesAndReportsMissingFolder();

private:
    // Writes with the panel's own code, as the operator's button would; variant changes the
    // content. Returns what the writer reported; boxes records what the operator saw.
    bool write(Writer writer, const QString &path, int variant);
    // Fills the mounted file system to the last byte with one file of its own.
    void fill();

    QTemporaryDir scratch;
    QString mountPoint;
    QString whyNotMounted;
    // What the writers without a window of their own returned.
    QStringList errors;
    ScriptedStage stage;
    TraceRecorder *recorder = nullptr;
    TraceWindow *trace = nullptr;
    SequenceRunner *runner = nullptr;
    SequenceWindow *sequence = nullptr;
};

void TestWholeFile::initTestCase()
{
    recorder = new TraceRecorder(&stage);
    trace = new TraceWindow(recorder);
    trace->resize(480, 360);
    trace->show();
    runner = new SequenceRunner(&stage);
    sequence = new SequenceWindow(runner);
    // A recording with a finished move, so every trace file has rows.
    stage.now.connected = true;
    stage.now.closedLoop = true;
    emit stage.panelEvent(PanelEvent{PanelEvent::Kind::Connected, QStringLiteral("/dev/pts/9")});
    stage.report(0.0);
    emit stage.targetCommanded(100.0);
    for (int i = 1; i <= 20; ++i)
        stage.report(qMin(100.0, i * 10.0));
    trace->recorder()->updateMoves();
    QVERIFY(trace->recorder()->moveCount() > 0);

    if (::geteuid() != 0) {
        whyNotMounted = QStringLiteral("not root: no small tmpfs can be mounted to fill up");
        return;
    }
    const QString point = scratch.filePath(QStringLiteral("full"));
    QVERIFY(QDir().mkpath(point));
    if (!runQuietly(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                     QStringLiteral("size=256k"), QStringLiteral("tmpfs"), point})) {
        whyNotMounted = QStringLiteral("mount -t tmpfs failed (no CAP_SYS_ADMIN here?)");
        return;
    }
    mountPoint = point;
}

void TestWholeFile::cleanupTestCase()
{
    delete sequence;
    delete runner;
    delete trace;
    delete recorder;
    // Runs whatever failed before; the temporary folder cannot go while something is mounted.
    if (!mountPoint.isEmpty() && !runQuietly(QStringLiteral("umount"), {mountPoint}) &&
        !runQuietly(QStringLiteral("umount"), {QStringLiteral("-l"), mountPoint}))
        qWarning("could not unmount %s", qPrintable(mountPoint));
}

void TestWholeFile::cleanup()
{
    errors.clear();
    if (mountPoint.isEmpty())
        return;
    for (const QString &name : filesIn(mountPoint))
        QFile::remove(QDir(mountPoint).filePath(name));
}

bool TestWholeFile::write(Writer writer, const QString &path, int variant)
{
    switch (writer) {
    case Writer::TraceCsv:
        for (int i = 0; i < variant; ++i)
            stage.report(100.0 + i);
        return trace->exportTrace(path);
    case Writer::MovesCsv:
        return trace->exportMoves(path);
    case Writer::ImagePng:
        return trace->saveImage(path);
    case Writer::ImageSvg:
        return trace->saveImage(path);
    case Writer::Sequence:
        sequence->model()->setSteps(Sequence::linearScan(0.0, 100.0 * variant, 5, 10, false));
        return sequence->saveFile(path);
    case Writer::RunLog:
        return sequence->exportLog(path);
    case Writer::Bytes:
        errors << WholeFile::writeBytes(path, QByteArray(100, char('0' + variant)));
        return errors.last().isEmpty();
    case Writer::Stream:
        // Larger than the device's buffer: the failure shows while writing, not at the flush.
        errors << WholeFile::writeStream(path, [variant](QIODevice *device) {
            for (int i = 0; i < 64; ++i)
                device->write(QByteArray(1024, char('a' + variant)));
            return true;
        });
        return errors.last().isEmpty();
    }
    return false;
}

void TestWholeFile::fill()
{
    QFile filler(QDir(mountPoint).filePath(QStringLiteral("filler")));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray page(4096, 'f');
    // Bounded by the file system's size; the last write is the one that finds no room.
    for (int i = 0; i < 1024 && filler.write(page) == page.size(); ++i) {
    }
    while (filler.write("f", 1) == 1) {
    }
    QCOMPARE(filler.error(), QFileDevice::ResourceError); // no space left
}

void TestWholeFile::fullFileSystem_data()
{
    QTest::addColumn<Writer>("writer");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("boxTitle"); // empty: the caller sees the message itself

    QTest::newRow("trace: Export CSV") << Writer::TraceCsv << "trace.csv"
                                       << "Error";
    QTest::newRow("trace: Export moves") << Writer::MovesCsv << "moves.csv"
                                         << "Error";
    QTest::newRow("trace: Save image, PNG") << Writer::ImagePng << "trace.png"
                                            << "Error";
    QTest::newRow("trace: Save image, SVG") << Writer::ImageSvg << "trace.svg"
                                            << "Error";
    QTest::newRow("sequence: Save") << Writer::Sequence << "scan.csv"
                                    << "Save sequence";
    QTest::newRow("sequence: Export log") << Writer::RunLog << "log.csv"
                                          << "Export log";
    QTest::newRow("bytes") << Writer::Bytes << "bytes.bin" << QString();
    QTest::newRow("stream beyond the buffer") << Writer::Stream << "stream.bin" << QString();
}

void TestWholeFile::fullFileSystem()
{
    QFETCH(Writer, writer);
    QFETCH(QString, name);
    QFETCH(QString, boxTitle);
    if (mountPoint.isEmpty())
        QSKIP(qPrintable(whyNotMounted));
    MessageBoxWatcher boxes;

    // With room, the file is written and nothing is said.
    const QString good = QDir(mountPoint).filePath(name);
    QVERIFY(write(writer, good, 1));
    const QByteArray before = contentOf(good);
    QVERIFY(!before.isEmpty());
    QCOMPARE(boxes.count(), 0);

    fill();
    const QStringList present = filesIn(mountPoint);

    // A new file: refused, said, and nothing of it left behind.
    const QString fresh = QDir(mountPoint).filePath(QStringLiteral("new-") + name);
    QVERIFY(!write(writer, fresh, 2));
    QCOMPARE(filesIn(mountPoint), present);
    // Over the good file: refused, said, and the good file as it was.
    QVERIFY(!write(writer, good, 3));
    QCOMPARE(filesIn(mountPoint), present);
    QCOMPARE(contentOf(good), before);

    // Each failure said so, naming the file and the reason.
    const QStringList expected = {
        QStringLiteral("Cannot write %1: No space left on device").arg(fresh),
        QStringLiteral("Cannot write %1: No space left on device").arg(good)};
    if (boxTitle.isEmpty()) {
        QCOMPARE(errors.mid(1), expected);
        QCOMPARE(boxes.count(), 0);
    } else {
        QCOMPARE(boxes.texts, expected);
        QCOMPARE(boxes.titles, QStringList({boxTitle, boxTitle}));
    }
}

void TestWholeFile::writerThatFailsKeepsTheOldFile()
{
    const QString path = scratch.filePath(QStringLiteral("kept.txt"));
    QCOMPARE(WholeFile::writeBytes(path, "old content\n"), QString());
    const QString error = WholeFile::writeStream(path, [](QIODevice *device) {
        device->write("half of the new");
        return false;
    });
    QCOMPARE(error, QStringLiteral("Cannot write %1: the content could not be produced").arg(path));
    QCOMPARE(contentOf(path), QByteArray("old content\n"));
    QCOMPARE(filesIn(scratch.path()), QStringList{QStringLiteral("kept.txt")});
}

void TestWholeFile::replacesAndReportsMissingFolder()
{
    const QString path = scratch.filePath(QStringLiteral("replaced.txt"));
    QCOMPARE(WholeFile::writeBytes(path, QByteArray(100000, 'a')), QString());
    QCOMPARE(WholeFile::writeBytes(path, "short"), QString());
    QCOMPARE(contentOf(path), QByteArray("short"));
    // An empty content is a file of its own, not a failure.
    QCOMPARE(WholeFile::writeBytes(path, QByteArray()), QString());
    QVERIFY(QFileInfo::exists(path));
    QCOMPARE(contentOf(path), QByteArray());

    const QString nowhere = scratch.filePath(QStringLiteral("no/such/folder/x.txt"));
    const QString error = WholeFile::writeBytes(nowhere, "x");
    QVERIFY2(error.startsWith(QStringLiteral("Cannot write %1: ").arg(nowhere)), qPrintable(error));
    QVERIFY(!QFileInfo::exists(nowhere));
}

QTEST_MAIN(TestWholeFile)
#include "tst_wholefile.moc"
