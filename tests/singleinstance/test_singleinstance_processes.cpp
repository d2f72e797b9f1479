// The guard between real processes: the helper starts exactly like the program
// (and one case starts the program itself). Each case has an installation of
// its own (a random organisation name, or a program name), so parallel runs
// never meet.
#include "instanceprocess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRandomGenerator>
#include <QSettings>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString helperPath = QStringLiteral(SINGLEINSTANCE_HELPER_PATH);
const QString programPath = QStringLiteral(BRIVANE_PROGRAM_PATH);
// Generous for the sanitizer build; a healthy start takes a fraction of it.
constexpr int startTimeoutMs = 20000;
constexpr int programStartTimeoutMs = 60000;
constexpr int blockSizeBytes = 152;

QString loginName()
{
    const passwd *entry = getpwuid(geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

QString uniqueOrganization()
{
    return QStringLiteral("brivane-test-") +
           QString::number(QRandomGenerator::global()->generate64(), 36);
}

// The name an instance meets the others under, from the identity it has when
// its guard is constructed: the program sets no identity before, so the
// domain and version are empty and the name is the one it was started under.
QString blockNameFor(const QString &applicationName, const QString &organizationName,
                     const QString &executablePath, const QString &userName)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("SingleApplication");
    hash.addData(applicationName.toUtf8());
    hash.addData(organizationName.toUtf8());
    hash.addData(executablePath.toLower().toUtf8());
    hash.addData(userName.toUtf8());
    return QString::fromLatin1(hash.result().toBase64())
        .replace(QLatin1Char('/'), QLatin1Char('_'));
}

QString helperBlockName(const QString &organization, const QString &userName = loginName())
{
    const QFileInfo helper(helperPath);
    return blockNameFor(helper.fileName(), organization, helper.canonicalFilePath(), userName);
}

QByteArray frameHeader(quint64 bodySizeBytes)
{
    QByteArray header(8, '\0');
    qToBigEndian<quint64>(bodySizeBytes, header.data());
    return header;
}

QByteArray initBody(const QByteArray &blockName, qint8 type, quint32 instanceNumber,
                    bool spoilChecksum = false)
{
    QByteArray body(4, '\0');
    qToBigEndian<quint32>(quint32(blockName.size()), body.data());
    body += blockName;
    body += char(type);
    QByteArray number(4, '\0');
    qToBigEndian<quint32>(instanceNumber, number.data());
    body += number;
    quint16 checksum = qChecksum(body.constData(), uint(body.size()), Qt::ChecksumIso3309);
    if (spoilChecksum)
        checksum ^= 1;
    body += char(checksum >> 8);
    body += char(checksum & 0xFF);
    return body;
}

bool readAcknowledgement(QLocalSocket &socket, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (socket.bytesAvailable() < 1) {
        const int leftMs = timeoutMs - int(timer.elapsed());
        if (leftMs <= 0 || !socket.waitForReadyRead(leftMs))
            return false;
    }
    char answer = 0;
    return socket.getChar(&answer) && answer == '\n';
}

bool sendFrame(QLocalSocket &socket, const QByteArray &body)
{
    socket.write(frameHeader(quint64(body.size())));
    socket.flush();
    if (!readAcknowledgement(socket, 5000))
        return false;
    socket.write(body);
    socket.flush();
    return readAcknowledgement(socket, 5000);
}

bool waitForHangUp(QLocalSocket &socket, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (socket.state() != QLocalSocket::UnconnectedState) {
        if (timer.elapsed() > timeoutMs)
            return false;
        socket.waitForDisconnected(100);
    }
    return true;
}

// True once a primary's event loop answers under the name.
bool waitUntilServing(const QString &blockName, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QLocalSocket probe;
        probe.connectToServer(blockName);
        if (probe.waitForConnected(500)) {
            probe.write(frameHeader(1));
            probe.flush();
            if (readAcknowledgement(probe, 1000))
                return true;
        }
        QThread::msleep(100);
    }
    return false;
}

// Leaves the block as a primary that is running (or died) would.
void writePrimaryRecord(QSharedMemory &memory, qint64 processId, bool consistent)
{
    memory.lock();
    auto *bytes = static_cast<unsigned char *>(memory.data());
    std::memset(bytes, 0, blockSizeBytes);
    bytes[0] = 1;
    qToLittleEndian<qint64>(processId, bytes + 8);
    std::memcpy(bytes + 16, "someone", 7);
    quint16 checksum = qChecksum(reinterpret_cast<const char *>(bytes), 144, Qt::ChecksumIso3309);
    if (!consistent)
        checksum ^= 0xFFFF;
    qToLittleEndian<quint16>(checksum, bytes + 144);
    memory.unlock();
}

// What a killed instance leaves behind: the block, its lock and the socket file.
void removeLeftovers(const QString &blockName)
{
    {
        QSharedMemory memory(blockName);
        if (memory.attach())
            memory.detach(); // the last one to detach removes it
    }
    {
        QSystemSemaphore lock(blockName, 1, QSystemSemaphore::Create);
    }
    QLocalServer::removeServer(blockName);
}
} // namespace

class SingleInstanceProcessTest : public QObject
{
    Q_OBJECT

    QTemporaryDir workingDirectory;
    QStringList usedBlockNames;
    // One primary that the cases about its connections share.
    QString organization;
    QString sharedBlockName;
    std::unique_ptr<InstanceProcess> sharedPrimary;

    InstanceProcess::Options helperOptions(const QString &organizationName,
                                           const QStringList &extra = {})
    {
        InstanceProcess::Options options;
        options.program = helperPath;
        options.arguments = QStringList{QStringLiteral("--organization"), organizationName} + extra;
        options.workingDirectory = workingDirectory.path();
        return options;
    }

    std::unique_ptr<InstanceProcess> startHelper(const QString &organizationName,
                                                 const QStringList &extra = {})
    {
        return std::make_unique<InstanceProcess>(helperOptions(organizationName, extra));
    }

    QString newInstallation()
    {
        const QString name = uniqueOrganization();
        usedBlockNames.append(helperBlockName(name));
        return name;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(workingDirectory.isValid());
        {
            // English, so the messages read as the English language file has them.
            QSettings settings(workingDirectory.filePath(QStringLiteral("configs.ini")),
                               QSettings::IniFormat);
            settings.setValue(QStringLiteral("Language"), int(QLocale::English));
        }
        organization = newInstallation();
        sharedBlockName = helperBlockName(organization);
        sharedPrimary = startHelper(organization);
        QVERIFY2(sharedPrimary->waitForLine("primary", startTimeoutMs),
                 sharedPrimary->errorOutput().constData());
        QVERIFY(sharedPrimary->sync());
    }

    void cleanupTestCase()
    {
        if (sharedPrimary)
            QVERIFY(sharedPrimary->quit());
        sharedPrimary.reset();
        for (const QString &blockName : qAsConst(usedBlockNames))
            removeLeftovers(blockName);
    }

    void secondStartHandsOverAndEnds()
    {
        const QString installation = newInstallation();
        auto primary = startHelper(installation);
        QVERIFY2(primary->waitForLine("primary", startTimeoutMs),
                 primary->errorOutput().constData());
        QVERIFY(primary->sync());

        auto second = startHelper(installation);
        QVERIFY2(second->waitForCleanExit(startTimeoutMs), second->errorOutput().constData());
        // Nothing after the construction ran: no window could have opened.
        QVERIFY2(second->lines().isEmpty(), second->lines().join(' ').constData());

        QVERIFY(primary->sync());
        QCOMPARE(primary->count("instanceStarted"), 1);
        QCOMPARE(primary->count("showMessage Brivane Firmware Tool is running"), 1);

        // A primary that ends normally frees its place for the next start.
        QVERIFY(primary->quit());
        auto next = startHelper(installation);
        QVERIFY(next->waitForLine("primary", startTimeoutMs));
        QVERIFY2(!next->errorOutput().contains("starting as primary"),
                 next->errorOutput().constData());
        QVERIFY(next->quit());
    }

    void anotherUsersStartRunsItsOwnPrimary()
    {
        if (geteuid() != 0)
            QSKIP("Starting an instance as another user needs root.");
        // An account the user database does not know: its name is the
        // fallback from the environment.
        uid_t otherUser = 48123;
        while (getpwuid(otherUser))
            ++otherUser;
        const QString otherName = QStringLiteral("brivane-other-user");
        usedBlockNames.append(helperBlockName(organization, otherName));
        QTemporaryDir otherDirectory;
        QVERIFY(otherDirectory.isValid());
        QVERIFY(::chmod(QFile::encodeName(otherDirectory.path()).constData(), 0777) == 0);
        InstanceProcess::Options options = helperOptions(organization);
        options.userId = otherUser;
        options.workingDirectory = otherDirectory.path();
        options.environment = {{QStringLiteral("USERNAME"), otherName},
                               {QStringLiteral("HOME"), otherDirectory.path()}};

        const int startsBefore = sharedPrimary->count("instanceStarted");
        InstanceProcess otherPrimary(options);
        QVERIFY2(otherPrimary.waitForLine("primary", startTimeoutMs),
                 otherPrimary.errorOutput().constData());
        QVERIFY(otherPrimary.sync());

        // The other user's second start hands over to the other user's primary.
        InstanceProcess otherSecond(options);
        QVERIFY2(otherSecond.waitForCleanExit(startTimeoutMs),
                 otherSecond.errorOutput().constData());
        QVERIFY(otherPrimary.sync());
        QCOMPARE(otherPrimary.count("instanceStarted"), 1);
        QVERIFY(sharedPrimary->sync());
        QCOMPARE(sharedPrimary->count("instanceStarted"), startsBefore);
        QVERIFY(otherPrimary.quit());
    }

    void inconsistentBlockIsTakenOverAfterFiveSeconds()
    {
        const QString installation = newInstallation();
        QSharedMemory memory(helperBlockName(installation));
        QVERIFY2(memory.create(blockSizeBytes), qPrintable(memory.errorString()));
        writePrimaryRecord(memory, QCoreApplication::applicationPid(), false);

        QElapsedTimer timer;
        timer.start();
        auto primary = startHelper(installation);
        QVERIFY2(primary->waitForLine("primary", startTimeoutMs),
                 primary->errorOutput().constData());
        const qint64 elapsedMs = timer.elapsed();
        QVERIFY2(elapsedMs > 5000, qPrintable(QString::number(elapsedMs)));
        QVERIFY2(elapsedMs < 10000, qPrintable(QString::number(elapsedMs)));
        QVERIFY(primary->errorOutput().contains(
            "SingleApplication: Shared memory block has been in an inconsistent state from more "
            "than 5s. Assuming primary instance failure."));

        // From then on it serves like any primary.
        auto second = startHelper(installation);
        QVERIFY(second->waitForCleanExit(startTimeoutMs));
        QVERIFY(primary->sync());
        QCOMPARE(primary->count("instanceStarted"), 1);
        QVERIFY(primary->quit());
        memory.detach();
    }

    void blockLockKeepsOutALaterStart()
    {
        const QString installation = newInstallation();
        QSharedMemory memory(helperBlockName(installation));
        QVERIFY2(memory.create(blockSizeBytes), qPrintable(memory.errorString()));
        // An empty record, as a primary that ended normally leaves it.
        memory.lock();
        auto *bytes = static_cast<unsigned char *>(memory.data());
        std::memset(bytes, 0, blockSizeBytes);
        qToLittleEndian<qint64>(-1, bytes + 8);
        qToLittleEndian<quint16>(
            qChecksum(reinterpret_cast<const char *>(bytes), 144, Qt::ChecksumIso3309),
            bytes + 144);

        // While another process holds the lock, a start waits for it.
        auto primary = startHelper(installation);
        QVERIFY(!primary->waitForLine("primary", 1500));
        memory.unlock();
        QVERIFY2(primary->waitForLine("primary", startTimeoutMs),
                 primary->errorOutput().constData());
        QVERIFY(primary->quit());
        memory.detach();
    }

    void introductionsAreAcknowledged_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("announced");
        QTest::newRow("instance start") << 1 << 1;
        // Secondary starts are announced only when the primary asks for it.
        QTest::newRow("secondary start") << 2 << 0;
        QTest::newRow("message reconnect") << 3 << 0;
    }
    void introductionsAreAcknowledged()
    {
        QFETCH(int, type);
        QFETCH(int, announced);
        const int startsBefore = sharedPrimary->count("instanceStarted");
        QLocalSocket socket;
        socket.connectToServer(sharedBlockName);
        QVERIFY(socket.waitForConnected(5000));
        QVERIFY(sendFrame(socket, initBody(sharedBlockName.toLatin1(), qint8(type), 0)));
        QVERIFY(sharedPrimary->sync());
        QCOMPARE(sharedPrimary->count("instanceStarted"), startsBefore + announced);
        QCOMPARE(socket.state(), QLocalSocket::ConnectedState);
    }

    void strangersAreRefused_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("body");
        const QByteArray ownName = sharedBlockName.toLatin1();
        const QByteArray otherBody =
            initBody(helperBlockName(uniqueOrganization()).toLatin1(), 1, 0);
        QTest::newRow("another block name") << frameHeader(quint64(otherBody.size())) << otherBody;
        const QByteArray spoilt = initBody(ownName, 1, 0, true);
        QTest::newRow("wrong checksum") << frameHeader(quint64(spoilt.size())) << spoilt;
        QByteArray overlong = initBody(ownName, 1, 0);
        qToBigEndian<quint32>(0x1000, overlong.data());
        QTest::newRow("name longer than the body")
            << frameHeader(quint64(overlong.size())) << overlong;
        QTest::newRow("body announced far too long") << frameHeader(1 << 20) << QByteArray();
    }
    void strangersAreRefused()
    {
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, body);
        const int startsBefore = sharedPrimary->count("instanceStarted");
        QLocalSocket socket;
        socket.connectToServer(sharedBlockName);
        QVERIFY(socket.waitForConnected(5000));
        socket.write(header);
        socket.flush();
        if (!body.isEmpty()) {
            QVERIFY(readAcknowledgement(socket, 5000));
            socket.write(body);
            socket.flush();
        }
        // The primary hangs up without acknowledging.
        QVERIFY(waitForHangUp(socket, 5000));
        QCOMPARE(socket.readAll(), QByteArray());
        QVERIFY(sharedPrimary->sync());
        QCOMPARE(sharedPrimary->count("instanceStarted"), startsBefore);
    }

    void hangingUpWithoutIntroductionDeliversNothing()
    {
        const int linesBefore = sharedPrimary->lines().size();
        QLocalSocket socket;
        socket.connectToServer(sharedBlockName);
        QVERIFY(socket.waitForConnected(5000));
        socket.write("hello");
        socket.flush();
        socket.disconnectFromServer();
        QVERIFY(waitForHangUp(socket, 5000));
        // Gives the primary the time to see the hang-up before asking it.
        QThread::msleep(200);
        QVERIFY(sharedPrimary->sync());
        QCOMPARE(sharedPrimary->lines().mid(linesBefore), QList<QByteArray>());
    }

    void messageInTwoPiecesIsDeliveredOnceWhole()
    {
        const QByteArray message("0123456789");
        QLocalSocket socket;
        socket.connectToServer(sharedBlockName);
        QVERIFY(socket.waitForConnected(5000));
        QVERIFY(sendFrame(socket, initBody(sharedBlockName.toLatin1(), 3, 7)));
        const int linesBefore = sharedPrimary->lines().size();

        socket.write(frameHeader(quint64(message.size())));
        socket.flush();
        QVERIFY(readAcknowledgement(socket, 5000));
        socket.write(message.left(4));
        socket.flush();
        QVERIFY2(!readAcknowledgement(socket, 300), "acknowledged before the body was whole");
        QVERIFY(sharedPrimary->sync());
        QCOMPARE(sharedPrimary->lines().mid(linesBefore), QList<QByteArray>());

        socket.write(message.mid(4));
        socket.flush();
        QVERIFY(readAcknowledgement(socket, 5000));
        QVERIFY(sharedPrimary->sync());
        QCOMPARE(sharedPrimary->lines().mid(linesBefore),
                 QList<QByteArray>{"receivedMessage 7 " + message.toHex()});
    }

    void messagesWrittenAtOnceStayApart()
    {
        QLocalSocket socket;
        socket.connectToServer(sharedBlockName);
        QVERIFY(socket.waitForConnected(5000));
        QVERIFY(sendFrame(socket, initBody(sharedBlockName.toLatin1(), 3, 8)));
        const int linesBefore = sharedPrimary->lines().size();
        socket.write(frameHeader(3) + "abc" + frameHeader(2) + "de");
        socket.flush();
        for (int acknowledgement = 0; acknowledgement < 4; ++acknowledgement)
            QVERIFY(readAcknowledgement(socket, 5000));
        QVERIFY(sharedPrimary->sync());
        QCOMPARE(sharedPrimary->lines().mid(linesBefore),
                 (QList<QByteArray>{"receivedMessage 8 " + QByteArray("abc").toHex(),
                                    "receivedMessage 8 " + QByteArray("de").toHex()}));
    }

    void sendToPrimaryReachesOnlyAnotherInstance()
    {
        sharedPrimary->send("send hello");
        QVERIFY(sharedPrimary->waitForLine("sendToPrimary", 5000));
        QCOMPARE(sharedPrimary->count("sendToPrimary false"), 1);

        const int startsBefore = sharedPrimary->count("instanceStarted");
        auto secondary = startHelper(organization, {QStringLiteral("--allow-secondary")});
        QVERIFY2(secondary->waitForLine("secondary", startTimeoutMs),
                 secondary->errorOutput().constData());
        secondary->send("send hello");
        QVERIFY(secondary->waitForLine("sendToPrimary", 5000));
        QCOMPARE(secondary->count("sendToPrimary true"), 1);
        QVERIFY(sharedPrimary->sync());
        // The first allowed secondary is instance number 1.
        QCOMPARE(sharedPrimary->count("receivedMessage 1 " + QByteArray("hello").toHex()), 1);
        QCOMPARE(sharedPrimary->count("instanceStarted"), startsBefore);
        QVERIFY(secondary->quit());

        // A secondary that ends leaves the primary's record alone.
        auto next = startHelper(organization);
        QVERIFY(next->waitForCleanExit(startTimeoutMs));
        QVERIFY(sharedPrimary->sync());
        QCOMPARE(sharedPrimary->count("instanceStarted"), startsBefore + 1);
    }

    void deadPrimaryDoesNotLockTheProgramOut_data()
    {
        QTest::addColumn<bool>("killed");
        QTest::newRow("primary killed") << true;
        QTest::newRow("recorded process alive, nobody listening") << false;
    }
    void deadPrimaryDoesNotLockTheProgramOut()
    {
        QFETCH(bool, killed);
        QString installation = newInstallation();
        std::unique_ptr<QSharedMemory> heldBlock;
        if (killed) {
            auto first = startHelper(installation);
            QVERIFY(first->waitForLine("primary", startTimeoutMs));
            first->kill();
        } else {
            // The record names this test's own process, which runs no server.
            // System V keys come from ftok() of a file's inode and may meet a
            // segment another test left: such a name is given up for another.
            for (int attempt = 0; attempt < 5; ++attempt) {
                heldBlock = std::make_unique<QSharedMemory>(helperBlockName(installation));
                if (heldBlock->create(blockSizeBytes))
                    break;
                heldBlock.reset();
                installation = newInstallation();
            }
            QVERIFY(heldBlock);
            writePrimaryRecord(*heldBlock, QCoreApplication::applicationPid(), true);
        }

        auto next = startHelper(installation);
        QVERIFY2(next->waitForLine("primary", startTimeoutMs), next->errorOutput().constData());
        QVERIFY(next->sync());
        auto later = startHelper(installation);
        QVERIFY2(later->waitForCleanExit(startTimeoutMs), later->errorOutput().constData());
        QVERIFY(later->lines().isEmpty());
        QVERIFY(next->sync());
        QCOMPARE(next->count("instanceStarted"), 1);
        QVERIFY(next->quit());
    }

    void theProgramHandsOverToItsRunningInstance()
    {
        // Started under a name of its own, the program forms an installation
        // of its own and cannot meet another test's program.
        QTemporaryDir linkDirectory;
        QVERIFY(linkDirectory.isValid());
        const QString linkName = QStringLiteral("brivane-firmware-tool-") +
                                 QString::number(QRandomGenerator::global()->generate64(), 36);
        const QString link = linkDirectory.filePath(linkName);
        QVERIFY(QFile::link(programPath, link));
        const QString blockName = blockNameFor(
            linkName, QString(), QFileInfo(programPath).canonicalFilePath(), loginName());
        usedBlockNames.append(blockName);

        InstanceProcess::Options options;
        options.program = link;
        options.workingDirectory = workingDirectory.path();
        InstanceProcess running(options);
        QVERIFY2(waitUntilServing(blockName, programStartTimeoutMs),
                 running.errorOutput().constData());

        InstanceProcess second(options);
        QVERIFY2(second.waitForCleanExit(startTimeoutMs), second.errorOutput().constData());
        const QByteArray announced("Brivane Firmware is instanceStarted!");
        QVERIFY2(running.waitForErrorOutput(announced, 5000), running.errorOutput().constData());
        QCOMPARE(running.errorOutput().count(announced), 1);
        QVERIFY(!second.errorOutput().contains(announced));
        running.kill();
    }
};

// A killed instance's block and lock outlive it, keyed on the inode of a file
// in the temporary folder. Once the folder is gone the file system hands that
// inode to a new file, and a later instance (of any test) would meet the dead
// block under its own name: remove every block keyed on the folder's files.
namespace {
void removeBlocksKeyedOn(const QString &folder)
{
    const QFileInfoList files =
        QDir(folder).entryInfoList(QDir::Files | QDir::System | QDir::Hidden);
    for (const QFileInfo &file : files) {
        const key_t key = ::ftok(QFile::encodeName(file.filePath()).constData(), 'Q');
        if (key == -1)
            continue;
        const int memory = ::shmget(key, 0, 0);
        if (memory != -1)
            ::shmctl(memory, IPC_RMID, nullptr);
        const int semaphore = ::semget(key, 0, 0);
        if (semaphore != -1)
            ::semctl(semaphore, 0, IPC_RMID);
    }
}
} // namespace

// Block keys and local sockets live in the temporary folder, and an instance
// started as another user must meet them in the same folder as ours: a private
// TMPDIR of the caller (a CI runner's, say) would keep that user out, so the
// test and every instance it starts use a fresh world-writable sticky folder.
int main(int argc, char **argv)
{
    QByteArray folder("/tmp/brivane-instances-XXXXXX");
    if (!::mkdtemp(folder.data()) || ::chmod(folder.constData(), 01777) != 0) {
        std::perror("temporary folder for the instances");
        return 1;
    }
    qputenv("TMPDIR", folder);
    int result = 1;
    {
        QCoreApplication application(argc, argv);
        SingleInstanceProcessTest test;
        QTEST_SET_MAIN_SOURCE_PATH
        result = QTest::qExec(&test, argc, argv);
    }
    removeBlocksKeyedOn(QFile::decodeName(folder));
    QDir(QFile::decodeName(folder)).removeRecursively();
    return result;
}
#include "test_singleinstance_processes.moc"
