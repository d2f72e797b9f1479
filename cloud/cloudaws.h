#pragma once

#include "qts3.h"

#include <QAtomicInteger>
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

#include <functional>

// The firmware store: two S3 profiles in different regions holding the same
// objects. Downloads come from the profile in use, uploads go to every
// profile, and ping() chooses the profile that answers fastest.
//
// Credentials are never built in. They, and overrides of any profile value,
// come from an INI file named by BRIVANE_STORE_CONFIG, or else store.ini in
// the application's config location:
//   [profile0] / [profile1]  AccessKeyID, SecretAccessKey, S3Url, BucketName, StoreDir
//   [tls]                    CaCertificates=<PEM file> (a self-hosted store's own CA)
class CloudAWS : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int currentIndex READ currentIndex NOTIFY currentIndexChanged)
public:
    enum S3ConfigKey {
        AccessKeyID = 0,
        SecretAccessKey = 1,
        S3Url = 2,
        BucketName = 3,
        StoreDir = 4,
        Delay = 5,
    };
    Q_ENUM(S3ConfigKey)

    static constexpr int downloadRetries = 3;
    static constexpr int uploadRetries = 3;
    static constexpr int pingPasses = 3;
    // A profile answering faster than this is good enough; no more probing.
    static constexpr qint64 pingStopBelowMs = 600;

    explicit CloudAWS(QObject *parent = nullptr);

    // Index of the profile in use; -1 while none is chosen.
    int currentIndex() const;

    // The whole object, or an empty array when it cannot be fetched.
    QByteArray download(const QString &name);
    // The same, telling an empty object (succeeded true) from a failure, and
    // saying why the last attempt failed.
    QByteArray download(const QString &name, bool *succeeded, QString *failure = nullptr);

    // One object as the profile in use holds it, with its ETag. absent
    // tells a store that answered "no such object" from a failure.
    struct FetchResult
    {
        bool succeeded = false;
        bool absent = false;
        QByteArray content;
        QByteArray etag;
        QString failure;
    };
    FetchResult fetch(const QString &name);

    enum class ConditionalOutcome { Stored, Conflict, Failed };
    // Stores the object on every profile, on the profile in use only while
    // it still holds the object with that ETag (with an empty etag: while it
    // holds none), so a writer never overwrites a change it has not seen.
    // The other profiles follow only once the profile in use took it.
    ConditionalOutcome uploadIfUnchanged(const QString &name, const QByteArray &content,
                                         const QByteArray &etag, QString *failure = nullptr);

    // Stores the object on every profile; true when every profile took it.
    bool upload(const QString &name, const QByteArray &content, const QStringList &headers);
    // The same, with one result per profile in table order and, for a
    // profile that refused, why (empty for one that took the object).
    bool upload(const QString &name, const QByteArray &content, const QStringList &headers,
                QList<bool> *profileResults, QStringList *profileFailures = nullptr);

    // Which measurements of ping() count.
    enum class PingPolicy {
        // Every one, answered or not: the program's rule, so that it always
        // ends with a choice.
        EveryMeasurement,
        // Only those the store answered: a failure, however quick, neither
        // stops the passes nor is chosen; with no answer at all nothing is
        // chosen and nothing stored.
        AnsweredOnly,
    };
    // Measures the profiles' response times and makes the fastest current,
    // storing the choice as CloudDefaultIndex. True when some profile
    // answered.
    bool ping(PingPolicy policy = PingPolicy::EveryMeasurement);

    int profileCount() const;
    QString profileHost(int profileIndex) const;
    QString objectKey(int profileIndex, const QString &name) const;
    QByteArray bucketName(int profileIndex) const;
    // A client for one profile, trusting the configured extra CA.
    QtS3 createClient(int profileIndex) const;

    // The store configuration file that the constructor reads.
    static QString storeConfigPath();
    // Where the configuration came from, or empty when none was found.
    QString loadedConfigPath() const { return configPath; }

    // Source of monotonic milliseconds for ping(); tests script it.
    using MillisecondClock = std::function<qint64()>;
    void setPingClock(MillisecondClock clock);

signals:
    void currentIndexChanged(int index);
    // One measurement of ping() (pass and profile counted from 0); answered
    // tells whether the store answered the request at all.
    void pingMeasured(int pass, int profileIndex, qint64 elapsedMs, bool answered);

private:
    static QList<QStringList> builtInProfiles();
    void loadStoreConfiguration();
    bool isProfileIndex(int index) const;

    QAtomicInteger<int> index;
    QList<QStringList> profiles;
    QList<QSslCertificate> extraCaCertificates;
    QString configPath;
    MillisecondClock pingClock;
};
