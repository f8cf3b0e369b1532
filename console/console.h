#pragma once

#include <QPlainTextEdit>
#include <QStringList>

class Console : public QPlainTextEdit {
    Q_OBJECT

signals:
    void getData(const QByteArray &data);
    // Text just added to the console's end, as it shows it.
    void shown(const QString &text);

public:
    explicit Console(QWidget *parent = nullptr);
    ~Console() override;

    void putData(const QByteArray &data);
    void setLocalEchoEnabled(bool set);
    // Sends a line exactly as if the operator had typed it and pressed Return.
    void submitLine(const QString &line);

protected:
    void mousePressEvent(QMouseEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void contextMenuEvent(QContextMenuEvent *e) override;

private:
    void sendLastLine();
    void recallSentLine(int step);
    void replaceLastLine(const QString &text);

    bool localEchoEnabled = false;
    QStringList textLines;
    QString lastCommand;

    // Lines sent earlier, oldest first, for Up and Down; historyIndex == size() means "past the
    // newest", where Down leaves an empty line.
    QStringList sentLines;
    int historyIndex = 0;
};
