#include "controlserver.h"
#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    MainWindow window;

    // QApplication has taken its own options; "--port PATH" and "--control [PATH]" are ours.
    // Anything else is ignored.
    const QStringList arguments = QCoreApplication::arguments();
    bool control = false;
    QString controlPath;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--port") && i + 1 < arguments.size())
            window.preselectPort(arguments.at(++i));
        else if (argument.startsWith(QLatin1String("--port=")))
            window.preselectPort(argument.mid(int(qstrlen("--port="))));
        else if (argument == QLatin1String("--control")) {
            control = true;
            if (i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1Char('-')))
                controlPath = arguments.at(++i);
        } else if (argument.startsWith(QLatin1String("--control="))) {
            control = true;
            controlPath = argument.mid(int(qstrlen("--control=")));
        }
    }
    QString controlError;
    if (control && !startControlServer(window, controlPath, &controlError)) {
        fprintf(stderr, "mirastellon: %s\n", qPrintable(controlError));
        return 2;
    }

    // Read from the working directory on purpose: started elsewhere, the window has no icon.
    const QIcon icon(QStringLiteral("images/Mirastellon_Icon_only@500x.png"));
    window.setWindowIcon(icon);
    window.show();
    return app.exec();
}
