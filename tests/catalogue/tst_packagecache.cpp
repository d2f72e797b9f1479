#include "packagecache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

// Packages downloaded for an update: only bytes that are the published file
// are kept and handed to the adapter, and only inside the cache folder.
class PackageCacheTest : public QObject
{
    Q_OBJECT
private:
    static QString md5(const QByteArray &bytes)
    {
        return QString::fromLatin1(
            QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
    }
    static QJsonObject entry(const QString &version, const QString &checksum,
                             const QString &download = QString())
    {
        return QJsonObject{{"version", version},
                           {"checksum", checksum},
                           {"download", download.isNull() ? "T5_v" + version + ".bin" : download}};
    }
    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    // A store that serves fixed objects and counts the requests.
    struct FakeStore
    {
        QMap<QString, QByteArray> objects;
        QStringList requested;
        PackageCache::Downloader downloader()
        {
            return [this](const QString &name, bool *succeeded) {
                requested.append(name);
                *succeeded = objects.contains(name);
                return objects.value(name);
            };
        }
    };

    const QByteArray package = QByteArray("published firmware bytes ") + QByteArray(300, '\x5a');

private slots:
    void pathNamesVendorProductAndVersion()
    {
        QCOMPARE(PackageCache::packagePath("/cache", 3642, 45939, "1.2.3"),
                 QString("/cache/3642/45939/1.2.3.rfw"));
        QCOMPARE(PackageCache::packagePath("/c", 0x0E3A, 0xB471, "2.0"),
                 QString("/c/3642/46193/2.0.rfw"));
    }

    void downloadedOnceThenReused()
    {
        QTemporaryDir cache;
        FakeStore store;
        store.objects.insert("T5_v1.2.3.bin", package);
        const auto first = PackageCache::resolve(entry("1.2.3", md5(package)), cache.path(), 3642,
                                                 45939, store.downloader());
        QCOMPARE(first.outcome, PackageCache::Outcome::Downloaded);
        QCOMPARE(first.version, QString("1.2.3"));
        QCOMPARE(first.path, cache.path() + "/3642/45939/1.2.3.rfw");
        QCOMPARE(readFile(first.path), package);

        const auto second = PackageCache::resolve(entry("1.2.3", md5(package)), cache.path(), 3642,
                                                  45939, store.downloader());
        QCOMPARE(second.outcome, PackageCache::Outcome::Cached);
        QCOMPARE(store.requested, QStringList{"T5_v1.2.3.bin"});
    }

    void cachedFileWithOtherBytesIsReplaced()
    {
        QTemporaryDir cache;
        FakeStore store;
        store.objects.insert("T5_v1.2.3.bin", package);
        const QString path = cache.path() + "/3642/45939/1.2.3.rfw";
        writeFile(path, "an older build with the same version");
        const auto result = PackageCache::resolve(entry("1.2.3", md5(package)), cache.path(), 3642,
                                                  45939, store.downloader());
        QCOMPARE(result.outcome, PackageCache::Outcome::Downloaded);
        QCOMPARE(readFile(path), package);
    }

    void upperCaseChecksumDownloadsEveryTimeButIsAccepted()
    {
        QTemporaryDir cache;
        FakeStore store;
        store.objects.insert("T5_v1.2.3.bin", package);
        const QString checksum = md5(package).toUpper();
        for (int round = 0; round < 2; ++round) {
            const auto result = PackageCache::resolve(entry("1.2.3", checksum), cache.path(), 3642,
                                                      45939, store.downloader());
            QCOMPARE(result.outcome, PackageCache::Outcome::Downloaded);
        }
        QCOMPARE(store.requested.size(), 2);
    }

    void damagedDownloadIsNeverKept()
    {
        QTemporaryDir cache;
        FakeStore store;
        QByteArray damaged = package;
        damaged[10] = char(damaged[10] ^ 0x01);
        store.objects.insert("T5_v1.2.3.bin", damaged);
        const QString path = cache.path() + "/3642/45939/1.2.3.rfw";
        writeFile(path, "stale");
        const auto result = PackageCache::resolve(entry("1.2.3", md5(package)), cache.path(), 3642,
                                                  45939, store.downloader());
        QCOMPARE(result.outcome, PackageCache::Outcome::ChecksumMismatch);
        QVERIFY(!result.usable());
        QVERIFY(!QFile::exists(path));

        // A truncated transfer is the same case.
        store.objects.insert("T5_v1.2.3.bin", package.left(package.size() / 2));
        QCOMPARE(PackageCache::resolve(entry("1.2.3", md5(package)), cache.path(), 3642, 45939,
                                       store.downloader())
                     .outcome,
                 PackageCache::Outcome::ChecksumMismatch);
        QVERIFY(!QFile::exists(path));
    }

    void failedDownloadLeavesNoFile()
    {
        QTemporaryDir cache;
        FakeStore store;
        const QString path = cache.path() + "/3642/45939/1.2.3.rfw";
        writeFile(path, "stale");
        const auto result = PackageCache::resolve(entry("1.2.3", md5(package)), cache.path(), 3642,
                                                  45939, store.downloader());
        QCOMPARE(result.outcome, PackageCache::Outcome::DownloadFailed);
        QVERIFY(!QFile::exists(path));
    }

    void entriesThatWouldLeaveTheirFolderAreRefusedUnfetched_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("download");
        QTest::newRow("version with parent folders") << "../../x"
                                                     << "T5_v1.2.3.bin";
        QTest::newRow("version with a folder") << "1.2.3/../../../x"
                                               << "T5_v1.2.3.bin";
        QTest::newRow("empty version") << ""
                                       << "T5_v.bin";
        QTest::newRow("download of the catalogue") << "1.2.3"
                                                   << "../index.json";
        QTest::newRow("download in a folder") << "1.2.3"
                                              << "other/T5_v1.2.3.bin";
        QTest::newRow("download with a backslash") << "1.2.3"
                                                   << "..\\index.json";
        QTest::newRow("download with a control character") << "1.2.3"
                                                           << "T5_v1.2.3\n.bin";
    }
    void entriesThatWouldLeaveTheirFolderAreRefusedUnfetched()
    {
        QFETCH(QString, version);
        QFETCH(QString, download);
        QTemporaryDir root;
        const QString cache = root.path() + "/cache";
        FakeStore store;
        store.objects.insert(download, package);
        const auto result = PackageCache::resolve(entry(version, md5(package), download), cache,
                                                  3642, 45939, store.downloader());
        QCOMPARE(result.outcome, PackageCache::Outcome::InvalidEntry);
        QVERIFY(store.requested.isEmpty());
        QVERIFY(QDir(root.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    }
};

QTEST_GUILESS_MAIN(PackageCacheTest)
#include "tst_packagecache.moc"
