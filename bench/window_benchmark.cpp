// The window's start-up time and memory, off-screen (QT_QPA_PLATFORM=offscreen,
// software Qt Quick), with the program's own start-up code, pages and
// resources:
//   * time from process start to the first frame of the guide page, over
//     several starts of a fresh process (fork and exec included), and the
//     part of it spent after main() was entered;
//   * resident memory (VmRSS) with the guide page shown, its peak while an
//     emulated T5 is updated from a local file through the upgrader page
//     (Enter, LOCAL, Update as the page's buttons do them), and VmHWM.
// It prints figures; nothing is judged.
//
// Usage: window_benchmark [starts]   (default 10)

#include "adapterfolder.h"
#include "basedevice.h"
#include "firmwaremanage.h"
#include "startup.h"
#include "t5firmwareimage.h"
#include "t5flashbuilder.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QtQml>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

constexpr char roleVariable[] = "BRIVANE_WINDOW_BENCHMARK_ROLE";
constexpr char firstFrameRole[] = "first-frame";
constexpr char updateRole[] = "update";
constexpr char imageVariable[] = "BRIVANE_WINDOW_BENCHMARK_IMAGE";
constexpr int defaultStarts = 10;
constexpr int childTimeoutMs = 120000;
constexpr int memorySampleIntervalMs = 20;
constexpr int stepIntervalMs = 20;
constexpr int updateTimeoutMs = 60000;
constexpr int imageBytes = 512 * 1024;
const char installedVersion[] = "5.5.3";
const char imageVersion[] = "5.5.9";

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void report(const QString &key, qint64 value)
{
    std::printf("%s %lld\n", qPrintable(key), static_cast<long long>(value));
    std::fflush(stdout);
}

// -- child: the program itself ----------------------------------------------------

// The visible item of the scene whose "text" is text (a page's button).
QQuickItem *visibleItemWithText(QQuickItem *item, const QString &text)
{
    if (!item || !item->isVisible())
        return nullptr;
    if (item->property("text").toString() == text &&
        item->metaObject()->indexOfSignal("clicked()") >= 0)
        return item;
    const QList<QQuickItem *> children = item->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = visibleItemWithText(child, text))
            return found;
    }
    return nullptr;
}

class LocalFileAnswer : public FileDialogs
{
public:
    explicit LocalFileAnswer(const QString &path) : path(path) {}
    QString saveFileName(const QString &, const QString &, const QString &) override
    {
        return QString();
    }
    QString openFileName(const QString &, const QString &, const QString &) override
    {
        return path;
    }

private:
    QString path;
};

// Drives the update through the upgrader page once the guide page is drawn.
class UpdateDriver : public QObject
{
public:
    UpdateDriver(QQuickWindow *window, const QString &imagePath) : window(window), answer(imagePath)
    {
        controller =
            qobject_cast<FirmwareManage *>(qmlContext(window)
                                               ->contextProperty(QStringLiteral("firmwareManage"))
                                               .value<QObject *>());
    }

    void start()
    {
        if (!controller) {
            finish(QStringLiteral("no controller in the scene"));
            return;
        }
        controller->setFileDialogs(&answer);
        report(QStringLiteral("rss-guide-page-kib"), statusKiB("VmRSS"));
        sampler.setInterval(memorySampleIntervalMs);
        QObject::connect(&sampler, &QTimer::timeout, this,
                         [this]() { peakRssKiB = std::max(peakRssKiB, statusKiB("VmRSS")); });
        step = 0;
        QObject::connect(&stepper, &QTimer::timeout, this, [this]() { advance(); });
        stepper.start(stepIntervalMs);
    }

private:
    bool click(const QString &text)
    {
        QQuickItem *button = visibleItemWithText(window->contentItem(), text);
        if (!button || !button->isEnabled())
            return false;
        QMetaObject::invokeMethod(button, "clicked");
        return true;
    }

    // One step per tick; a step that cannot be taken yet is tried again.
    void advance()
    {
        BaseDevice *device = controller->currentDevice();
        switch (step) {
        case 0: // the guide page's Enter, once the start-up reading is done
            if (!controller->busying() && click(QStringLiteral("Enter")))
                ++step;
            break;
        case 1: // LOCAL, then the page's open button asks for the file
            if (device && device->connected() && !device->busying() && !controller->busying()) {
                QQuickItem *local =
                    visibleItemWithText(window->contentItem(), QStringLiteral("LOCAL"));
                if (local && local->isEnabled()) {
                    local->setProperty("checked", true);
                    controller->openLocalFirmware();
                    ++step;
                }
            }
            break;
        case 2: // Update: the installed and the file's version keep the data
            if (controller->localFirmwareVersion() == QLatin1String(imageVersion) &&
                click(QStringLiteral("Update"))) {
                updateTimer.start();
                sampler.start();
                ++step;
            }
            break;
        case 3: // done when the adapter holds the new version and nothing runs
            if (device && device->version() == QLatin1String(imageVersion) && !device->busying() &&
                !controller->busying()) {
                report(QStringLiteral("update-ms"), updateTimer.elapsed());
                finish(QString());
            } else if (updateTimer.elapsed() > updateTimeoutMs) {
                finish(QStringLiteral("the adapter shows %1 after %2 ms")
                           .arg(device ? device->version() : QString())
                           .arg(updateTimeoutMs));
            }
            break;
        }
    }

    void finish(const QString &failure)
    {
        stepper.stop();
        sampler.stop();
        peakRssKiB = std::max(peakRssKiB, statusKiB("VmRSS"));
        report(QStringLiteral("rss-update-peak-kib"), peakRssKiB);
        report(QStringLiteral("hwm-kib"), statusKiB("VmHWM"));
        std::printf("result %s\n", failure.isEmpty() ? "ok" : qPrintable(failure));
        std::fflush(stdout);
        QCoreApplication::exit(failure.isEmpty() ? 0 : 1);
    }

    QQuickWindow *window;
    FirmwareManage *controller = nullptr;
    LocalFileAnswer answer;
    QTimer stepper;
    QTimer sampler;
    QElapsedTimer updateTimer;
    qint64 peakRssKiB = 0;
    int step = 0;
};

// Notices the main window when it is first shown and reports its first frame.
class FirstFrameWatch : public QObject
{
public:
    FirstFrameWatch(const QByteArray &role, qint64 mainEnteredNs)
        : role(role), mainEnteredNs(mainEnteredNs)
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *window = qobject_cast<QQuickWindow *>(watched);
        if (window && !watching &&
            (event->type() == QEvent::Show || event->type() == QEvent::Expose)) {
            watching = true;
            QObject::connect(
                window, &QQuickWindow::frameSwapped, this, [this, window]() { firstFrame(window); },
                Qt::DirectConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void firstFrame(QQuickWindow *window)
    {
        if (framed)
            return;
        framed = true;
        const qint64 now = monotonicNs();
        report(QStringLiteral("first-frame-ns"), now);
        report(QStringLiteral("after-main-us"), (now - mainEnteredNs) / 1000);
        if (role == firstFrameRole) {
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
            return;
        }
        QMetaObject::invokeMethod(
            qApp,
            [this, window]() {
                driver = new UpdateDriver(window, qEnvironmentVariable(imageVariable));
                driver->start();
            },
            Qt::QueuedConnection);
    }

    QByteArray role;
    qint64 mainEnteredNs;
    bool watching = false;
    bool framed = false;
    UpdateDriver *driver = nullptr;
};

int runChild(int argc, char *argv[], const QByteArray &role, qint64 mainEnteredNs)
{
    QApplication application(argc, argv);
    Startup::setApplicationIdentity();
    FirstFrameWatch watch(role, mainEnteredNs);
    application.installEventFilter(&watch);
    return Startup::run(application);
}

// -- parent: starts the children and prints the figures ----------------------------

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(const QString &message)
{
    QTextStream(stderr) << "window_benchmark: " << message << '\n';
    return 1;
}

struct ChildResult
{
    bool ok = false;
    qint64 startedNs = 0;
    QMap<QString, QString> values;
    QString errors;
};

QProcessEnvironment childEnvironment(const QTemporaryDir &work, const QString &emulator)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    environment.insert(QStringLiteral("BRIVANE_EMULATOR"), emulator);
    // No store: the catalogue reading fails at once instead of going out.
    environment.insert(QStringLiteral("BRIVANE_STORE_CONFIG"),
                       work.filePath(QStringLiteral("no-store.ini")));
    environment.insert(QStringLiteral("BRIVANE_SETTINGS_COPY_DIR"),
                       work.filePath(QStringLiteral("copies")));
    for (const char *folder : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"})
        environment.insert(QString::fromLatin1(folder), work.filePath(QString::fromLatin1(folder)));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), work.filePath(QStringLiteral("runtime")));
    environment.remove(QStringLiteral("BRIVANE_ADMIN"));
    return environment;
}

ChildResult runChildProcess(const QString &program, const QProcessEnvironment &environment,
                            const QString &workingDirectory)
{
    ChildResult result;
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setWorkingDirectory(workingDirectory);
    child.setProgram(program);
    result.startedNs = monotonicNs();
    child.start();
    if (!child.waitForFinished(childTimeoutMs)) {
        child.kill();
        child.waitForFinished();
        result.errors = QStringLiteral("timed out");
        return result;
    }
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const int space = line.indexOf(' ');
        if (space > 0)
            result.values.insert(QString::fromUtf8(line.left(space)),
                                 QString::fromUtf8(line.mid(space + 1)));
    }
    result.errors = QString::fromUtf8(child.readAllStandardError()).trimmed();
    result.ok = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    return result;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

// An emulated T5 in a folder of adapters, and a firmware file for it.
bool prepareUpdate(const QTemporaryDir &work, QString *adapters, QString *image, QString *error)
{
    *adapters = work.filePath(QStringLiteral("adapters"));
    T5FlashBuilder builder;
    builder.version = QString::fromLatin1(installedVersion);
    const QByteArray flash = builder.build(error);
    if (flash.isEmpty())
        return false;
    QJsonObject configuration;
    configuration.insert(QStringLiteral("model"), QStringLiteral("T5"));
    configuration.insert(QStringLiteral("vendorId"), QStringLiteral("0x0e3a"));
    configuration.insert(QStringLiteral("productId"), QStringLiteral("0xb373"));
    configuration.insert(QStringLiteral("interface"), -1);
    if (!AdapterFolder::write(*adapters + QStringLiteral("/t5"), configuration, flash, error))
        return false;
    const QByteArray firmware =
        T5FirmwareImage::build(QString::fromLatin1(imageVersion), imageBytes, 7, error);
    if (firmware.isEmpty())
        return false;
    *image = work.filePath(QStringLiteral("T5_v%1.bin").arg(QString::fromLatin1(imageVersion)));
    if (!writeText(*image, firmware)) {
        *error = QStringLiteral("cannot write %1").arg(*image);
        return false;
    }
    return true;
}

int runParent(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const int starts = arguments.size() > 1 ? arguments.at(1).toInt() : defaultStarts;
    if (starts < 1)
        return fail(QStringLiteral("usage: window_benchmark [starts]"));

    QTemporaryDir work;
    if (!work.isValid())
        return fail(QStringLiteral("no temporary folder"));
    QDir(work.path()).mkpath(QStringLiteral("no-adapters"));
    QDir(work.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(work.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (!writeText(work.filePath(QStringLiteral("configs.ini")), "[General]\nLanguage=31\n") ||
        !writeText(work.filePath(QStringLiteral("no-store.ini")), QByteArray()))
        return fail(QStringLiteral("cannot write into %1").arg(work.path()));
    const QString program = QCoreApplication::applicationFilePath();

    QVector<double> totalMs, afterMainMs;
    for (int run = 0; run < starts; ++run) {
        QProcessEnvironment environment =
            childEnvironment(work, work.filePath(QStringLiteral("no-adapters")));
        environment.insert(QString::fromLatin1(roleVariable), QString::fromLatin1(firstFrameRole));
        const ChildResult result = runChildProcess(program, environment, work.path());
        if (!result.ok || !result.values.contains(QStringLiteral("first-frame-ns")))
            return fail(
                QStringLiteral("start %1 drew no frame: %2").arg(run + 1).arg(result.errors));
        totalMs.append((result.values.value(QStringLiteral("first-frame-ns")).toLongLong() -
                        result.startedNs) /
                       1e6);
        afterMainMs.append(result.values.value(QStringLiteral("after-main-us")).toLongLong() / 1e3);
    }

    QString adapters, image, error;
    if (!prepareUpdate(work, &adapters, &image, &error))
        return fail(error);
    QProcessEnvironment environment = childEnvironment(work, adapters);
    environment.insert(QString::fromLatin1(roleVariable), QString::fromLatin1(updateRole));
    environment.insert(QString::fromLatin1(imageVariable), image);
    const ChildResult update = runChildProcess(program, environment, work.path());

    out() << "Window, off-screen (QT_QPA_PLATFORM=offscreen, QT_QUICK_BACKEND=software)\n";
    out() << QStringLiteral("  process start to first frame of the guide page: median %1 ms, "
                            "min %2 ms, max %3 ms over %4 starts\n")
                 .arg(median(totalMs), 0, 'f', 1)
                 .arg(*std::min_element(totalMs.begin(), totalMs.end()), 0, 'f', 1)
                 .arg(*std::max_element(totalMs.begin(), totalMs.end()), 0, 'f', 1)
                 .arg(starts);
    out() << QStringLiteral("  of which after main() was entered: median %1 ms\n")
                 .arg(median(afterMainMs), 0, 'f', 1);
    if (!update.ok) {
        out().flush();
        return fail(QStringLiteral("the update through the window failed: %1 %2")
                        .arg(update.values.value(QStringLiteral("result")), update.errors));
    }
    out() << QStringLiteral("  resident memory, guide page shown: %1 MiB\n")
                 .arg(update.values.value(QStringLiteral("rss-guide-page-kib")).toDouble() / 1024,
                      0, 'f', 1);
    out() << QStringLiteral("  resident memory, peak while a %1 KiB T5 image is written "
                            "through the upgrader page (%2 ms): %3 MiB; VmHWM %4 MiB\n")
                 .arg(imageBytes / 1024)
                 .arg(update.values.value(QStringLiteral("update-ms")))
                 .arg(update.values.value(QStringLiteral("rss-update-peak-kib")).toDouble() / 1024,
                      0, 'f', 1)
                 .arg(update.values.value(QStringLiteral("hwm-kib")).toDouble() / 1024, 0, 'f', 1);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const qint64 mainEnteredNs = monotonicNs();
    const QByteArray role = qgetenv(roleVariable);
    if (role.isEmpty())
        return runParent(argc, argv);
    return runChild(argc, argv, role, mainEnteredNs);
}
