// Publishing firmware to the store: an upload stores the file byte for byte
// as "<model>_v<version>.bin" and adds its entry at the front of the model's
// list with the file's MD5 in lower case; an edit finds its entry by checksum
// ignoring case (another model's box matches nothing and still reports "Edit
// firmware OK!"); a removal leaves the firmware object on the store; a
// reordering puts entries the list omits in front; nothing is uploaded when
// the catalogue cannot be read; every change starts from the catalogue the
// store holds now, so an entry another publisher added meanwhile survives;
// and an upload that a storage profile refused is reported as failed without
// naming anything secret.

#include "controllerfixture.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace ControllerTests;

namespace {

const QRegularExpression
    timestampPattern(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}$"));

QJsonObject storedEntry(const QString &version, const QString &info, const QByteArray &bytes,
                        const QString &modelKey = QStringLiteral("T5"))
{
    return entry(version, info, md5Hex(bytes), QStringLiteral("%1_v%2.bin").arg(modelKey, version),
                 QStringLiteral("2023-05-06 07:08:09"));
}

// Datetime stamped now, within a minute either way.
bool stampedNow(const QJsonObject &published)
{
    const QString text = published.value(QStringLiteral("datetime")).toString();
    const QDateTime stamp = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    return timestampPattern.match(text).hasMatch() && stamp.isValid() &&
           qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 60;
}

QJsonObject withoutDatetime(QJsonObject published)
{
    published.remove(QStringLiteral("datetime"));
    return published;
}

const QByteArray bytesA("firmware A");
const QByteArray bytesB("firmware B");
const QByteArray bytesC("firmware C");
const QByteArray bytesD("firmware D");
const QByteArray bytesE("firmware E");

} // namespace

class ControllerPublishTest : public QObject, ControllerFixture
{
    Q_OBJECT
private slots:
    void initTestCase() { setUpTestCase(this); }
    void cleanupTestCase() { tearDownTestCase(); }
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void uploadAddsEntryInFront();
    void uploadRefused_data();
    void uploadRefused();
    void uploadRefusedByOneProfile();
    void editFindsEntryIgnoringCase();
    void removeKeepsTheObject();
    void reorderPutsOmittedEntriesInFront_data();
    void reorderPutsOmittedEntriesInFront();
    void changesNeedAReadableCatalogue_data();
    void changesNeedAReadableCatalogue();
    void entryOfAnotherPublisherSurvives_data();
    void entryOfAnotherPublisherSurvives();

private:
    void chooseFile(FirmwareManage *manage, ScriptedDialogs *answering, const QString &fileName,
                    const QByteArray &bytes);
    QString writeStoreConfigWithWrongSecret(const QString &wrongSecret);
};

void ControllerPublishTest::chooseFile(FirmwareManage *manage, ScriptedDialogs *answering,
                                       const QString &fileName, const QByteArray &bytes)
{
    answering->answers.append(writeFile(fileName, bytes));
    manage->openLocalFirmware();
}

void ControllerPublishTest::uploadAddsEntryInFront()
{
    const QJsonObject existing =
        storedEntry(QStringLiteral("1.0.0"), QStringLiteral("old"), bytesA);
    const QJsonObject k3 =
        storedEntry(QStringLiteral("3.0.0"), QStringLiteral("k3"), bytesC, QStringLiteral("K3"));
    QVERIFY(putCatalogue(QJsonObject{{QStringLiteral("T5"), QJsonArray{existing}},
                                     {QStringLiteral("K3"), QJsonArray{k3}}}));
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    const QByteArray firmware = t5Package(QStringLiteral("1.2.3"), 3000, 9);
    chooseFile(controller.get(), &dialogs, QStringLiteral("release_v1.2.3.bin"), firmware);
    QCOMPARE(controller->localFirmwareVersion(), QStringLiteral("1.2.3"));
    QSignalSpy catalogueChanges(controller.get(), &FirmwareManage::allFirmwareInformationChanged);

    QFuture<bool> upload = controller->startUpload(0, QStringLiteral("a;b"));
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    QVERIFY(upload.result());
    QCOMPARE(messages->errorTexts(), QStringList());
    QCOMPARE(messages->infoTexts(), QStringList{Text::uploadOk});
    QCOMPARE(messages->infos().first().timeoutMs, messageTimeoutMs);
    const QByteArray document = getObject(QStringLiteral("index.json"));
    QCOMPARE(document, compact(QJsonDocument::fromJson(document).object()));
    const QJsonObject stored = QJsonDocument::fromJson(document).object();
    const QJsonArray t5 = stored.value(QStringLiteral("T5")).toArray();
    QCOMPARE(t5.size(), 2);
    const QJsonObject published = t5.at(0).toObject();
    QCOMPARE(withoutDatetime(published),
             withoutDatetime(entry(QStringLiteral("1.2.3"), QStringLiteral("a;b"), md5Hex(firmware),
                                   QStringLiteral("T5_v1.2.3.bin"))));
    QVERIFY2(stampedNow(published), qPrintable(published.value("datetime").toString()));
    QCOMPARE(t5.at(1).toObject(), existing);
    QCOMPARE(stored.value(QStringLiteral("K3")).toArray(), QJsonArray{k3});
    QCOMPARE(getObject(QStringLiteral("T5_v1.2.3.bin")), firmware);
    QCOMPARE(objectOf(controller->allFirmwareInformation()), stored);
    QVERIFY(catalogueChanges.count() >= 1);

    // The same file again: a second entry, the one object replaced.
    QVERIFY(controller->startUpload(0, QStringLiteral("again")).result());
    const QJsonArray twice = storedCatalogue().value(QStringLiteral("T5")).toArray();
    QCOMPARE(twice.size(), 3);
    QCOMPARE(twice.at(0).toObject().value(QStringLiteral("info")).toString(),
             QStringLiteral("again"));
    QCOMPARE(checksumsOf(twice).mid(0, 2), (QStringList{md5Hex(firmware), md5Hex(firmware)}));
    QCOMPARE(twice.at(0).toObject().value(QStringLiteral("download")),
             twice.at(1).toObject().value(QStringLiteral("download")));
    QCOMPARE(getObject(QStringLiteral("T5_v1.2.3.bin")), firmware);
    QCOMPARE(messages->countInfos(Text::uploadOk), 2);
}

void ControllerPublishTest::uploadRefused_data()
{
    QTest::addColumn<QString>("fileName"); // empty: no file chosen
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("catalogue");    // "ok", "500" or "not json"
    QTest::addColumn<QString>("error");        // empty: any red message
    QTest::addColumn<QString>("typedVersion"); // null: the one from the file name
    const QByteArray firmware("firmware 2.0.0");
    const QString noVersion;
    QTest::newRow("no file chosen")
        << QString() << QByteArray() << "ok" << Text::fileEmpty << noVersion;
    QTest::newRow("empty file") << "fw_v2.0.0.bin" << QByteArray() << "ok" << Text::fileEmpty
                                << noVersion;
    QTest::newRow("catalogue answers 500")
        << "fw_v2.0.0.bin" << firmware << "500" << QString() << noVersion;
    QTest::newRow("catalogue not JSON")
        << "fw_v2.0.0.bin" << firmware << "not json" << QString() << noVersion;
    // An entry no reader could install (and whose object name would be
    // "T5_v.bin" or leave the store folder) is never published.
    const QString invalidVersion = QStringLiteral("The firmware version is not valid!");
    QTest::newRow("no version in the file name")
        << "firmware.bin" << firmware << "ok" << invalidVersion << noVersion;
    QTest::newRow("typed version with folders")
        << "fw_v2.0.0.bin" << firmware << "ok" << invalidVersion << "2.0/../../x";
}

void ControllerPublishTest::uploadRefused()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, catalogue);
    QFETCH(QString, error);
    QFETCH(QString, typedVersion);
    const QJsonObject before{
        {QStringLiteral("T5"),
         QJsonArray{storedEntry(QStringLiteral("1.0.0"), QStringLiteral("old"), bytesA)}}};
    QVERIFY(putCatalogue(before));
    startController(FirmwareManage::Mode::CommandLine);
    if (!fileName.isEmpty())
        chooseFile(controller.get(), &dialogs, fileName, bytes);
    else
        QVERIFY(controller->set_localFirmwareVersion(QStringLiteral("2.0.0")));
    if (!typedVersion.isNull())
        QVERIFY(controller->set_localFirmwareVersion(typedVersion));
    if (catalogue == QLatin1String("500"))
        server.answerWithEmptyError(storePath(QStringLiteral("index.json")), 500);
    else if (catalogue == QLatin1String("not json"))
        QVERIFY(putObject(QStringLiteral("index.json"), "not json"));
    server.resetRequests();

    QFuture<bool> upload = controller->startUpload(0, QStringLiteral("log"));
    controller->waitForWorkers();
    server.clearAnswers();

    QVERIFY(!upload.result());
    QCOMPARE(server.countRequests(QStringLiteral("PUT"), storePath("T5_v2.0.0.bin")), 0);
    QCOMPARE(countPuts(QStringLiteral("index.json")), 0);
    QCOMPARE(messages->errors().size(), 1);
    QCOMPARE(messages->errors().first().timeoutMs, messageTimeoutMs);
    if (!error.isEmpty())
        QCOMPARE(messages->errors().first().text, error);
    QVERIFY(messages->infoTexts().isEmpty());
    QVERIFY(!controller->busying());
    if (catalogue == QLatin1String("not json"))
        QCOMPARE(getObject(QStringLiteral("index.json")), QByteArray("not json"));
    else
        QCOMPARE(storedCatalogue(), before);
}

QString ControllerPublishTest::writeStoreConfigWithWrongSecret(const QString &wrongSecret)
{
    const QString path = workDirectory.filePath(QStringLiteral("refusing-store.ini"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    for (int index = 0; index < 2; ++index) {
        const LocalS3Server::Profile profile = server.profile(index);
        file.write(QStringLiteral("[profile%1]\nAccessKeyID=%2\nSecretAccessKey=%3\n")
                       .arg(index)
                       .arg(profile.accessKeyId, index == 1 ? wrongSecret : profile.secretAccessKey)
                       .toUtf8());
    }
    file.write(QStringLiteral("[tls]\nCaCertificates=%1\n").arg(server.caFile()).toUtf8());
    return path;
}

void ControllerPublishTest::uploadRefusedByOneProfile()
{
    const QJsonObject before{
        {QStringLiteral("T5"),
         QJsonArray{storedEntry(QStringLiteral("1.0.0"), QStringLiteral("old"), bytesA)}}};
    QVERIFY(putCatalogue(before));
    const QString wrongSecret(40, QLatin1Char('W'));
    const QString config = writeStoreConfigWithWrongSecret(wrongSecret);
    QVERIFY(!config.isEmpty());
    qputenv("BRIVANE_STORE_CONFIG", config.toLocal8Bit());
    startController(FirmwareManage::Mode::CommandLine);
    qputenv("BRIVANE_STORE_CONFIG", server.storeConfig().toLocal8Bit());
    chooseFile(controller.get(), &dialogs, QStringLiteral("fw_v2.0.0.bin"), "firmware 2.0.0");

    QFuture<bool> upload = controller->startUpload(0, QStringLiteral("log"));
    controller->waitForWorkers();

    QVERIFY(!upload.result());
    QCOMPARE(messages->errorTexts(), QStringList{Text::uploadError});
    QVERIFY(messages->infoTexts().isEmpty());
    QCOMPARE(storedCatalogue(), before);
    for (const QString &text : messages->errorTexts()) {
        QVERIFY(!text.contains(wrongSecret));
        QVERIFY(!text.contains(server.profile(0).secretAccessKey));
    }
}

void ControllerPublishTest::editFindsEntryIgnoringCase()
{
    const QJsonObject a = storedEntry(QStringLiteral("1.0.0"), QStringLiteral("a"), bytesA);
    const QJsonObject b = storedEntry(QStringLiteral("1.0.1"), QStringLiteral("b"), bytesB);
    const QJsonObject c =
        storedEntry(QStringLiteral("2.0.0"), QStringLiteral("c"), bytesC, QStringLiteral("M7"));
    const QJsonObject before{{QStringLiteral("T5"), QJsonArray{a, b}},
                             {QStringLiteral("M7"), QJsonArray{c}}};
    QVERIFY(putCatalogue(before));
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(controller->set_localFirmwareVersion(QStringLiteral("1.0.5")));

    QFuture<bool> edit =
        controller->startEdit(0, md5Hex(bytesB).toUpper(), QStringLiteral("new;log"));
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    QVERIFY(edit.result());
    QCOMPARE(messages->infoTexts(), QStringList{Text::editOk});
    QCOMPARE(messages->errorTexts(), QStringList());
    const QJsonObject stored = storedCatalogue();
    const QJsonArray t5 = stored.value(QStringLiteral("T5")).toArray();
    QCOMPARE(t5.size(), 2);
    QCOMPARE(t5.at(0).toObject(), a);
    const QJsonObject edited = t5.at(1).toObject();
    QCOMPARE(withoutDatetime(edited),
             withoutDatetime(entry(QStringLiteral("1.0.5"), QStringLiteral("new;log"),
                                   md5Hex(bytesB), QStringLiteral("T5_v1.0.5.bin"))));
    QVERIFY(stampedNow(edited));
    QCOMPARE(stored.value(QStringLiteral("M7")).toArray(), QJsonArray{c});
    QCOMPARE(objectOf(controller->allFirmwareInformation()), stored);

    // The M7 box with a T5 checksum: nothing matches, yet it reports OK.
    messages->clear();
    controller->startEdit(1, md5Hex(bytesA), QStringLiteral("other")).waitForFinished();
    controller->waitForWorkers();
    QCOMPARE(messages->infoTexts(), QStringList{Text::editOk});
    QCOMPARE(messages->errorTexts(), QStringList());
    QCOMPARE(storedCatalogue(), stored);
}

void ControllerPublishTest::removeKeepsTheObject()
{
    const QJsonObject a = storedEntry(QStringLiteral("1.0.0"), QStringLiteral("a"), bytesA);
    const QJsonObject b = storedEntry(QStringLiteral("1.0.1"), QStringLiteral("b"), bytesB);
    QVERIFY(putObject(QStringLiteral("T5_v1.0.1.bin"), bytesB));
    QVERIFY(putCatalogue(QJsonObject{{QStringLiteral("T5"), QJsonArray{a, b}}}));
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());

    QFuture<bool> removal = controller->startRemove(0, md5Hex(bytesB).toUpper());
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    QVERIFY(removal.result());
    QCOMPARE(messages->infoTexts(), QStringList{Text::removeOk});
    QCOMPARE(messages->errorTexts(), QStringList());
    const QJsonObject stored = storedCatalogue();
    QCOMPARE(stored.value(QStringLiteral("T5")).toArray(), QJsonArray{a});
    QCOMPARE(objectOf(controller->allFirmwareInformation()), stored);
    bool found = false;
    QCOMPARE(getObject(QStringLiteral("T5_v1.0.1.bin"), &found), bytesB);
    QVERIFY(found);
}

void ControllerPublishTest::reorderPutsOmittedEntriesInFront_data()
{
    QTest::addColumn<QStringList>("order");
    QTest::addColumn<QStringList>("t5");
    QTest::addColumn<QStringList>("m7");
    const QString a = md5Hex(bytesA), b = md5Hex(bytesB), c = md5Hex(bytesC), d = md5Hex(bytesD),
                  e = md5Hex(bytesE);
    QTest::newRow("every entry") << QStringList{e, d, c, b, a} << QStringList{c, b, a}
                                 << QStringList{e, d};
    QTest::newRow("B and D omitted")
        << QStringList{c, a, e} << QStringList{b, c, a} << QStringList{d, e};
    // Checksums are compared exactly here: C in upper case names nothing.
    QTest::newRow("C in upper case")
        << QStringList{a, c.toUpper(), e, d} << QStringList{b, c, a} << QStringList{e, d};
    QTest::newRow("empty list") << QStringList{} << QStringList{a, b, c} << QStringList{d, e};
}

void ControllerPublishTest::reorderPutsOmittedEntriesInFront()
{
    QFETCH(QStringList, order);
    QFETCH(QStringList, t5);
    QFETCH(QStringList, m7);
    const QJsonArray t5Entries{storedEntry(QStringLiteral("1.0.0"), QStringLiteral("a"), bytesA),
                               storedEntry(QStringLiteral("1.0.1"), QStringLiteral("b"), bytesB),
                               storedEntry(QStringLiteral("1.0.2"), QStringLiteral("c"), bytesC)};
    const QJsonArray m7Entries{
        storedEntry(QStringLiteral("2.0.0"), QStringLiteral("d"), bytesD, QStringLiteral("M7")),
        storedEntry(QStringLiteral("2.0.1"), QStringLiteral("e"), bytesE, QStringLiteral("M7"))};
    QVERIFY(putCatalogue(
        QJsonObject{{QStringLiteral("T5"), t5Entries}, {QStringLiteral("M7"), m7Entries}}));
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());

    QFuture<bool> sort = controller->startSort(order);
    controller->waitForWorkers();
    QCoreApplication::processEvents();

    QVERIFY(sort.result());
    QCOMPARE(messages->infoTexts(), QStringList{Text::uploadInfoOk});
    QCOMPARE(messages->errorTexts(), QStringList());
    const QJsonObject stored = storedCatalogue();
    QCOMPARE(checksumsOf(stored.value(QStringLiteral("T5")).toArray()), t5);
    QCOMPARE(checksumsOf(stored.value(QStringLiteral("M7")).toArray()), m7);
    QVERIFY(stored.value(QStringLiteral("K3")).toArray().isEmpty());
    // Entries move whole.
    for (const QJsonValue &moved : stored.value(QStringLiteral("T5")).toArray())
        QVERIFY(t5Entries.contains(moved));
    QCOMPARE(objectOf(controller->allFirmwareInformation()), stored);
}

void ControllerPublishTest::changesNeedAReadableCatalogue_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("edit") << "edit";
    QTest::newRow("remove") << "remove";
    QTest::newRow("reorder") << "reorder";
}

void ControllerPublishTest::changesNeedAReadableCatalogue()
{
    QFETCH(QString, change);
    const QJsonObject a = storedEntry(QStringLiteral("1.0.0"), QStringLiteral("a"), bytesA);
    const QJsonObject b = storedEntry(QStringLiteral("1.0.1"), QStringLiteral("b"), bytesB);
    const QJsonObject before{{QStringLiteral("T5"), QJsonArray{a, b}}};
    QVERIFY(putCatalogue(before));
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    QVERIFY(controller->set_localFirmwareVersion(QStringLiteral("1.0.9")));
    server.answerWithEmptyError(storePath(QStringLiteral("index.json")), 500);
    server.resetRequests();

    QFuture<bool> operation;
    if (change == QLatin1String("edit"))
        operation = controller->startEdit(0, md5Hex(bytesA), QStringLiteral("x"));
    else if (change == QLatin1String("remove"))
        operation = controller->startRemove(0, md5Hex(bytesA));
    else
        operation = controller->startSort({md5Hex(bytesB), md5Hex(bytesA)});
    controller->waitForWorkers();
    server.clearAnswers();

    QVERIFY(!operation.result());
    QCOMPARE(countPuts(QStringLiteral("index.json")), 0);
    QCOMPARE(messages->errors().size(), 1);
    QVERIFY(messages->infoTexts().isEmpty());
    QCOMPARE(storedCatalogue(), before);
    // The window shows what the store holds, not an order it never took.
    QCOMPARE(objectOf(controller->allFirmwareInformation()), before);
    QVERIFY(!controller->busying());
}

void ControllerPublishTest::entryOfAnotherPublisherSurvives_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("otherController");
    QTest::newRow("upload after another tool's upload") << "upload" << true;
    QTest::newRow("edit after a direct change") << "edit" << false;
    QTest::newRow("remove after another tool's upload") << "remove" << true;
    QTest::newRow("reorder after a direct change") << "reorder" << false;
}

void ControllerPublishTest::entryOfAnotherPublisherSurvives()
{
    QFETCH(QString, change);
    QFETCH(bool, otherController);
    const QJsonObject a = storedEntry(QStringLiteral("1.0.0"), QStringLiteral("a"), bytesA);
    QVERIFY(putCatalogue(QJsonObject{{QStringLiteral("T5"), QJsonArray{a}}}));
    startController(FirmwareManage::Mode::Window);
    QVERIFY(waitForStart());
    const QByteArray first("firmware 2.0.0");
    chooseFile(controller.get(), &dialogs, QStringLiteral("fw_v2.0.0.bin"), first);
    QVERIFY(controller->startUpload(0, QStringLiteral("first")).result());

    // Another publisher adds a K3 entry.
    const QByteArray theirs("their firmware 3.3.3");
    if (otherController) {
        ScriptedDialogs theirDialogs;
        FirmwareManage other(FirmwareManage::Mode::CommandLine, nullptr);
        other.setFileDialogs(&theirDialogs);
        chooseFile(&other, &theirDialogs, QStringLiteral("k3_v3.3.3.bin"), theirs);
        QVERIFY(other.startUpload(2, QStringLiteral("theirs")).result());
        other.waitForWorkers();
    } else {
        QJsonObject current = storedCatalogue();
        current.insert(QStringLiteral("K3"),
                       QJsonArray{storedEntry(QStringLiteral("3.3.3"), QStringLiteral("theirs"),
                                              theirs, QStringLiteral("K3"))});
        QVERIFY(putCatalogue(current));
    }

    QFuture<bool> operation;
    const QByteArray second("firmware 2.0.1");
    if (change == QLatin1String("upload")) {
        chooseFile(controller.get(), &dialogs, QStringLiteral("fw_v2.0.1.bin"), second);
        operation = controller->startUpload(0, QStringLiteral("second"));
    } else if (change == QLatin1String("edit")) {
        QVERIFY(controller->set_localFirmwareVersion(QStringLiteral("2.0.5")));
        operation = controller->startEdit(0, md5Hex(first), QStringLiteral("edited"));
    } else if (change == QLatin1String("remove")) {
        operation = controller->startRemove(0, md5Hex(bytesA));
    } else {
        operation = controller->startSort({md5Hex(bytesA), md5Hex(first)});
    }
    controller->waitForWorkers();
    QVERIFY(operation.result());

    const QJsonObject stored = storedCatalogue();
    QCOMPARE(checksumsOf(stored.value(QStringLiteral("K3")).toArray()),
             QStringList{md5Hex(theirs)});
    QStringList t5{md5Hex(first), md5Hex(bytesA)};
    if (change == QLatin1String("upload"))
        t5.prepend(md5Hex(second));
    else if (change == QLatin1String("remove"))
        t5.removeLast();
    else if (change == QLatin1String("reorder"))
        t5 = QStringList{md5Hex(bytesA), md5Hex(first)};
    QCOMPARE(checksumsOf(stored.value(QStringLiteral("T5")).toArray()), t5);
    if (change == QLatin1String("edit"))
        QCOMPARE(stored.value(QStringLiteral("T5"))
                     .toArray()
                     .at(0)
                     .toObject()
                     .value(QStringLiteral("version"))
                     .toString(),
                 QStringLiteral("2.0.5"));
    QCOMPARE(objectOf(controller->allFirmwareInformation()), stored);
    QCOMPARE(messages->errorTexts(), QStringList());
}

QTEST_GUILESS_MAIN(ControllerPublishTest)
#include "tst_controllerpublish.moc"
