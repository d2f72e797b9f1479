#include "global.h"
#include "startup.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QStandardPaths>
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
        // The window goes with the engine when run() returns, so it is looked
        // at while the event loop runs.
        struct Seen
        {
            bool shown = false;
            QString title;
            QSize size, minimum, maximum;
            bool frameless = false;
        } seen;
        // Polled rather than waited for: the test ends as soon as the window
        // shows, and a slow machine only makes it take longer.
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, qApp, [&seen]() {
            const QWindowList windows = QGuiApplication::topLevelWindows();
            for (QWindow *window : windows) {
                if (!window->isVisible())
                    continue;
                seen = {true,
                        window->title(),
                        window->size(),
                        window->minimumSize(),
                        window->maximumSize(),
                        bool(window->flags() & Qt::FramelessWindowHint)};
                QCoreApplication::exit(0);
            }
        });
        poll.start();
        // A safety net so a page that never shows cannot hang the test.
        QTimer giveUp;
        giveUp.setSingleShot(true);
        QObject::connect(&giveUp, &QTimer::timeout, qApp, []() { QCoreApplication::exit(0); });
        giveUp.start(10000);
        const int status = Startup::run(*qApp);
        QCOMPARE(status, 0);
        QVERIFY(seen.shown);
        QCOMPARE(seen.title, QStringLiteral("Brivane Firmware Tool v3.3.8"));
        QCOMPARE(seen.size, QSize(550, 720));
        QCOMPARE(seen.minimum, QSize(550, 720));
        QCOMPARE(seen.maximum, QSize(550, 720));
        QVERIFY(seen.frameless);
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
