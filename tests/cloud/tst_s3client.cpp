#include "locals3server.h"
#include "qts3.h"

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTest>

#include <thread>

// The S3 client against a real S3 implementation that checks every signature
// and payload hash, reached over TLS through a proxy under the real store names.
class S3ClientTest : public QObject
{
    Q_OBJECT

    LocalS3Server server;

    QtS3 clientFor(int profileIndex, const QString &secretOverride = QString()) const
    {
        const LocalS3Server::Profile profile = server.profile(profileIndex);
        return QtS3(profile.accessKeyId,
                    secretOverride.isNull() ? profile.secretAccessKey : secretOverride,
                    profile.host);
    }
    QByteArray bucket() const { return server.bucket().toLatin1(); }

    static QByteArray sampleContent(int sizeBytes, char seed)
    {
        QByteArray content(sizeBytes, Qt::Uninitialized);
        for (int offset = 0; offset < sizeBytes; ++offset)
            content[offset] = char((offset * 31 + seed) & 0xFF);
        return content;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        server.useFromThisProcess();
    }

    void cleanupTestCase() { server.stop(); }

    void init() { server.resetRequests(); }

    void putThenGetOnEachProfile_data()
    {
        QTest::addColumn<int>("profileIndex");
        QTest::newRow("cn-north-1") << 0;
        QTest::newRow("ap-northeast-1") << 1;
    }
    void putThenGetOnEachProfile()
    {
        QFETCH(int, profileIndex);
        const QtS3 client = clientFor(profileIndex);
        const QByteArray content = sampleContent(70000, char(profileIndex));
        const QString key = QStringLiteral("firmware/roundtrip.bin");

        const QtS3Reply put = client.putObject(bucket(), key, content, {});
        QVERIFY2(put.isSuccess(), qPrintable(put.errorString()));
        QCOMPARE(put.errorString(), QString());
        const QtS3Reply get = client.getObject(bucket(), key);
        QVERIFY2(get.isSuccess(), qPrintable(get.errorString()));
        QCOMPARE(get.data(), content);

        // Location lookup path-style on the endpoint, objects virtual-hosted.
        const QString endpoint = server.profile(profileIndex).host;
        const QList<LocalS3Server::SeenRequest> seen = server.requests();
        QCOMPARE(seen.size(), 3);
        QCOMPARE(seen.at(0).method, QStringLiteral("GET"));
        QCOMPARE(seen.at(0).host, endpoint);
        QCOMPARE(seen.at(0).path, QStringLiteral("/brivane?location"));
        QCOMPARE(seen.at(1).method, QStringLiteral("PUT"));
        QCOMPARE(seen.at(1).host, QStringLiteral("brivane.") + endpoint);
        QCOMPARE(seen.at(1).path, QStringLiteral("/firmware/roundtrip.bin"));
        QCOMPARE(seen.at(2).method, QStringLiteral("GET"));
    }

    void locationLookupNamesTheBucketRegion()
    {
        const QtS3Reply location = clientFor(1).getBucketLocation(bucket());
        QVERIFY(location.isSuccess());
        QCOMPARE(location.data(), QByteArray("ap-northeast-1"));
    }

    void bucketOfTheClassicRegion()
    {
        // Its location document is empty: the region is us-east-1, and the
        // object requests signed for it are accepted.
        const QtS3 client = clientFor(1);
        const QtS3Reply location = client.getBucketLocation("brivane-classic");
        QVERIFY2(location.isSuccess(), qPrintable(location.errorString()));
        QCOMPARE(location.data(), QByteArray("us-east-1"));
        const QtS3Reply put =
            client.putObject("brivane-classic", QStringLiteral("firmware/c.bin"), "classic", {});
        QVERIFY2(put.isSuccess(), qPrintable(put.errorString()));
        QCOMPARE(client.getObject("brivane-classic", QStringLiteral("firmware/c.bin")).data(),
                 QByteArray("classic"));
    }

    void extraHeaderIsSentAndSigned()
    {
        const QtS3 client = clientFor(0);
        // The value holds ":" and a double space: it must arrive whole and be
        // signed the way the store canonicalises it.
        const QStringList headers{QStringLiteral("X-Amz-Meta-Build:first"),
                                  QStringLiteral("X-Amz-Meta-Build: 2024-01-31T23:59:59Z  nightly"),
                                  QStringLiteral("Content-Type:application/octet-stream")};
        const QtS3Reply put =
            client.putObject(bucket(), QStringLiteral("firmware/meta.bin"), "meta", headers);
        QVERIFY2(put.isSuccess(), qPrintable(put.errorString()));

        const QtS3Reply head = client.headObject(bucket(), QStringLiteral("firmware/meta.bin"));
        QVERIFY(head.isSuccess());
        QCOMPARE(head.httpStatus(), 200);
        QCOMPARE(head.rawHeader("x-amz-meta-build").simplified(),
                 QByteArray("2024-01-31T23:59:59Z nightly"));

        const QUrl url(QStringLiteral("https://brivane.s3.cn-north-1.amazonaws.com.cn/firmware/m"));
        const S3SignedRequest signedRequest =
            client.signRequest("PUT", url, {{"X-Amz-Meta-Build", "nightly"}},
                               "brivane.s3.cn-north-1.amazonaws.com.cn", "meta", "cn-north-1");
        QVERIFY(signedRequest.canonicalRequest.contains("\nx-amz-meta-build:nightly\n"));
        QVERIFY(signedRequest.request.rawHeader("Authorization")
                    .contains("SignedHeaders=host;user-agent;x-amz-content-sha256;x-amz-date;"
                              "x-amz-meta-build, "));
    }

    void headerWithoutColonIsRefusedUnsent()
    {
        const QtS3Reply put = clientFor(0).putObject(bucket(), QStringLiteral("firmware/x.bin"),
                                                     "x", {QStringLiteral("NoColonHere")});
        QCOMPARE(put.errorCode(), QtS3Reply::InvalidRequestError);
        QVERIFY(server.requests().isEmpty());
    }

    void headOfPresentAndMissingObjects()
    {
        const QtS3 client = clientFor(0);
        QVERIFY(client.putObject(bucket(), QStringLiteral("firmware/present.bin"), "12345", {})
                    .isSuccess());

        const QtS3Reply present =
            client.headObject(bucket(), QStringLiteral("firmware/present.bin"));
        QCOMPARE(present.errorCode(), QtS3Reply::NoError);
        QCOMPARE(present.httpStatus(), 200);
        QCOMPARE(present.rawHeader("Content-Length"), QByteArray("5"));
        QVERIFY(present.data().isEmpty());

        // The store answered, so the call succeeded; the status tells the rest.
        const QtS3Reply missing =
            client.headObject(bucket(), QStringLiteral("firmware/absent.bin"));
        QCOMPARE(missing.errorCode(), QtS3Reply::NoError);
        QCOMPARE(missing.errorString(), QString());
        QCOMPARE(missing.httpStatus(), 404);
        QVERIFY(!missing.rawHeader("x-amz-request-id").isEmpty());

        // Without the store's request id a missing object is an error.
        server.setRequestIdHeader(false);
        const QtS3Reply unidentified =
            client.headObject(bucket(), QStringLiteral("firmware/absent.bin"));
        const QtS3Reply unidentifiedPresent =
            client.headObject(bucket(), QStringLiteral("firmware/present.bin"));
        server.setRequestIdHeader(true);
        QCOMPARE(unidentified.errorCode(), QtS3Reply::NetworkError);
        QCOMPARE(unidentifiedPresent.errorCode(), QtS3Reply::NoError);
    }

    void storeErrorDocuments()
    {
        const QtS3 client = clientFor(0);
        const QtS3Reply missingKey =
            client.getObject(bucket(), QStringLiteral("firmware/none.bin"));
        QCOMPARE(missingKey.errorCode(), QtS3Reply::NoSuchKeyError);
        QCOMPARE(missingKey.errorString(), QStringLiteral("The specified key does not exist."));
        QVERIFY(missingKey.data().contains("<Code>NoSuchKey</Code>"));

        server.resetRequests();
        const QtS3Reply missingBucket =
            client.getObject("brivane-none", QStringLiteral("firmware/none.bin"));
        QCOMPARE(missingBucket.errorCode(), QtS3Reply::NoSuchBucketError);
        QCOMPARE(missingBucket.errorString(),
                 QStringLiteral("The specified bucket does not exist"));
        // The failed location lookup ends the call: no object request.
        const QList<LocalS3Server::SeenRequest> seen = server.requests();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).path, QStringLiteral("/brivane-none?location"));
    }

    void refusedSignatures()
    {
        const LocalS3Server::Profile profile = server.profile(0);
        QString wrongSecret = profile.secretAccessKey;
        wrongSecret[0] =
            wrongSecret.at(0) == QLatin1Char('A') ? QLatin1Char('B') : QLatin1Char('A');
        const QtS3 refused = clientFor(0, wrongSecret);
        const QtS3Reply reply = refused.getObject(bucket(), QStringLiteral("firmware/x.bin"));
        QCOMPARE(reply.errorCode(), QtS3Reply::OtherS3Error);
        QCOMPARE(reply.errorString(),
                 QStringLiteral("SignatureDoesNotMatch: The request signature we calculated does "
                                "not match the signature you provided. Check your key and signing "
                                "method."));
        // Nothing is cached after a failed lookup: the next call asks again.
        refused.getObject(bucket(), QStringLiteral("firmware/x.bin"));
        QCOMPARE(server.countRequests(QStringLiteral("GET"), QStringLiteral("/brivane?location")),
                 2);

        // A profile's key used against the other partition is unknown there.
        const LocalS3Server::Profile other = server.profile(1);
        const QtS3 foreign(profile.accessKeyId, profile.secretAccessKey, other.host);
        const QtS3Reply foreignReply =
            foreign.getObject(bucket(), QStringLiteral("firmware/x.bin"));
        QCOMPARE(foreignReply.errorCode(), QtS3Reply::OtherS3Error);
        QVERIFY2(foreignReply.errorString().startsWith(QStringLiteral("InvalidAccessKeyId: ")),
                 qPrintable(foreignReply.errorString()));
    }

    void errorStatusWithoutErrorDocument()
    {
        const QtS3 client = clientFor(0);
        server.answerWithEmptyError(QStringLiteral("/firmware/empty-error.bin"), 503);
        const QtS3Reply empty =
            client.getObject(bucket(), QStringLiteral("firmware/empty-error.bin"));
        QCOMPARE(empty.errorCode(), QtS3Reply::NetworkError);
        QVERIFY(!empty.errorString().isEmpty());
        QVERIFY(empty.data().isEmpty());

        server.answerWithTextError(QStringLiteral("/firmware/text-error.bin"), 502,
                                   QStringLiteral("upstream down"));
        const QtS3Reply text =
            client.getObject(bucket(), QStringLiteral("firmware/text-error.bin"));
        QCOMPARE(text.errorCode(), QtS3Reply::NetworkError);
        QCOMPARE(text.errorString(), QString());
        QCOMPARE(text.data(), QByteArray("upstream down"));
    }

    void redirectWithIndentedErrorDocumentIsAnError()
    {
        // A 3xx finishes without a network error; its body must not pass for
        // the object, and the indentation must not replace the code.
        server.answerWithErrorDocument(QStringLiteral("/firmware/moved.bin"), 301,
                                       QStringLiteral("PermanentRedirect"),
                                       QStringLiteral("Use the other endpoint."));
        const QtS3Reply moved =
            clientFor(0).getObject(bucket(), QStringLiteral("firmware/moved.bin"));
        QCOMPARE(moved.errorCode(), QtS3Reply::OtherS3Error);
        QCOMPARE(moved.errorString(), QStringLiteral("PermanentRedirect: Use the other endpoint."));
    }

    void emptyNamesAreAnsweredAtOnce()
    {
        const QtS3 client = clientFor(0);
        const QList<QtS3Reply> noBucket{
            client.getObject(QByteArray(), QStringLiteral("a")),
            client.headObject(QByteArray(), QStringLiteral("a")),
            client.putObject(QByteArray(), QStringLiteral("a"), "x", {})};
        for (const QtS3Reply &reply : noBucket) {
            QCOMPARE(reply.errorCode(), QtS3Reply::BucketNameEmptyError);
            QCOMPARE(reply.errorString(), QStringLiteral("Bucket name is empty"));
        }
        const QList<QtS3Reply> noKey{client.getObject(bucket(), QString()),
                                     client.headObject(bucket(), QString()),
                                     client.putObject(bucket(), QString(), "x", {})};
        for (const QtS3Reply &reply : noKey) {
            QCOMPARE(reply.errorCode(), QtS3Reply::ObjectNameEmptyError);
            QCOMPARE(reply.errorString(), QStringLiteral("Object name is empty"));
        }
        QVERIFY(server.requests().isEmpty());
        QCOMPARE(QtS3Reply().errorCode(), QtS3Reply::UninitializedError);
        QCOMPARE(QtS3Reply().errorString(),
                 QStringLiteral("Internal error: un-initianlized QtS3Reply."));
    }

    void locationIsAskedOncePerClient()
    {
        const QtS3 first = clientFor(0);
        for (int call = 0; call < 3; ++call)
            first.getObject(bucket(), QStringLiteral("firmware/roundtrip.bin"));
        const QtS3 copy = first; // copies share the caches
        copy.headObject(bucket(), QStringLiteral("firmware/roundtrip.bin"));
        QCOMPARE(server.countRequests(QStringLiteral("GET"), QStringLiteral("/brivane?location")),
                 1);
        clientFor(0).getObject(bucket(), QStringLiteral("firmware/roundtrip.bin"));
        QCOMPARE(server.countRequests(QStringLiteral("GET"), QStringLiteral("/brivane?location")),
                 2);
    }

    void signingKeyIsDerivedOncePerRegionAndDate()
    {
        const LocalS3Server::Profile profile = server.profile(0);
        QAtomicInt secretReads;
        QAtomicInt keyIdReads;
        const QByteArray secret = profile.secretAccessKey.toLatin1();
        const QByteArray keyId = profile.accessKeyId.toLatin1();
        QtS3 client(
            [&]() {
                keyIdReads.ref();
                return keyId;
            },
            [&]() {
                secretReads.ref();
                return secret;
            },
            profile.host.toLatin1());
        QCOMPARE(secretReads.loadAcquire(), 1);
        QCOMPARE(keyIdReads.loadAcquire(), 1);

        QDateTime now = QDateTime(QDate(2024, 1, 31), QTime(23, 59, 0), Qt::UTC);
        client.setClock([&now]() { return now; });
        const QString key = QStringLiteral("firmware/dated.bin");
        QVERIFY(client.putObject(bucket(), key, "dated", {}).isSuccess()); // lookup + PUT
        QCOMPARE(secretReads.loadAcquire(), 2);
        QCOMPARE(keyIdReads.loadAcquire(), 3);

        // 90 s later but on the next UTC date: a new key.
        now = QDateTime(QDate(2024, 2, 1), QTime(0, 0, 30), Qt::UTC);
        QVERIFY(client.getObject(bucket(), key).isSuccess());
        QCOMPARE(secretReads.loadAcquire(), 3);
        now = QDateTime(QDate(2024, 2, 1), QTime(12, 0, 0), Qt::UTC);
        QVERIFY(client.getObject(bucket(), key).isSuccess());
        QCOMPARE(secretReads.loadAcquire(), 3);
        // A clock that went back before the derivation does not reuse it.
        now = QDateTime(QDate(2024, 2, 1), QTime(0, 0, 10), Qt::UTC);
        QVERIFY(client.getObject(bucket(), key).isSuccess());
        QCOMPARE(secretReads.loadAcquire(), 4);
        QCOMPARE(keyIdReads.loadAcquire(), 6);
    }

    void keysAreNamesNotUrlSyntax()
    {
        const QtS3 client = clientFor(1);
        // moto re-encodes the path its own way for "%", "=" and "+", so the
        // name keeps to characters that every encoder escapes alike.
        const QString key = QStringLiteral("firmware/odd name#1?v.bin");
        const QtS3Reply oddPut = client.putObject(bucket(), key, "odd", {});
        QVERIFY2(oddPut.isSuccess(), oddPut.data().constData());
        const QtS3Reply get = client.getObject(bucket(), key);
        QVERIFY2(get.isSuccess(), qPrintable(get.errorString()));
        QCOMPARE(get.data(), QByteArray("odd"));
        // "#" and "?" are part of the name, not a fragment or a query.
        QCOMPARE(client.getObject(bucket(), QStringLiteral("firmware/odd name#1")).errorCode(),
                 QtS3Reply::NoSuchKeyError);
    }

    void stalledTransferIsGivenUp()
    {
        QtS3 client = clientFor(0);
        QVERIFY(client.getBucketLocation(bucket()).isSuccess());
        client.setTransferTimeoutMs(300);
        server.setRegionDelayMs(QStringLiteral("cn-north-1"), 2000);
        QElapsedTimer timer;
        timer.start();
        const QtS3Reply reply =
            client.getObject(bucket(), QStringLiteral("firmware/roundtrip.bin"));
        const qint64 elapsedMs = timer.elapsed();
        server.setRegionDelayMs(QStringLiteral("cn-north-1"), 0);
        QCOMPARE(reply.errorCode(), QtS3Reply::NetworkError);
        QVERIFY2(elapsedMs < 1900, qPrintable(QString::number(elapsedMs)));
    }

    void concurrentCallsOnOneClient()
    {
        const QtS3 client = clientFor(0);
        const QByteArray first = sampleContent(30000, 'a');
        const QByteArray second = sampleContent(20000, 'b');
        QVERIFY(client.putObject(bucket(), QStringLiteral("firmware/first.bin"), first, {})
                    .isSuccess());
        QVERIFY(client.putObject(bucket(), QStringLiteral("firmware/second.bin"), second, {})
                    .isSuccess());
        QByteArray firstRead;
        QByteArray secondRead;
        std::thread one([&]() {
            for (int round = 0; round < 5; ++round)
                firstRead = client.getObject(bucket(), QStringLiteral("firmware/first.bin")).data();
        });
        std::thread two([&]() {
            for (int round = 0; round < 5; ++round)
                secondRead =
                    client.getObject(bucket(), QStringLiteral("firmware/second.bin")).data();
        });
        one.join();
        two.join();
        QCOMPARE(firstRead, first);
        QCOMPARE(secondRead, second);
        QCOMPARE(client.pendingRequests(), 0);
    }
};

QTEST_MAIN(S3ClientTest)
#include "tst_s3client.moc"
