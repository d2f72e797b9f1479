// Download of a 512 KiB firmware object through CloudAWS::download from the
// local store (moto behind a TLS front, reached through a CONNECT proxy),
// against curl --aws-sigv4 making the same two requests (location lookup and
// GET) through the same proxy and store. Prints medians and their ratio.
//
// Usage: cloud_download_benchmark [runs]   (default 15, after 2 warm-up runs)

#include "cloudaws.h"
#include "locals3server.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int objectSizeBytes = 512 * 1024;
constexpr int warmUpRuns = 2;
constexpr int defaultRuns = 15;
const char objectName[] = "bench-512k.bin";
const char emptyPayloadHash[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(const QString &message)
{
    QTextStream(stderr) << "cloud_download_benchmark: " << message << '\n';
    return 1;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

// curl's configuration on its standard input keeps the secret off the
// command line.
QByteArray curlConfig(const LocalS3Server::Profile &profile, int proxyPort, const QString &caFile)
{
    QStringList lines{
        QStringLiteral("silent"),
        QStringLiteral("show-error"),
        QStringLiteral("fail"),
        QStringLiteral("proxy = \"http://127.0.0.1:%1\"").arg(proxyPort),
        QStringLiteral("cacert = \"%1\"").arg(caFile),
        QStringLiteral("aws-sigv4 = \"aws:amz:%1:s3\"").arg(profile.region),
        QStringLiteral("user = \"%1:%2\"").arg(profile.accessKeyId, profile.secretAccessKey),
        QStringLiteral("header = \"x-amz-content-sha256: %1\"")
            .arg(QLatin1String(emptyPayloadHash)),
        QStringLiteral("write-out = \"%{http_code} %{size_download} %{time_total}\\n\""),
        // "location=": this curl signs a bare "location" without the "=".
        QStringLiteral("url = \"https://%1/brivane?location=\"").arg(profile.host),
        QStringLiteral("output = \"/dev/null\""),
        QStringLiteral("url = \"https://brivane.%1/firmware/%2\"")
            .arg(profile.host, QLatin1String(objectName)),
        QStringLiteral("output = \"/dev/null\""),
    };
    return lines.join(QLatin1Char('\n')).toUtf8() + '\n';
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("cloud_download_benchmark"));
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const int runs = qMax(1, argc > 1 ? QByteArray(argv[1]).toInt() : defaultRuns);

    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
        return fail(QStringLiteral("curl not found"));
    LocalS3Server server;
    QString error;
    if (!server.start(&error))
        return fail(error);
    QDir::setCurrent(server.workDirectory()); // configs.ini of this run
    qputenv("BRIVANE_STORE_CONFIG", server.storeConfig().toLocal8Bit());
    server.useFromThisProcess();

    CloudAWS store;
    QByteArray content(objectSizeBytes, Qt::Uninitialized);
    for (int offset = 0; offset < objectSizeBytes; ++offset)
        content[offset] = char((offset * 131 + 7) & 0xFF);
    if (!store.upload(QString::fromLatin1(objectName), content, {}))
        return fail(QStringLiteral("the benchmark object could not be stored"));

    QList<double> storeMs;
    for (int run = 0; run < warmUpRuns + runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        const QByteArray downloaded = store.download(QString::fromLatin1(objectName));
        const double elapsedMs = timer.nsecsElapsed() / 1e6;
        if (downloaded != content)
            return fail(QStringLiteral("CloudAWS::download returned wrong content"));
        if (run >= warmUpRuns)
            storeMs.append(elapsedMs);
    }

    const QByteArray config =
        curlConfig(server.profile(store.currentIndex()), server.proxyPort(), server.caFile());
    QList<double> curlMs;
    QList<double> curlOwnMs;
    for (int run = 0; run < warmUpRuns + runs; ++run) {
        QProcess curl;
        QElapsedTimer timer;
        timer.start();
        curl.start(QStringLiteral("curl"), {QStringLiteral("-K"), QStringLiteral("-")});
        curl.write(config);
        curl.closeWriteChannel();
        curl.waitForFinished(60000);
        const double elapsedMs = timer.nsecsElapsed() / 1e6;
        const QList<QByteArray> lines = curl.readAllStandardOutput().trimmed().split('\n');
        if (curl.exitCode() != 0 || lines.size() != 2 || !lines.at(0).startsWith("200 ") ||
            !lines.at(1).startsWith("200 " + QByteArray::number(objectSizeBytes) + ' '))
            return fail(QStringLiteral("curl failed: %1 %2")
                            .arg(QString::fromUtf8(lines.join(" | ")),
                                 QString::fromUtf8(curl.readAllStandardError())));
        if (run >= warmUpRuns) {
            curlMs.append(elapsedMs);
            curlOwnMs.append((lines.at(0).split(' ').value(2).toDouble() +
                              lines.at(1).split(' ').value(2).toDouble()) *
                             1000.0);
        }
    }

    server.stop();

    const double storeMedian = median(storeMs);
    const double curlMedian = median(curlMs);
    out() << QStringLiteral("cloud download benchmark: %1 KiB object from %2, %3 runs each "
                            "(after %4 warm-up runs)\n")
                 .arg(objectSizeBytes / 1024)
                 .arg(store.profileHost(store.currentIndex()))
                 .arg(runs)
                 .arg(warmUpRuns);
    out() << QStringLiteral("  CloudAWS::download            median %1 ms (min %2, max %3)\n")
                 .arg(storeMedian, 0, 'f', 1)
                 .arg(*std::min_element(storeMs.begin(), storeMs.end()), 0, 'f', 1)
                 .arg(*std::max_element(storeMs.begin(), storeMs.end()), 0, 'f', 1);
    out() << QStringLiteral("  curl --aws-sigv4, 2 requests  median %1 ms (min %2, max %3; "
                            "curl's own time_total median %4 ms)\n")
                 .arg(curlMedian, 0, 'f', 1)
                 .arg(*std::min_element(curlMs.begin(), curlMs.end()), 0, 'f', 1)
                 .arg(*std::max_element(curlMs.begin(), curlMs.end()), 0, 'f', 1)
                 .arg(median(curlOwnMs), 0, 'f', 1);
    out()
        << QStringLiteral("  ratio CloudAWS / curl: %1\n").arg(storeMedian / curlMedian, 0, 'f', 2);
    out().flush();
    return 0;
}
