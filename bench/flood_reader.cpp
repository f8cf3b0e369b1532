// The Qt floors of the flood benchmark (bench/flood.py): a reader that any Qt program reading this
// controller pays for, and a naive panel that shows every line it reads. Each reads a serial
// port until it is killed; the benchmark measures its CPU from outside.
//
//   bench_flood_reader bare PORT    QSerialPort, cut at "\r", nothing else
//   bench_flood_reader label PORT   the same, and a shown QLabel set to each line's number

#include <QApplication>
#include <QLabel>
#include <QSerialPort>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char **argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "bare") != 0 && std::strcmp(argv[1], "label") != 0)) {
        std::fprintf(stderr, "usage: bench_flood_reader bare|label PORT\n");
        return 2;
    }
    const bool withLabel = std::strcmp(argv[1], "label") == 0;
    QApplication app(argc, argv);
    QSerialPort port(QString::fromLocal8Bit(argv[2]));
    port.setBaudRate(115200);
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "bench_flood_reader: %s\n", qPrintable(port.errorString()));
        return 2;
    }
    std::unique_ptr<QLabel> label;
    if (withLabel) {
        label = std::make_unique<QLabel>(QStringLiteral("0.000 \u00b5m"));
        label->show();
    }

    QByteArray buffer;
    qint64 lines = 0;
    QObject::connect(&port, &QIODevice::readyRead, [&] {
        buffer += port.readAll();
        int start = 0;
        int cr;
        while ((cr = buffer.indexOf('\r', start)) != -1) {
            if (label) {
                const QByteArray line = buffer.mid(start, cr - start);
                label->setText(QString::fromLatin1(line.mid(4, line.size() - 7)) +
                               QStringLiteral(" \u00b5m"));
            }
            ++lines;
            start = cr + 1;
        }
        buffer.remove(0, start);
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
