#include "global.h"
#include "startup.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

// Start-up runs on the one application object of the process, so both
// cases share it: first the real main page, then a broken one.
class StartupTest : public QObject
{
    Q_OBJECT
private slots:
    void mainPageOpensTheWindowAndRunsUntilClosed()
    {
        QWindow *shownWindow = nullptr;
        QTimer::singleShot(1500, qApp, [&shownWindow]() {
            const QWindowList windows = QGuiApplication::topLevelWindows();
            for (QWindow *window : windows)
                if (window->isVisible())
                    shownWindow = window;
            QCoreApplication::exit(0);
        });
        const int status = Startup::run(*qApp);
        QCOMPARE(status, 0);
        QVERIFY(shownWindow);
        QCOMPARE(shownWindow->title(), QStringLiteral("Brivane Firmware Tool v3.3.8"));
        QCOMPARE(shownWindow->width(), 550);
        QCOMPARE(shownWindow->height(), 720);
        QCOMPARE(shownWindow->minimumSize(), QSize(550, 720));
        QCOMPARE(shownWindow->maximumSize(), QSize(550, 720));
        QVERIFY(shownWindow->flags() & Qt::FramelessWindowHint);
    }

    void brokenMainPageExitsWithMinusOne()
    {
        // A safety net so a regression cannot hang the test.
        QTimer::singleShot(10000, qApp, []() { QCoreApplication::exit(99); });
        const int status = Startup::run(*qApp, QUrl(QStringLiteral("qrc:/broken/Main.qml")));
        QCOMPARE(status, -1);
    }
};

int main(int argc, char *argv[])
{
    QTemporaryDir workingDirectory;
    QDir::setCurrent(workingDirectory.path());
    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);
    Startup::setApplicationIdentity();
    StartupTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_startup.moc"
