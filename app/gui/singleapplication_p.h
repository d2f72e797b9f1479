#pragma once

#include "singleapplication.h"
#include "singleinstancewire.h"

#include <QDeadlineTimer>
#include <QMap>
#include <QObject>
#include <QStringList>

class QLocalServer;
class QLocalSocket;
class QSharedMemory;

class SingleApplicationPrivate : public QObject
{
    Q_OBJECT
public:
    enum class Stage : quint8 {
        AwaitInitHeader = 0,
        AwaitInitBody = 1,
        AwaitMessageHeader = 2,
        AwaitMessageBody = 3,
    };

    // One accepted connection on the primary.
    struct Peer
    {
        qint64 frameLength = 0;
        quint32 instanceNumber = 0;
        Stage stage = Stage::AwaitInitHeader;
    };

    // How an attempt to reach the primary ended.
    enum class Reach {
        Acknowledged,
        // Connected, but the primary did not acknowledge in time: it runs.
        NoAnswer,
        // Nobody listens under the block name: the recorded primary is gone.
        Unreachable,
    };

    explicit SingleApplicationPrivate(SingleApplication *application);
    ~SingleApplicationPrivate() override;

    static QString currentUserName();
    QString deriveBlockName() const;
    static void randomPause();

    // Attaches to the instances block, creating it when none exists; ends the
    // process when neither works.
    void openBlock();
    void lockBlock(const char *failureMessage);
    void unlockBlock(const char *failureMessage);
    // With the block locked: waits while another process is half-way through
    // writing it, and re-initialises it after a writer that never finished.
    void waitForConsistentBlock();
    SingleInstanceWire::InstancesBlock block() const;

    void startAsPrimary();
    void startAsSecondary();
    // Called with the block locked; leaves it unlocked. False when this
    // process handed over and must end.
    bool settleRole(bool allowSecondary, int timeoutMs);

    Reach connectToPrimaryInstance(const QDeadlineTimer &deadline,
                                   SingleInstanceWire::ConnectionType type);
    bool writeAcknowledgedMessage(const QDeadlineTimer &deadline, const QByteArray &message,
                                  SingleApplication::SendMode mode);

    [[noreturn]] void abortWithError();

    SingleApplication *application;
    QSharedMemory *memory = nullptr;
    QLocalSocket *socket = nullptr;
    QLocalServer *server = nullptr;
    quint32 instanceNumber = 0;
    QString blockName;
    SingleApplication::Options options;
    QMap<QLocalSocket *, Peer> peers;
    QStringList userDataList;

public slots:
    void slotConnectionEstablished();
    void slotDataAvailable(QLocalSocket *peerSocket, quint32 peerInstanceNumber);
    void slotClientConnectionClosed(QLocalSocket *peerSocket, quint32 peerInstanceNumber);

private:
    void readFromPeer(QLocalSocket *peerSocket);
    bool readFrameHeader(QLocalSocket *peerSocket, Peer &peer, Stage next);
    bool readInitBody(QLocalSocket *peerSocket, Peer &peer);
    void acknowledge(QLocalSocket *peerSocket);
    // Closes a connection that did not introduce itself as an instance of this program.
    void refuse(QLocalSocket *peerSocket);
    void clearPrimaryRecord();
};
