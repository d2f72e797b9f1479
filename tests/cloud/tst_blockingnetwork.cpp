#include "threadsafeblockingnetworkaccesmanager.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QPointer>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

#include <atomic>
#include <thread>

namespace {

// A loopback HTTP server on a thread of its own, answering by path:
//   /slow?ms=N&body=X   the whole answer X after N ms
//   /late-body?ms=N     headers announcing 5 bytes at once, "hello" after N ms
//   /echo               the request body
class ScriptedHttpServer : public QObject
{
    Q_OBJECT
public:
    quint16 listen()
    {
        server = new QTcpServer(this);
        connect(server, &QTcpServer::newConnection, this, &ScriptedHttpServer::accept);
        server->listen(QHostAddress::LocalHost, 0);
        return server->serverPort();
    }

private:
    void accept()
    {
        while (QTcpSocket *socket = server->nextPendingConnection()) {
            auto *received = new QByteArray();
            connect(socket, &QObject::destroyed, this, [received]() { delete received; });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, received]() {
                received->append(socket->readAll());
                const int headEnd = received->indexOf("\r\n\r\n");
                if (headEnd < 0)
                    return;
                const QByteArray head = received->left(headEnd);
                int contentLength = 0;
                for (const QByteArray &line : head.split('\n')) {
                    if (line.toLower().startsWith("content-length:"))
                        contentLength = line.mid(15).trimmed().toInt();
                }
                if (received->size() < headEnd + 4 + contentLength)
                    return;
                const QByteArray body = received->mid(headEnd + 4, contentLength);
                const QList<QByteArray> requestLine = head.split('\n').first().split(' ');
                received->clear();
                answer(socket, QUrl(QString::fromLatin1(requestLine.at(1))), body);
            });
        }
    }

    static QByteArray headers(int contentLength)
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n"
               "Content-Length: " +
               QByteArray::number(contentLength) + "\r\n\r\n";
    }

    void answer(QTcpSocket *socket, const QUrl &url, const QByteArray &body)
    {
        const QUrlQuery query(url);
        const int delayMs = query.queryItemValue(QStringLiteral("ms")).toInt();
        QPointer<QTcpSocket> guarded(socket);
        if (url.path() == QLatin1String("/slow")) {
            const QByteArray text = query.queryItemValue(QStringLiteral("body")).toLatin1();
            QTimer::singleShot(delayMs, this, [guarded, text]() {
                if (guarded) {
                    guarded->write(headers(text.size()) + text);
                    guarded->disconnectFromHost();
                }
            });
        } else if (url.path() == QLatin1String("/late-body")) {
            socket->write(headers(5));
            socket->flush();
            QTimer::singleShot(delayMs, this, [guarded]() {
                if (guarded) {
                    guarded->write("hello");
                    guarded->disconnectFromHost();
                }
            });
        } else {
            socket->write(headers(body.size()) + body);
            socket->disconnectFromHost();
        }
    }

    QTcpServer *server = nullptr;
};

} // namespace

// The blocking facade: callers on any thread, each waking for its own reply.
class BlockingNetworkTest : public QObject
{
    Q_OBJECT

    QThread serverThread;
    ScriptedHttpServer *server = nullptr;
    quint16 port = 0;

    QNetworkRequest request(const QString &pathAndQuery) const
    {
        return QNetworkRequest(
            QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(pathAndQuery)));
    }

    NetworkExchange timedSend(ThreadsafeBlockingNetworkAccesManager &facade,
                              const QString &pathAndQuery, const QByteArray &verb,
                              qint64 *elapsedMs) const
    {
        QElapsedTimer timer;
        timer.start();
        const NetworkExchange exchange =
            facade.blockingSendCustomRequest(request(pathAndQuery), verb);
        *elapsedMs = timer.elapsed();
        return exchange;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        serverThread.start();
        server = new ScriptedHttpServer();
        server->moveToThread(&serverThread);
        QMetaObject::invokeMethod(
            server, [this]() { port = server->listen(); }, Qt::BlockingQueuedConnection);
        QVERIFY(port != 0);
    }

    void cleanupTestCase()
    {
        QMetaObject::invokeMethod(server, &QObject::deleteLater);
        serverThread.quit();
        serverThread.wait();
    }

    void bodyGoesOutAndComesBack()
    {
        ThreadsafeBlockingNetworkAccesManager facade;
        const QByteArray payload(100000, 'p');
        const NetworkExchange exchange =
            facade.blockingSendCustomRequest(request(QStringLiteral("/echo")), "PUT", payload);
        QVERIFY(exchange.isFinished());
        QCOMPARE(exchange.error(), QNetworkReply::NoError);
        QCOMPARE(exchange.httpStatus(), 200);
        QCOMPARE(exchange.body(), payload);
        QCOMPARE(exchange.rawHeader("content-type"), QByteArray("text/plain"));
    }

    void twoThreadsEachGetTheirOwnReply()
    {
        ThreadsafeBlockingNetworkAccesManager facade;
        NetworkExchange slow;
        NetworkExchange fast;
        qint64 slowMs = 0;
        qint64 fastMs = 0;
        std::thread slowCaller([&]() {
            slow = timedSend(facade, QStringLiteral("/slow?ms=700&body=slow"), "GET", &slowMs);
        });
        std::thread fastCaller([&]() {
            fast = timedSend(facade, QStringLiteral("/slow?ms=50&body=fast"), "GET", &fastMs);
        });
        slowCaller.join();
        fastCaller.join();
        QCOMPARE(slow.body(), QByteArray("slow"));
        QCOMPARE(fast.body(), QByteArray("fast"));
        // The fast caller woke for its own reply, not for the other's.
        QVERIFY2(fastMs < 500, qPrintable(QString::number(fastMs)));
        QVERIFY2(slowMs >= 650, qPrintable(QString::number(slowMs)));
    }

    void headReturnsWhenHeadersArrive()
    {
        ThreadsafeBlockingNetworkAccesManager facade;
        qint64 headMs = 0;
        const NetworkExchange head =
            timedSend(facade, QStringLiteral("/late-body?ms=1500"), "HEAD", &headMs);
        QVERIFY2(headMs < 1000, qPrintable(QString::number(headMs)));
        QVERIFY(!head.isFinished());
        QCOMPARE(head.httpStatus(), 200);
        QCOMPARE(head.rawHeader("Content-Length"), QByteArray("5"));
        QVERIFY(head.body().isEmpty());
    }

    void lowerCaseHeadWaitsForTheEnd()
    {
        ThreadsafeBlockingNetworkAccesManager facade;
        qint64 headMs = 0;
        const NetworkExchange head =
            timedSend(facade, QStringLiteral("/late-body?ms=600"), "head", &headMs);
        QVERIFY2(headMs >= 550, qPrintable(QString::number(headMs)));
        QVERIFY(head.isFinished());
        QCOMPARE(head.body(), QByteArray("hello"));
    }

    void pendingRequestsCountsCallsInside()
    {
        ThreadsafeBlockingNetworkAccesManager facade;
        QCOMPARE(facade.pendingRequests(), 0);
        std::thread first([&]() {
            facade.blockingSendCustomRequest(request(QStringLiteral("/slow?ms=800&body=1")), "GET");
        });
        std::thread second([&]() {
            facade.blockingSendCustomRequest(request(QStringLiteral("/slow?ms=800&body=2")), "GET");
        });
        QTRY_COMPARE_WITH_TIMEOUT(facade.pendingRequests(), 2, 700);
        first.join();
        second.join();
        QCOMPARE(facade.pendingRequests(), 0);
    }

    void failedRequestStillReturns()
    {
        ThreadsafeBlockingNetworkAccesManager facade;
        // A port that was just free: the connection is refused.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 closedPort = closed.serverPort();
        closed.close();
        const NetworkExchange refused = facade.blockingSendCustomRequest(
            QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(closedPort))), "GET");
        QVERIFY(refused.isFinished());
        QCOMPARE(refused.error(), QNetworkReply::ConnectionRefusedError);
        QVERIFY(!refused.errorString().isEmpty());
        QCOMPARE(refused.httpStatus(), 0);
    }

    void callOnTheNetworkThreadIsRefused()
    {
        ThreadsafeBlockingNetworkAccesManager facade;
        auto *onNetworkThread = new QObject();
        onNetworkThread->moveToThread(facade.networkThread());
        connect(facade.networkThread(), &QThread::finished, onNetworkThread, &QObject::deleteLater);
        NetworkExchange exchange;
        QTest::ignoreMessage(QtWarningMsg, "blocking request refused on the network thread itself");
        QMetaObject::invokeMethod(
            onNetworkThread,
            [&]() {
                exchange =
                    facade.blockingSendCustomRequest(request(QStringLiteral("/echo")), "GET");
            },
            Qt::BlockingQueuedConnection);
        QCOMPARE(exchange.error(), QNetworkReply::UnknownNetworkError);
        QVERIFY(!exchange.isFinished());
    }

    void limitsEndAnExchange_data()
    {
        QTest::addColumn<QString>("pathAndQuery");
        QTest::addColumn<QByteArray>("verb");
        QTest::addColumn<int>("stallTimeoutMs");
        QTest::addColumn<int>("deadlineMs");
        QTest::addColumn<int>("maximumBodySizeBytes");
        QTest::addColumn<int>("interruption"); // NetworkExchange::Interruption
        QTest::addColumn<QString>("errorString");
        const QString none;
        QTest::newRow("no answer before the stall limit")
            << "/slow?ms=1500&body=late" << QByteArray("GET") << 300 << 0 << 0
            << int(NetworkExchange::Interruption::Stalled)
            << "time-out: no data from the store for 300 ms, transfer given up";
        QTest::newRow("body stalls after the headers")
            << "/late-body?ms=1500" << QByteArray("GET") << 300 << 0 << 0
            << int(NetworkExchange::Interruption::Stalled)
            << "time-out: no data from the store for 300 ms, transfer given up";
        QTest::newRow("deadline")
            << "/slow?ms=1500&body=late" << QByteArray("GET") << 0 << 500 << 0
            << int(NetworkExchange::Interruption::DeadlinePassed)
            << "time-out: the store's reply took longer than 500 ms, transfer given up";
        QTest::newRow("deadline in whole seconds")
            << "/slow?ms=1500&body=late" << QByteArray("GET") << 0 << 1000 << 0
            << int(NetworkExchange::Interruption::DeadlinePassed)
            << "time-out: the store's reply took longer than 1 s, transfer given up";
        QTest::newRow("body over the cap")
            << "/slow?ms=0&body=0123456789" << QByteArray("GET") << 0 << 0 << 9
            << int(NetworkExchange::Interruption::BodyTooLarge)
            << "the store's reply is larger than 9 bytes, transfer given up";
        QTest::newRow("body at the cap")
            << "/slow?ms=0&body=0123456789" << QByteArray("GET") << 300 << 1000 << 10
            << int(NetworkExchange::Interruption::None) << none;
        // A HEAD hands over at its headers; its body, never read, is not
        // given up afterwards, and the limits do not outlive it.
        QTest::newRow("HEAD before its late body")
            << "/late-body?ms=1500" << QByteArray("HEAD") << 300 << 500 << 1
            << int(NetworkExchange::Interruption::None) << none;
    }
    void limitsEndAnExchange()
    {
        QFETCH(QString, pathAndQuery);
        QFETCH(QByteArray, verb);
        QFETCH(int, stallTimeoutMs);
        QFETCH(int, deadlineMs);
        QFETCH(int, maximumBodySizeBytes);
        QFETCH(int, interruption);
        QFETCH(QString, errorString);
        ThreadsafeBlockingNetworkAccesManager facade;
        ExchangeLimits limits;
        limits.stallTimeoutMs = stallTimeoutMs;
        limits.deadlineMs = deadlineMs;
        limits.maximumBodySizeBytes = maximumBodySizeBytes;
        QElapsedTimer timer;
        timer.start();
        const NetworkExchange exchange =
            facade.blockingSendCustomRequest(request(pathAndQuery), verb, QByteArray(), limits);
        const qint64 elapsedMs = timer.elapsed();

        QCOMPARE(int(exchange.interruption()), interruption);
        QCOMPARE(exchange.errorString(), errorString);
        if (interruption == int(NetworkExchange::Interruption::None)) {
            QCOMPARE(exchange.error(), QNetworkReply::NoError);
            QCOMPARE(exchange.httpStatus(), 200);
            if (verb == "GET")
                QCOMPARE(exchange.body(), QByteArray("0123456789"));
            // Time for the limits to fire on a reply that is done with.
            QTest::qWait(700);
            QCOMPARE(facade.pendingRequests(), 0);
            return;
        }
        QCOMPARE(exchange.error(), interruption == int(NetworkExchange::Interruption::BodyTooLarge)
                                       ? QNetworkReply::UnknownContentError
                                       : QNetworkReply::TimeoutError);
        QVERIFY(exchange.isFinished());
        QVERIFY(exchange.body().isEmpty());
        QVERIFY2(elapsedMs < 1400, qPrintable(QString::number(elapsedMs)));
    }

    void destructionStopsTheNetworkThread()
    {
        std::atomic<bool> stopped{false};
        {
            ThreadsafeBlockingNetworkAccesManager facade;
            QVERIFY(facade.networkThread()->isRunning());
            connect(
                facade.networkThread(), &QThread::finished, facade.networkThread(),
                [&stopped]() { stopped = true; }, Qt::DirectConnection);
            facade.blockingSendCustomRequest(request(QStringLiteral("/slow?ms=0&body=x")), "GET");
        }
        QVERIFY(stopped);
    }
};

QTEST_MAIN(BlockingNetworkTest)
#include "tst_blockingnetwork.moc"
