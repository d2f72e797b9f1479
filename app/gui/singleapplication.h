#pragma once

#include <QApplication>
#include <QByteArray>
#include <QFlags>
#include <QString>

class SingleApplicationPrivate;

// The application object of a program that runs once per user and
// installation. The first instance (the primary) runs a local server; a later
// instance announces itself to it and, unless secondary instances are
// allowed, ends its process inside the construction with exit code 0.
class SingleApplication : public QApplication
{
    Q_OBJECT
public:
    enum Option {
        // The user name goes into the block name and only the same user may
        // connect to the primary.
        PerUserScope = 1,
        // An allowed secondary also announces itself.
        NotifySecondaryStart = 4,
        IgnoreAppVersion = 8,
        IgnoreAppPath = 16,
    };
    Q_DECLARE_FLAGS(Options, Option)

    enum SendMode {
        ReturnAfterAck = 0,
        WaitForPrimaryExit = 1,
    };

    // Identity values (application and organisation name, domain, version)
    // count as they stand when this runs.
    SingleApplication(int &argc, char **argv, bool allowSecondary = false,
                      Options options = PerUserScope, int timeoutMs = 1000,
                      const QString &userData = QString());
    ~SingleApplication() override;

    // True when this instance does not run the local server.
    bool runsAsSecondary() const;

    // Sends one message to the primary; false on the primary itself and when
    // the primary does not acknowledge it within the time-out.
    bool sendToPrimary(const QByteArray &message, int timeoutMs = 100,
                       SendMode mode = ReturnAfterAck);

signals:
    void instanceStarted();
    void receivedMessage(quint32 instanceId, QByteArray message);

private:
    Q_DISABLE_COPY(SingleApplication)
    SingleApplicationPrivate *d;
    friend class SingleApplicationPrivate;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SingleApplication::Options)
