// The window icon read from its file only when drawn: the same images as QIcon(fileName) gives,
// and nothing at all, without complaint, when the file is not there.

#include "mainwindow.h"
#include "windowicon.h"

#include <QTemporaryDir>
#include <QtTest>

class TestWindowIcon : public QObject {
    Q_OBJECT

private slots:
    void sameImagesAsTheFile();
    void missingOrBrokenFile();
};

void TestWindowIcon::sameImagesAsTheFile()
{
    const QString path = QFINDTESTDATA("../images/Mirastellon_Icon_only@500x.png");
    QVERIFY(!path.isEmpty());
    const QIcon direct(path);
    const QIcon lazy = windowIconFromFile(path);
    QVERIFY(!lazy.isNull());
    QCOMPARE(lazy.availableSizes(), direct.availableSizes());
    for (const QSize size : {QSize(16, 16), QSize(48, 48), QSize(256, 256)}) {
        QCOMPARE(lazy.actualSize(size), direct.actualSize(size));
        QCOMPARE(lazy.pixmap(size).toImage(), direct.pixmap(size).toImage());
    }

    MainWindow window;
    window.setWindowIcon(lazy);
    QCOMPARE(window.windowIcon().pixmap(QSize(256, 256)).toImage(),
             direct.pixmap(QSize(256, 256)).toImage());
    const QIcon copy = window.windowIcon();
    QCOMPARE(copy.pixmap(QSize(32, 32)).toImage(), direct.pixmap(QSize(32, 32)).toImage());
}

void TestWindowIcon::missingOrBrokenFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QIcon missing = windowIconFromFile(dir.filePath(QStringLiteral("none.png")));
    QVERIFY(missing.isNull());
    QVERIFY(missing.availableSizes().isEmpty());
    QVERIFY(missing.pixmap(QSize(64, 64)).isNull());
    QVERIFY(windowIconFromFile(dir.path()).isNull()); // a directory is no image

    // A file that is no image gives no picture, as QIcon(fileName) does.
    QFile broken(dir.filePath(QStringLiteral("broken.png")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("\x89PNG\r\n\x1a\n but then nothing");
    broken.close();
    const QIcon lazy = windowIconFromFile(broken.fileName());
    QVERIFY(lazy.pixmap(QSize(64, 64)).isNull());
    QCOMPARE(lazy.availableSizes(), QIcon(broken.fileName()).availableSizes());
    QCOMPARE(lazy.isNull(), QIcon(broken.fileName()).isNull());

    MainWindow window;
    window.setWindowIcon(missing);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(window.windowIcon().pixmap(QSize(64, 64)).isNull());
}

QTEST_MAIN(TestWindowIcon)
#include "tst_windowicon.moc"
