#pragma once

#include <QFile>
#include <QString>

#include <functional>

// A file written a line at a time, each line handed to the system as it is written so that a
// crash of the program loses nothing already written. When a line would take the file past its
// size limit, the file becomes PATH.1 (PATH.1 becomes PATH.2, and so on; the oldest beyond the
// number kept goes) and a new PATH begins. An existing PATH is continued, not replaced.
class RotatingFile {
public:
    static constexpr qint64 kDefaultMaxBytes = 10 * 1000 * 1000;
    // PATH and PATH.1 to PATH.4.
    static constexpr int kDefaultKeep = 5;

    // Called with a new file's first lines before anything else goes in, at open and after each
    // rotation; may return nothing.
    using Preamble = std::function<QByteArray(bool rotated)>;

    RotatingFile() = default;
    ~RotatingFile();
    RotatingFile(const RotatingFile &) = delete;
    RotatingFile &operator=(const RotatingFile &) = delete;

    // Opens path for appending. On failure returns false with the reason in error.
    bool open(const QString &path, qint64 maxBytes, int keep, Preamble preamble, QString *error);
    // Writes one or more whole lines. On failure (a full disk, a file gone read-only) returns
    // false with the reason in error and closes the file: nothing more is written.
    bool writeLines(const QByteArray &lines, QString *error);
    void close();
    bool isOpen() const { return file.isOpen(); }
    QString path() const { return filePath; }
    // What the current file holds, in bytes.
    qint64 size() const { return written; }

    // PATH.n, the name of the nth older file.
    static QString olderName(const QString &path, int n);

private:
    bool rotate(bool continued, QString *error);
    bool openCurrent(bool rotated, QString *error);
    bool fail(const QString &reason, QString *error);

    QFile file;
    QString filePath;
    qint64 limit = kDefaultMaxBytes;
    int kept = kDefaultKeep;
    Preamble firstLines;
    qint64 written = 0;
};
