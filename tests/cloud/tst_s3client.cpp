#include "locals3server.h"
#include "qts3.h"

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QFile>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

// The S3 client against a real S3 implementation that checks every signature
// and payload hash, reached over TLS through a proxy under the real store names.
class S3ClientTest : public QObject
{
    Q_OBJECT

    LocalS3Server server;

    // The store's CA is trusted by the client only, never process-wide.
    QtS3 clientFor(int profileIndex, const QString &secretOverride = QString()) const
    {
        const LocalS3Server::Profile profile = server.profile(profileIndex);
        QtS3 client(profile.accessKeyId,
                    secretOverride.isNull() ? profile.secretAccessKey : secretOverride,
                    profile.host);
        client.setExtraCaCertificates(server.caCertificates());
        return client;
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
        QtS3 foreign(profile.accessKeyId, profile.secretAccessKey, other.host);
        foreign.setExtraCaCertificates(server.caCertificates());
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
        client.setExtraCaCertificates(server.caCertificates());
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
        // Said as a time-out, not as a cancellation nobody asked for.
        QCOMPARE(reply.errorString(),
                 QStringLiteral("time-out: no data from the store for 300 ms, transfer given up"));
        QVERIFY(reply.isTransientFailure());
    }

    void slowReplyMeetsTheTotalDeadline()
    {
        // Two bytes every 250 ms never stall, but the whole answer would take
        // 5 s; the deadline ends it.
        QtS3 client = clientFor(0);
        client.setTransferTimeoutMs(1000);
        client.setRequestDeadlineMs(1500);
        QVERIFY(client.getBucketLocation(bucket()).isSuccess());
        server.answerWithStream(QStringLiteral("/firmware/trickle.bin"), 200, 40, 2, 250, true);
        QElapsedTimer timer;
        timer.start();
        const QtS3Reply reply = client.getObject(bucket(), QStringLiteral("firmware/trickle.bin"));
        const qint64 elapsedMs = timer.elapsed();
        QCOMPARE(reply.errorCode(), QtS3Reply::NetworkError);
        QCOMPARE(reply.errorString(),
                 QStringLiteral("time-out: the store's reply took longer than 1500 ms, transfer "
                                "given up"));
        QVERIFY(reply.data().isEmpty());
        QVERIFY2(elapsedMs >= 1400 && elapsedMs < 3500, qPrintable(QString::number(elapsedMs)));
        QVERIFY(reply.isTransientFailure());
    }

    void replyBodyIsCapped_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("streamed");
        QTest::addColumn<bool>("announceLength");
        // 200 000 bytes over 5 s: a client that waits for all of it is late.
        QTest::newRow("length announced")
            << QStringLiteral("/firmware/big-announced.bin") << true << true;
        QTest::newRow("chunked, no length")
            << QStringLiteral("/firmware/big-chunked.bin") << true << false;
        QTest::newRow("stored object")
            << QStringLiteral("/firmware/big-stored.bin") << false << true;
    }
    void replyBodyIsCapped()
    {
        QFETCH(QString, path);
        QFETCH(bool, streamed);
        QFETCH(bool, announceLength);
        QtS3 client = clientFor(0);
        const QString key = path.mid(1);
        if (streamed)
            server.answerWithStream(path, 200, 200000, 2000, 50, announceLength);
        else
            QVERIFY(client.putObject(bucket(), key, sampleContent(70000, 'c'), {}).isSuccess());
        client.setMaximumReplyBodySizeBytes(10000);
        QElapsedTimer timer;
        timer.start();
        const QtS3Reply reply = client.getObject(bucket(), key);
        QCOMPARE(reply.errorCode(), QtS3Reply::NetworkError);
        QCOMPARE(reply.errorString(),
                 QStringLiteral("the store's reply is larger than 10000 bytes, transfer given up"));
        QVERIFY(reply.data().isEmpty());
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        // Small objects still pass under the same cap.
        QVERIFY(client.putObject(bucket(), QStringLiteral("firmware/small.bin"), "small", {})
                    .isSuccess());
        QCOMPARE(client.getObject(bucket(), QStringLiteral("firmware/small.bin")).data(),
                 QByteArray("small"));
    }

    void defaultLimitsFitTheLargestObject()
    {
        // An M7 package is under 1.4 MB of Base64: the cap leaves room above
        // it, the deadline leaves room for it on a slow line.
        QVERIFY(QtS3::defaultMaximumReplyBodySizeBytes >= 4 * 1400 * 1000);
        QVERIFY(QtS3::defaultRequestDeadlineMs > QtS3::defaultTransferTimeoutMs);
        const QByteArray package = sampleContent(1400 * 1000, 'm');
        const QtS3 client = clientFor(1);
        QVERIFY(client.putObject(bucket(), QStringLiteral("firmware/M7_v9.9.9.bin"), package, {})
                    .isSuccess());
        QCOMPARE(client.getObject(bucket(), QStringLiteral("firmware/M7_v9.9.9.bin")).data(),
                 package);
    }

    void bucketRegionMustBePlausible_data()
    {
        QTest::addColumn<QString>("constraint");
        QTest::addColumn<QByteArray>("region"); // empty: refused
        QTest::newRow("ap-northeast-1")
            << QStringLiteral("ap-northeast-1") << QByteArray("ap-northeast-1");
        QTest::newRow("cn-north-1") << QStringLiteral("cn-north-1") << QByteArray("cn-north-1");
        QTest::newRow("us-gov-west-1")
            << QStringLiteral("us-gov-west-1") << QByteArray("us-gov-west-1");
        QTest::newRow("legacy EU") << QStringLiteral("EU") << QByteArray("eu-west-1");
        QTest::newRow("path") << QStringLiteral("../../evil") << QByteArray();
        QTest::newRow("upper case") << QStringLiteral("US-EAST-1") << QByteArray();
        QTest::newRow("two words") << QStringLiteral("us-east-1 x") << QByteArray();
        QTest::newRow("no number") << QStringLiteral("us-east") << QByteArray();
        QTest::newRow("one word") << QStringLiteral("local") << QByteArray();
        QTest::newRow("dotted") << QStringLiteral("us-east-1.evil.com") << QByteArray();
        QTest::newRow("markup") << QStringLiteral("<b>us-east-1</b>") << QByteArray();
        QTest::newRow("control character") << QStringLiteral("us-east-1\tx") << QByteArray();
        QTest::newRow("long") << QStringLiteral("us-") + QString(200, QLatin1Char('a')) +
                                     QStringLiteral("-1")
                              << QByteArray();
    }
    void bucketRegionMustBePlausible()
    {
        QFETCH(QString, constraint);
        QFETCH(QByteArray, region);
        server.answerLocation(QStringLiteral("brivane-odd"), constraint);
        const QtS3 client = clientFor(1);
        const QtS3Reply location = client.getBucketLocation("brivane-odd");
        const QtS3Reply object = client.getObject("brivane-odd", QStringLiteral("firmware/x.bin"));
        server.clearAnswers();
        if (!region.isEmpty()) {
            QVERIFY2(location.isSuccess(), qPrintable(location.errorString()));
            QCOMPARE(location.data(), region);
            return;
        }
        QCOMPARE(location.errorCode(), QtS3Reply::NetworkError);
        QVERIFY2(location.errorString().startsWith(
                     QStringLiteral("the store named no plausible bucket region: ")),
                 qPrintable(location.errorString()));
        QVERIFY(location.data().isEmpty());
        // Shown on one line, cut short.
        QVERIFY(!location.errorString().contains(QLatin1Char('\t')));
        QVERIFY(location.errorString().size() < 120);
        QCOMPARE(object.errorCode(), QtS3Reply::NetworkError);
        // Nothing cached, no object request under a made-up region.
        QCOMPARE(
            server.countRequests(QStringLiteral("GET"), QStringLiteral("/brivane-odd?location")),
            2);
        QCOMPARE(server.requests().size(), 2);
    }

    void emptyPutCarriesContentLengthZero()
    {
        const QtS3 client = clientFor(0);
        const QtS3Reply put =
            client.putObject(bucket(), QStringLiteral("firmware/zero.bin"), {}, {});
        QVERIFY2(put.isSuccess(), qPrintable(put.errorString()));
        QVERIFY(
            client.putObject(bucket(), QStringLiteral("firmware/one.bin"), "1", {}).isSuccess());
        QStringList lengths;
        for (const LocalS3Server::SeenRequest &request : server.requests()) {
            if (request.method == QLatin1String("PUT"))
                lengths.append(request.contentLength);
        }
        QCOMPARE(lengths, (QStringList{QStringLiteral("0"), QStringLiteral("1")}));
        const QtS3Reply get = client.getObject(bucket(), QStringLiteral("firmware/zero.bin"));
        QVERIFY(get.isSuccess());
        QVERIFY(get.data().isEmpty());
    }

    void dotSegmentsAreRefusedUnsent_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("dot inside") << QStringLiteral("firmware/./a.bin");
        QTest::newRow("dot-dot inside") << QStringLiteral("firmware/../a.bin");
        QTest::newRow("leading dot") << QStringLiteral("./a.bin");
        QTest::newRow("trailing dot-dot") << QStringLiteral("firmware/..");
        QTest::newRow("trailing dot") << QStringLiteral("firmware/.");
        QTest::newRow("dot-dot alone") << QStringLiteral("..");
    }
    void dotSegmentsAreRefusedUnsent()
    {
        QFETCH(QString, key);
        const QtS3 client = clientFor(0);
        const QList<QtS3Reply> replies{client.getObject(bucket(), key),
                                       client.headObject(bucket(), key),
                                       client.putObject(bucket(), key, "x", {})};
        for (const QtS3Reply &reply : replies) {
            QCOMPARE(reply.errorCode(), QtS3Reply::InvalidRequestError);
            QCOMPARE(reply.errorString(),
                     QStringLiteral("Object name %1 has a \".\" or \"..\" path segment, which "
                                    "cannot be stored")
                         .arg(key));
            QVERIFY(!reply.isTransientFailure());
        }
        QVERIFY(server.requests().isEmpty());
    }

    void dotsThatAreNoSegmentsAreNames()
    {
        const QtS3 client = clientFor(0);
        for (const QString &key :
             {QStringLiteral("firmware/..a.bin"), QStringLiteral("firmware/a..b"),
              QStringLiteral("firmware/.hidden"), QStringLiteral("firmware/.../x"),
              QStringLiteral("firmware//double.bin"), QStringLiteral("firmware/trailing/")}) {
            const QtS3Reply put = client.putObject(bucket(), key, key.toUtf8(), {});
            QVERIFY2(put.isSuccess(), qPrintable(key + QLatin1Char(' ') + put.errorString()));
            QCOMPARE(client.getObject(bucket(), key).data(), key.toUtf8());
        }
    }

    void extraCaAddsToTheSystemAuthorities()
    {
        // Nothing in this test process trusts the store's CA process-wide.
        const QList<QSslCertificate> storeCa = server.caCertificates();
        QCOMPARE(storeCa.size(), 1);
        QVERIFY(
            !QSslConfiguration::defaultConfiguration().caCertificates().contains(storeCa.first()));
        const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
        QVERIFY2(!system.isEmpty(), "this machine has no system CA certificates");

        const QtS3 client = clientFor(0);
        const S3SignedRequest signedRequest = client.signRequest(
            "GET", QUrl(QStringLiteral("https://s3.cn-north-1.amazonaws.com.cn/brivane?location")),
            {}, "s3.cn-north-1.amazonaws.com.cn", QByteArray(), "cn-north-1");
        const QList<QSslCertificate> trusted =
            signedRequest.request.sslConfiguration().caCertificates();
        QVERIFY(trusted.contains(storeCa.first()));
        for (const QSslCertificate &certificate : system)
            QVERIFY2(trusted.contains(certificate), qPrintable(certificate.subjectDisplayName()));

        // The configured CA alone lets the client reach the store ...
        const QtS3Reply reached = client.getBucketLocation(bucket());
        QVERIFY2(reached.isSuccess(), qPrintable(reached.errorString()));
        // ... and without it the store's certificate is refused.
        const LocalS3Server::Profile profile = server.profile(0);
        const QtS3 untrusting(profile.accessKeyId, profile.secretAccessKey, profile.host);
        const QtS3Reply refused = untrusting.getBucketLocation(bucket());
        QCOMPARE(refused.errorCode(), QtS3Reply::NetworkError);
        QVERIFY2(refused.errorString().contains(QLatin1String("SSL"), Qt::CaseInsensitive) ||
                     refused.errorString().contains(QLatin1String("certificate")),
                 qPrintable(refused.errorString()));
    }

    void transientOrDefinite_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("transient");
        QTest::newRow("403 AccessDenied") << "document" << 403 << "AccessDenied" << false;
        QTest::newRow("400 InvalidArgument") << "document" << 400 << "InvalidArgument" << false;
        QTest::newRow("409 BucketNotEmpty") << "document" << 409 << "BucketNotEmpty" << false;
        QTest::newRow("301 PermanentRedirect") << "document" << 301 << "PermanentRedirect" << false;
        QTest::newRow("404 NoSuchKey document") << "document" << 404 << "NoSuchKey" << false;
        QTest::newRow("500 InternalError") << "document" << 500 << "InternalError" << true;
        QTest::newRow("503 SlowDown") << "document" << 503 << "SlowDown" << true;
        QTest::newRow("400 RequestTimeout") << "document" << 400 << "RequestTimeout" << true;
        QTest::newRow("503 empty") << "empty" << 503 << QString() << true;
        QTest::newRow("408 empty") << "empty" << 408 << QString() << true;
        QTest::newRow("429 empty") << "empty" << 429 << QString() << true;
        QTest::newRow("404 empty, no S3 answer") << "empty" << 404 << QString() << true;
        QTest::newRow("502 text, no S3 answer") << "text" << 502 << QString() << true;
    }
    void transientOrDefinite()
    {
        QFETCH(QString, kind);
        QFETCH(int, status);
        QFETCH(QString, code);
        QFETCH(bool, transient);
        const QString path = QStringLiteral("/firmware/answer-%1-%2.bin").arg(status).arg(kind);
        if (kind == QLatin1String("document"))
            server.answerWithErrorDocument(path, status, code, QStringLiteral("Injected."));
        else if (kind == QLatin1String("empty"))
            server.answerWithEmptyError(path, status);
        else
            server.answerWithTextError(path, status, QStringLiteral("proxy says no"));
        const QtS3Reply reply = clientFor(0).getObject(bucket(), path.mid(1));
        server.clearAnswers();
        QVERIFY(!reply.isSuccess());
        QCOMPARE(reply.httpStatus(), status);
        QCOMPARE(reply.isTransientFailure(), transient);
        QVERIFY(!QtS3Reply().isTransientFailure());

        // A real missing object is a definite answer too.
        const QtS3Reply missing =
            clientFor(0).getObject(bucket(), QStringLiteral("firmware/never-stored.bin"));
        QCOMPARE(missing.errorCode(), QtS3Reply::NoSuchKeyError);
        QVERIFY(!missing.isTransientFailure());
    }

    void pythonWithOtherMotoVersionIsRefused()
    {
        const QString python = LocalS3Server::findPythonWithMoto();
        QVERIFY(LocalS3Server::hasPinnedVersions(python));
        // The same interpreter, seeing a moto of another version first.
        QTemporaryDir fake;
        QVERIFY(QDir(fake.path()).mkpath(QStringLiteral("site/moto-5.1.0.dist-info")));
        QFile metadata(fake.filePath(QStringLiteral("site/moto-5.1.0.dist-info/METADATA")));
        QVERIFY(metadata.open(QIODevice::WriteOnly));
        metadata.write("Metadata-Version: 2.1\nName: moto\nVersion: 5.1.0\n");
        metadata.close();
        const QString wrapper = fake.filePath(QStringLiteral("python3"));
        QFile script(wrapper);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\nPYTHONPATH='%1' exec '%2' \"$@\"\n")
                         .arg(fake.filePath(QStringLiteral("site")), python)
                         .toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        QString problem;
        QVERIFY(!LocalS3Server::hasPinnedVersions(wrapper, &problem));
        QVERIFY2(problem.contains(QLatin1String("moto is 5.1.0, not 5.2.1")), qPrintable(problem));

        const QByteArray saved = qgetenv("BRIVANE_TEST_PYTHON");
        qputenv("BRIVANE_TEST_PYTHON", wrapper.toLocal8Bit());
        const QString chosen = LocalS3Server::findPythonWithMoto();
        if (saved.isNull())
            qunsetenv("BRIVANE_TEST_PYTHON");
        else
            qputenv("BRIVANE_TEST_PYTHON", saved);
        QCOMPARE(chosen, QString());
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
