#include "singleapplication.h"
#include "singleapplication_p.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QRandomGenerator>
#include <QSharedMemory>
#include <QThread>

#include <cstdlib>
#include <limits>

#if defined(Q_OS_WIN)
#include <windows.h>
#elif defined(Q_OS_UNIX)
#include <cerrno>
#include <pwd.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>
#endif

using namespace SingleInstanceWire;

namespace {
// A block whose checksum stays wrong this long was left by a writer that died.
constexpr qint64 inconsistentBlockTimeoutMs = 5000;
// How often a later instance decides afresh when the record it found changed
// while it tried to reach the primary.
constexpr int settleRounds = 3;

int remainingMs(const QDeadlineTimer &deadline)
{
    return int(qBound<qint64>(0, deadline.remainingTime(), std::numeric_limits<int>::max()));
}

// Whether the process recorded as primary still exists. Unknown counts as
// existing: the attempt to reach its server then decides.
bool processExists(qint64 processId)
{
#if defined(Q_OS_UNIX)
    if (processId <= 0 || processId > std::numeric_limits<pid_t>::max())
        return true;
    return ::kill(pid_t(processId), 0) == 0 || errno != ESRCH;
#else
    Q_UNUSED(processId)
    return true;
#endif
}

bool waitForAcknowledgement(QLocalSocket *socket, const QDeadlineTimer &deadline)
{
    socket->flush();
    while (socket->bytesAvailable() < 1) {
        if (deadline.hasExpired() || !socket->waitForReadyRead(remainingMs(deadline)))
            return false;
    }
    char answer = 0;
    return socket->getChar(&answer) && answer == acknowledgement;
}
} // namespace

SingleApplication::SingleApplication(int &argc, char **argv, bool allowSecondary, Options options,
                                     int timeoutMs, const QString &userData)
    : QApplication(argc, argv), d(new SingleApplicationPrivate(this))
{
    d->options = options;
    if (!userData.isEmpty())
        d->userDataList.append(userData);
    d->blockName = d->deriveBlockName();
    SingleApplicationPrivate::randomPause();

    d->memory = new QSharedMemory(d->blockName);
    d->openBlock();
    d->waitForConsistentBlock();
    if (d->settleRole(allowSecondary, timeoutMs))
        return;

    // Handed over to the primary: this process never gets further.
    delete d;
    d = nullptr;
    ::exit(EXIT_SUCCESS);
}

SingleApplication::~SingleApplication()
{
    delete d;
}

bool SingleApplication::runsAsSecondary() const
{
    return d->server == nullptr;
}

bool SingleApplication::sendToPrimary(const QByteArray &message, int timeoutMs, SendMode mode)
{
    if (!runsAsSecondary())
        return false;
    const QDeadlineTimer deadline(timeoutMs);
    if (d->connectToPrimaryInstance(deadline, ConnectionType::MessageReconnect) !=
        SingleApplicationPrivate::Reach::Acknowledged)
        return false;
    return d->writeAcknowledgedMessage(deadline, message, mode);
}

SingleApplicationPrivate::SingleApplicationPrivate(SingleApplication *application)
    : application(application)
{
}

SingleApplicationPrivate::~SingleApplicationPrivate()
{
    if (socket) {
        socket->close();
        delete socket;
        socket = nullptr;
    }
    if (!memory)
        return;
    const bool locked = memory->isAttached() && memory->lock();
    if (server) {
        // Connections that close now have nobody left to report to.
        const QList<QLocalSocket *> peerSockets = peers.keys();
        for (QLocalSocket *peerSocket : peerSockets)
            disconnect(peerSocket, nullptr, this, nullptr);
        peers.clear();
        server->close();
        delete server;
        server = nullptr;
        if (locked)
            clearPrimaryRecord();
    }
    if (locked)
        unlockBlock("SingleApplication: Unable to unlock memory at end of execution.");
    delete memory;
    memory = nullptr;
}

QString SingleApplicationPrivate::currentUserName()
{
#if defined(Q_OS_WIN)
    wchar_t name[257];
    DWORD sizeCharacters = 257;
    if (GetUserNameW(name, &sizeCharacters))
        return QString::fromWCharArray(name);
#elif defined(Q_OS_UNIX)
    long bufferSizeBytes = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (bufferSizeBytes <= 0)
        bufferSizeBytes = 16384;
    std::vector<char> buffer(static_cast<size_t>(bufferSizeBytes));
    passwd entry{};
    passwd *found = nullptr;
    int status = 0;
    while ((status = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found)) ==
               ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (status == 0 && found && found->pw_name && found->pw_name[0] != '\0')
        return QString::fromLocal8Bit(found->pw_name);
#endif
    // An account the system's user database does not know.
    return qEnvironmentVariable("USERNAME");
}

QString SingleApplicationPrivate::deriveBlockName() const
{
    BlockNameInputs inputs;
    inputs.applicationName = QCoreApplication::applicationName();
    inputs.organizationName = QCoreApplication::organizationName();
    inputs.organizationDomain = QCoreApplication::organizationDomain();
    inputs.userData = userDataList;
    inputs.applicationVersion = QCoreApplication::applicationVersion();
    inputs.executablePath = QCoreApplication::applicationFilePath();
    if (options & SingleApplication::PerUserScope)
        inputs.userName = currentUserName();
    inputs.options = int(options);
    return SingleInstanceWire::deriveBlockName(inputs);
}

void SingleApplicationPrivate::randomPause()
{
    // Instances started together would otherwise take turns in lock-step.
    const quint64 random = QRandomGenerator::global()->generate();
    QThread::msleep(8 + ulong((random * 10) >> 32));
}

void SingleApplicationPrivate::openBlock()
{
    // Attach first and create only when no block exists: on Unix, creating
    // resets the block's lock even while another instance holds it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (memory->attach(QSharedMemory::ReadWrite)) {
            lockBlock("SingleApplication: Unable to lock memory block after attach.");
            return;
        }
        if (memory->error() != QSharedMemory::NotFound) {
            qCritical("SingleApplication: Unable to attach to shared memory block.");
            abortWithError();
        }
        if (memory->create(blockSizeBytes, QSharedMemory::ReadWrite)) {
            lockBlock("SingleApplication: Unable to lock memory block after create.");
            initialiseBlock(memory->data());
            return;
        }
        if (memory->error() != QSharedMemory::AlreadyExists) {
            qCritical("SingleApplication: Unable to create block.");
            abortWithError();
        }
        // Another instance created it in between: attach to theirs.
    }
    qCritical("SingleApplication: Unable to attach to shared memory block.");
    abortWithError();
}

void SingleApplicationPrivate::lockBlock(const char *failureMessage)
{
    if (!memory->lock()) {
        qCritical("%s", failureMessage);
        abortWithError();
    }
}

void SingleApplicationPrivate::unlockBlock(const char *failureMessage)
{
    if (!memory->unlock())
        qDebug() << failureMessage << memory->errorString();
}

void SingleApplicationPrivate::waitForConsistentBlock()
{
    QElapsedTimer timer;
    timer.start();
    while (!blockIsConsistent(memory->data())) {
        if (timer.elapsed() > inconsistentBlockTimeoutMs) {
            qWarning("SingleApplication: Shared memory block has been in an inconsistent state "
                     "from more than 5s. Assuming primary instance failure.");
            initialiseBlock(memory->data());
        }
        unlockBlock("SingleApplication: Unable to unlock memory for random wait.");
        randomPause();
        lockBlock("SingleApplication: Unable to lock memory after random wait.");
    }
}

InstancesBlock SingleApplicationPrivate::block() const
{
    return readBlock(memory->constData());
}

void SingleApplicationPrivate::startAsPrimary()
{
    InstancesBlock contents = block();
    contents.primary = true;
    contents.primaryProcessId = QCoreApplication::applicationPid();
    contents.primaryUser = currentUserName().toUtf8();
    writeBlock(memory->data(), contents);
    instanceNumber = 0;

    // A primary that died leaves its socket file behind.
    QLocalServer::removeServer(blockName);
    server = new QLocalServer();
    server->setSocketOptions((options & SingleApplication::PerUserScope)
                                 ? QLocalServer::UserAccessOption
                                 : QLocalServer::WorldAccessOption);
    if (!server->listen(blockName))
        qWarning() << "SingleApplication: the local server could not listen:"
                   << server->errorString();
    connect(server, &QLocalServer::newConnection, this,
            &SingleApplicationPrivate::slotConnectionEstablished);
}

void SingleApplicationPrivate::startAsSecondary()
{
    InstancesBlock contents = block();
    contents.secondaryCount += 1;
    writeBlock(memory->data(), contents);
    instanceNumber = contents.secondaryCount;
}

bool SingleApplicationPrivate::settleRole(bool allowSecondary, int timeoutMs)
{
    for (int round = 0; round < settleRounds; ++round) {
        const InstancesBlock found = block();
        // A primary that was killed leaves the block saying it runs.
        const bool primaryRuns = found.primary && processExists(found.primaryProcessId);
        if (found.primary && !primaryRuns) {
            qWarning() << "SingleApplication: the primary instance (process"
                       << found.primaryProcessId << ") has ended; starting as primary.";
            initialiseBlock(memory->data());
        }
        if (!primaryRuns) {
            startAsPrimary();
            unlockBlock("SingleApplication: Unable to unlock memory after primary start.");
            return true;
        }
        if (allowSecondary) {
            startAsSecondary();
            if (options & SingleApplication::NotifySecondaryStart)
                connectToPrimaryInstance(QDeadlineTimer(timeoutMs), ConnectionType::SecondaryStart);
            unlockBlock("SingleApplication: Unable to unlock memory after secondary start.");
            return true;
        }
        unlockBlock("SingleApplication: Unable to unlock memory at end of execution.");
        if (connectToPrimaryInstance(QDeadlineTimer(timeoutMs), ConnectionType::InstanceStart) !=
            Reach::Unreachable)
            return false;

        // Nobody listens for the recorded primary, so nobody would ever hear
        // this or any later start: take over, unless another instance changed
        // the record in the meantime.
        lockBlock("SingleApplication: Unable to lock memory to take over from an unreachable "
                  "primary.");
        waitForConsistentBlock();
        const InstancesBlock now = block();
        if (now.primary && now.primaryProcessId == found.primaryProcessId) {
            qWarning() << "SingleApplication: the primary instance (process"
                       << found.primaryProcessId << ") cannot be reached; starting as primary.";
            initialiseBlock(memory->data());
            startAsPrimary();
            unlockBlock("SingleApplication: Unable to unlock memory after primary start.");
            return true;
        }
    }
    unlockBlock("SingleApplication: Unable to unlock memory at end of execution.");
    return false;
}

SingleApplicationPrivate::Reach
SingleApplicationPrivate::connectToPrimaryInstance(const QDeadlineTimer &deadline,
                                                   ConnectionType type)
{
    if (!socket)
        socket = new QLocalSocket();
    if (socket->state() == QLocalSocket::ConnectedState)
        return Reach::Acknowledged;

    forever
    {
        randomPause();
        if (socket->state() != QLocalSocket::ConnectingState)
            socket->connectToServer(blockName, QIODevice::ReadWrite);
        if (socket->state() == QLocalSocket::ConnectingState)
            socket->waitForConnected(remainingMs(deadline));
        if (socket->state() == QLocalSocket::ConnectedState)
            break;
        if (deadline.hasExpired()) {
            const QLocalSocket::LocalSocketError error = socket->error();
            const bool nobodyListens = error == QLocalSocket::ServerNotFoundError ||
                                       error == QLocalSocket::ConnectionRefusedError;
            socket->abort();
            return nobodyListens ? Reach::Unreachable : Reach::NoAnswer;
        }
    }

    const QByteArray body = initFrameBody(blockName, type, instanceNumber);
    socket->write(frameHeader(quint64(body.size())));
    if (waitForAcknowledgement(socket, deadline)) {
        socket->write(body);
        if (waitForAcknowledgement(socket, deadline))
            return Reach::Acknowledged;
    }
    // A connection that was never introduced must not carry a message later.
    socket->abort();
    return Reach::NoAnswer;
}

bool SingleApplicationPrivate::writeAcknowledgedMessage(const QDeadlineTimer &deadline,
                                                        const QByteArray &message,
                                                        SingleApplication::SendMode mode)
{
    socket->write(frameHeader(quint64(message.size())));
    bool acknowledged = waitForAcknowledgement(socket, deadline);
    if (acknowledged) {
        socket->write(message);
        acknowledged = waitForAcknowledgement(socket, deadline);
    }
    if (!acknowledged) {
        // The primary may still wait for the rest of this frame: start afresh next time.
        socket->abort();
        return false;
    }
    if (mode == SingleApplication::WaitForPrimaryExit &&
        socket->state() == QLocalSocket::ConnectedState)
        socket->waitForDisconnected(-1);
    return true;
}

void SingleApplicationPrivate::abortWithError()
{
    qCritical() << "SingleApplication: " << int(memory->error()) << memory->errorString();
    application->d = nullptr;
    delete this;
    ::exit(EXIT_FAILURE);
}

void SingleApplicationPrivate::slotConnectionEstablished()
{
    while (QLocalSocket *peerSocket = server->nextPendingConnection()) {
        peers.insert(peerSocket, Peer());
        connect(peerSocket, &QLocalSocket::aboutToClose, this, [this, peerSocket]() {
            const auto peer = peers.constFind(peerSocket);
            if (peer != peers.constEnd())
                slotClientConnectionClosed(peerSocket, peer->instanceNumber);
        });
        connect(peerSocket, &QLocalSocket::disconnected, peerSocket, &QObject::deleteLater);
        connect(peerSocket, &QObject::destroyed, this,
                [this, peerSocket]() { peers.remove(peerSocket); });
        connect(peerSocket, &QLocalSocket::readyRead, this,
                [this, peerSocket]() { readFromPeer(peerSocket); });
    }
}

void SingleApplicationPrivate::readFromPeer(QLocalSocket *peerSocket)
{
    // Several frames may wait at once; each step consumes at most one.
    bool progressed = true;
    while (progressed) {
        const auto found = peers.find(peerSocket);
        if (found == peers.end())
            return;
        Peer &peer = found.value();
        switch (peer.stage) {
        case Stage::AwaitInitHeader:
            progressed = readFrameHeader(peerSocket, peer, Stage::AwaitInitBody);
            break;
        case Stage::AwaitInitBody:
            progressed = readInitBody(peerSocket, peer);
            break;
        case Stage::AwaitMessageHeader:
            progressed = readFrameHeader(peerSocket, peer, Stage::AwaitMessageBody);
            break;
        case Stage::AwaitMessageBody:
            progressed = peerSocket->bytesAvailable() >= peer.frameLength;
            slotDataAvailable(peerSocket, peer.instanceNumber);
            break;
        }
    }
}

bool SingleApplicationPrivate::readFrameHeader(QLocalSocket *peerSocket, Peer &peer, Stage next)
{
    if (peerSocket->bytesAvailable() < frameHeaderBytes)
        return false;
    const quint64 length = parseFrameHeader(peerSocket->read(frameHeaderBytes)).value_or(0);
    const quint64 limit = next == Stage::AwaitInitBody
                              ? initBodyLimitBytes
                              : quint64(std::numeric_limits<qint64>::max());
    if (length > limit) {
        refuse(peerSocket);
        return false;
    }
    peer.frameLength = qint64(length);
    peer.stage = next;
    acknowledge(peerSocket);
    return true;
}

bool SingleApplicationPrivate::readInitBody(QLocalSocket *peerSocket, Peer &peer)
{
    if (peerSocket->bytesAvailable() < peer.frameLength)
        return false;
    const auto frame = parseInitFrameBody(peerSocket->read(peer.frameLength));
    if (!frame || frame->blockName != blockName.toLatin1() || !frame->checksumMatches) {
        refuse(peerSocket);
        return false;
    }
    peer.instanceNumber = frame->instanceNumber;
    peer.stage = Stage::AwaitMessageHeader;
    const auto type = ConnectionType(frame->connectionType);
    const bool announce = type == ConnectionType::InstanceStart ||
                          (type == ConnectionType::SecondaryStart &&
                           (options & SingleApplication::NotifySecondaryStart));
    // A handler may run events that close this connection.
    const QPointer<QLocalSocket> alive(peerSocket);
    if (announce)
        emit application->instanceStarted();
    if (!alive)
        return false;
    acknowledge(peerSocket);
    return true;
}

void SingleApplicationPrivate::slotDataAvailable(QLocalSocket *peerSocket,
                                                 quint32 peerInstanceNumber)
{
    const auto found = peers.find(peerSocket);
    if (found == peers.end() || found->stage != Stage::AwaitMessageBody ||
        peerSocket->bytesAvailable() < found->frameLength)
        return;
    const QByteArray message = peerSocket->read(found->frameLength);
    acknowledge(peerSocket);
    found->stage = Stage::AwaitMessageHeader;
    emit application->receivedMessage(peerInstanceNumber, message);
}

void SingleApplicationPrivate::slotClientConnectionClosed(QLocalSocket *peerSocket,
                                                          quint32 peerInstanceNumber)
{
    Q_UNUSED(peerInstanceNumber)
    // Bytes that arrived with the close still count, but only as what the
    // connection's stage expects: a peer that never introduced itself sends
    // no message.
    if (peerSocket->bytesAvailable() > 0)
        readFromPeer(peerSocket);
}

void SingleApplicationPrivate::acknowledge(QLocalSocket *peerSocket)
{
    peerSocket->putChar(acknowledgement);
    peerSocket->flush();
}

void SingleApplicationPrivate::refuse(QLocalSocket *peerSocket)
{
    peers.remove(peerSocket);
    peerSocket->close();
}

void SingleApplicationPrivate::clearPrimaryRecord()
{
    InstancesBlock contents = block();
    // After a take-over the block belongs to the instance that took over.
    if (!contents.primary || contents.primaryProcessId != QCoreApplication::applicationPid())
        return;
    contents.primary = false;
    contents.primaryProcessId = -1;
    contents.primaryUser.clear();
    writeBlock(memory->data(), contents);
}
