#include "fwtoolrunner.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QTest>

// The T5 commands of the command-line tool as a technician or a release
// script uses them, against an emulated adapter folder: exit status 0 only
// for a real success, the adapter's texts printed, flash.bin as the adapter
// holds it afterwards.
class CliT5Test : public QObject, FwTool::AdapterFolderFixture
{
    Q_OBJECT

    using Result = FwTool::Result;

    // The image area of firmware 5.5.0 and later starts at 0x08040000.
    static constexpr int newLayoutImageOffset = 0x40000;
    static constexpr int backupFileBytes = 246800;

    QString writeImage(const QString &name, int length, int seed)
    {
        return writeFile(name, FwTool::t5ApplicationImage(length, seed));
    }

    static QProcessEnvironment environmentWith(const QString &key, const QString &value)
    {
        QProcessEnvironment environment;
        environment.insert(key, value);
        return environment;
    }

    void createAdapter(const QStringList &extra = {})
    {
        AdapterFolderFixture::createAdapter(QStringLiteral("T5"), extra);
    }

private slots:
    void initTestCase() { QVERIFY(work.isValid()); }

    void infoPrintsTheAdapterState()
    {
        createAdapter({QStringLiteral("--state"), QStringLiteral("new-layout"),
                       QStringLiteral("--version"), QStringLiteral("5.6.0"),
                       QStringLiteral("--serial"), QStringLiteral("00112233445566778899aabb"),
                       QStringLiteral("--boot-mode"), QStringLiteral("2")});
        const Result info = run({QStringLiteral("info"), QStringLiteral("--json")});
        QCOMPARE(info.status, 0);
        const QJsonObject device = FwTool::deviceOf(info);
        QCOMPARE(device.value(QStringLiteral("serialNumber")).toString(),
                 QStringLiteral("00112233445566778899aabb"));
        QCOMPARE(device.value(QStringLiteral("version")).toString(), QStringLiteral("5.6.0"));
        QCOMPARE(device.value(QStringLiteral("bootMode")).toInt(), 2);
        QCOMPARE(device.value(QStringLiteral("firmwareMark")).toString(), QStringLiteral("0xaa55"));

        // An adapter whose image lost its end mark: printed, but not a success.
        createAdapter({QStringLiteral("--state"), QStringLiteral("firmware-lost")});
        const Result lost = run({QStringLiteral("info")});
        QCOMPARE(lost.status, 1);
        QVERIFY(lost.err.contains("Firmware lost!"));
    }

    void updateSucceedsOnlyWhenTheAdapterHoldsTheImage()
    {
        createAdapter({QStringLiteral("--state"), QStringLiteral("new-layout"),
                       QStringLiteral("--version"), QStringLiteral("5.6.0")});
        const QString image = writeImage(QStringLiteral("firmware.bin"), 70000, 3);

        // Step 1: a clean update: image and end mark at the new-layout base.
        const Result update =
            run({QStringLiteral("update"), QStringLiteral("--file"), image,
                 QStringLiteral("--version"), QStringLiteral("5.6.1"), QStringLiteral("--json")});
        QVERIFY2(update.status == 0, update.err.constData());
        QCOMPARE(FwTool::jsonOf(update).value(QStringLiteral("ok")).toBool(), true);
        QCOMPARE(flash().mid(newLayoutImageOffset, 70002),
                 FwTool::readAll(image) + QByteArray::fromHex("55aa"));
        const Result info = run({QStringLiteral("info"), QStringLiteral("--json")});
        QCOMPARE(FwTool::deviceOf(info).value(QStringLiteral("version")).toString(),
                 QStringLiteral("5.6.1"));

        // Step 2: an echo that differs stops the write and fails the command.
        changeConfiguration(QStringLiteral("faults"),
                            QJsonObject{{QStringLiteral("wrongEchoAtChunk"), 400}});
        const Result broken = run({QStringLiteral("update"), QStringLiteral("--file"), image,
                                   QStringLiteral("--version"), QStringLiteral("5.6.2")});
        QCOMPARE(broken.status, 1);
        QVERIFY(broken.err.contains("error: Write to flash data verify error!"));
        QVERIFY(broken.err.trimmed().endsWith("update failed"));

        // Step 3: a refused erase is reported the same way.
        changeConfiguration(QStringLiteral("faults"),
                            QJsonObject{{QStringLiteral("eraseRefused"), true}});
        const Result refused = run({QStringLiteral("update"), QStringLiteral("--file"), image,
                                    QStringLiteral("--version"), QStringLiteral("5.6.2")});
        QCOMPARE(refused.status, 1);
        QVERIFY(refused.err.contains("error: Erase error!"));
    }

    void backupAndRestoreAreBoundToTheAdapter()
    {
        createAdapter({QStringLiteral("--state"), QStringLiteral("new-layout"),
                       QStringLiteral("--version"), QStringLiteral("5.5.2"),
                       QStringLiteral("--records"), QStringLiteral("3")});
        const QString backup = work.filePath(QStringLiteral("user.bkp"));
        const Result saved = run({QStringLiteral("backup"), QStringLiteral("--out"), backup});
        QVERIFY2(saved.status == 0, saved.err.constData());
        QCOMPARE(FwTool::readAll(backup).size(), backupFileBytes);

        const Result restored =
            run({QStringLiteral("restore-data"), QStringLiteral("--in"), backup});
        QVERIFY2(restored.status == 0, restored.err.constData());

        // Another adapter (another serial number) cannot read the file.
        createAdapter({QStringLiteral("--state"), QStringLiteral("new-layout"),
                       QStringLiteral("--version"), QStringLiteral("5.5.2"),
                       QStringLiteral("--serial"), QStringLiteral("ffeeddccbbaa998877665544")});
        const QByteArray before = flash();
        const Result foreign =
            run({QStringLiteral("restore-data"), QStringLiteral("--in"), backup});
        QCOMPARE(foreign.status, 1);
        QVERIFY(foreign.err.contains("error: Corrupted file unauthorized!"));
        QCOMPARE(flash(), before);
    }

    void bootModeIsWrittenAndReadBack()
    {
        createAdapter({QStringLiteral("--state"), QStringLiteral("new-layout")});
        const Result set =
            run({QStringLiteral("boot-mode"), QStringLiteral("--set"), QStringLiteral("SWITCH")});
        QVERIFY2(set.status == 0, set.err.constData());
        // The boot mode is byte 0x82 of the configuration sector at 0x08004000.
        QCOMPARE(int(flash().at(0x4000 + 0x82)), 3);
        const Result again =
            run({QStringLiteral("boot-mode"), QStringLiteral("--set"), QStringLiteral("3")});
        QCOMPARE(again.status, 0);
        QVERIFY(again.out.contains("nothing written"));
    }

    void filesThatAreNoFirmwareAreRefusedBeforeErasing()
    {
        createAdapter({QStringLiteral("--state"), QStringLiteral("new-layout"),
                       QStringLiteral("--version"), QStringLiteral("5.6.0")});
        const QByteArray before = flash();
        const QList<QByteArray> files{
            QByteArray("this is not a firmware image"), QByteArray(4096, '\0'),
            QByteArray("q83vESIzRFVmd4iZqrvM3e7/ABEiM0RVZneImaq7zN3u/w==")};
        for (const QByteArray &bytes : files) {
            const QString path = writeFile(QStringLiteral("not-firmware.bin"), bytes);
            const Result refused = run({QStringLiteral("update"), QStringLiteral("--file"), path,
                                        QStringLiteral("--version"), QStringLiteral("5.6.1")});
            QCOMPARE(refused.status, 1);
            QVERIFY(refused.err.contains("error: The file is not a firmware for this adapter!"));
            QCOMPARE(flash(), before);
        }
        // A version part that does not fit its byte is refused too.
        const QString image = writeImage(QStringLiteral("firmware.bin"), 3000, 2);
        const Result badVersion = run({QStringLiteral("update"), QStringLiteral("--file"), image,
                                       QStringLiteral("--version"), QStringLiteral("5.256.0")});
        QCOMPARE(badVersion.status, 1);
        QVERIFY(badVersion.err.contains("error: The firmware version is not valid!"));
        QCOMPARE(flash(), before);

        // A technician may insist.
        const QString text = writeFile(QStringLiteral("raw.bin"), QByteArray(3000, 'x'));
        const Result forced =
            run({QStringLiteral("update"), QStringLiteral("--file"), text,
                 QStringLiteral("--version"), QStringLiteral("5.6.1"), QStringLiteral("--force")});
        QVERIFY2(forced.status == 0, forced.err.constData());
        QCOMPARE(flash().mid(newLayoutImageOffset, 3000), QByteArray(3000, 'x'));
    }

    void quietUnlessAskedForTheProtocolLog()
    {
        createAdapter({QStringLiteral("--state"), QStringLiteral("new-layout")});
        const Result quiet = run({QStringLiteral("info")});
        QCOMPARE(quiet.status, 0);
        QCOMPARE(quiet.err, QByteArray());
        const Result verbose = run({QStringLiteral("info"), QStringLiteral("-v")});
        QCOMPARE(verbose.status, 0);
        QVERIFY(verbose.err.contains("hid_open: emulator/"));
        QVERIFY(verbose.err.contains("T5Device::connectedChanged"));
    }

    void settingsThatCannotBeSavedStopTheUpdate()
    {
        createAdapter({QStringLiteral("--state"), QStringLiteral("new-layout")});
        const QByteArray before = flash();
        // A file where the copies' folder should be: nothing can be saved.
        const QString blocked = writeFile(QStringLiteral("blocked"), "a file");
        const QString image = writeImage(QStringLiteral("firmware.bin"), 3000, 2);
        const Result update =
            run({QStringLiteral("update"), QStringLiteral("--file"), image,
                 QStringLiteral("--version"), QStringLiteral("5.6.1")},
                true, environmentWith(QStringLiteral("BRIVANE_SETTINGS_COPY_DIR"), blocked));
        QCOMPARE(update.status, 1);
        QVERIFY(update.err.contains(
            "error: The settings could not be saved on this computer; nothing was written!"));
        // The reason reaches the user although the protocol log is off.
        QVERIFY(update.err.contains("settings copy not saved"));
        QCOMPARE(flash(), before);
    }

    void damagedSettingsComeBackFromTheSavedCopy()
    {
        createAdapter({QStringLiteral("--state"), QStringLiteral("new-layout"),
                       QStringLiteral("--boot-mode"), QStringLiteral("2")});
        const QByteArray original = flash().mid(0x4000, 0x4000);
        // The boot mode change saves the sector it erases.
        QCOMPARE(
            run({QStringLiteral("boot-mode"), QStringLiteral("--set"), QStringLiteral("1")}).status,
            0);
        // A write cut half-way leaves the first 8 KiB and erased flash behind.
        QByteArray damaged = flash();
        damaged.replace(0x6000, 0x2000, QByteArray(0x2000, char(0xFF)));
        QVERIFY(FwTool::writeAll(adapterFolder + QStringLiteral("/flash.bin"), damaged));

        const Result info = run({QStringLiteral("info")});
        QCOMPARE(info.status, 1);
        QVERIFY(info.err.contains("The adapter's settings are damaged. The next update writes "
                                  "back the copy saved on"));
        const Result restored = run({QStringLiteral("restore-settings")});
        QVERIFY2(restored.status == 0, restored.err.constData());
        QVERIFY(restored.err.contains("The adapter's settings were restored from the copy saved"));
        QCOMPARE(flash().mid(0x4000, 0x4000), original);
        QCOMPARE(run({QStringLiteral("info")}).status, 0);

        // Without a copy there is nothing to restore.
        QDir(work.filePath(QStringLiteral("settings-copies"))).removeRecursively();
        const Result nothing = run({QStringLiteral("restore-settings")});
        QCOMPARE(nothing.status, 1);
        QVERIFY(nothing.err.contains("error: No saved settings of this adapter were found!"));
    }

    void replyTimeOutIsSettable()
    {
        createAdapter({QStringLiteral("--state"), QStringLiteral("new-layout")});
        // Request 330 belongs to the status read that follows the 316
        // requests of the version read.
        changeConfiguration(QStringLiteral("faults"),
                            QJsonObject{{QStringLiteral("noReplyAtReport"), 330}});
        QElapsedTimer clock;
        clock.start();
        const Result info =
            run({QStringLiteral("info")}, true,
                environmentWith(QStringLiteral("BRIVANE_REPLY_TIMEOUT_MS"), QStringLiteral("300")));
        QCOMPARE(info.status, 1);
        QVERIFY(info.err.contains("the adapter state could not be read completely"));
        QVERIFY(clock.elapsed() < 20000);
    }

    void wrongUsageAndMissingAdapter()
    {
        const QString image = writeImage(QStringLiteral("small.bin"), 100, 1);
        // A T5 image carries no version of its own.
        QCOMPARE(run({QStringLiteral("update"), QStringLiteral("--file"), image}).status, 2);
        QCOMPARE(
            run({QStringLiteral("boot-mode"), QStringLiteral("--set"), QStringLiteral("9")}).status,
            2);
        QCOMPARE(run({QStringLiteral("backup"), QStringLiteral("--model"), QStringLiteral("K3"),
                      QStringLiteral("--out"), work.filePath(QStringLiteral("x.bkp"))})
                     .status,
                 2);
        QCOMPARE(run({QStringLiteral("update"), QStringLiteral("--file"),
                      work.filePath(QStringLiteral("missing.bin")), QStringLiteral("--version"),
                      QStringLiteral("5.6.0")})
                     .status,
                 1);

        removeAdapters();
        const Result none = run({QStringLiteral("info")});
        QCOMPARE(none.status, 1);
        QVERIFY(none.err.contains("no T5 adapter found"));
    }

    // An adapter that is there but may not be opened is named with what to
    // do, not reported as missing.
    void adapterWithoutPermissionIsNamed()
    {
        createAdapter({QStringLiteral("--state"), QStringLiteral("new-layout")});
        changeConfiguration(QStringLiteral("faults"), QJsonObject{{"openDenied", true}});
        const Result denied = run({QStringLiteral("info")});
        QCOMPARE(denied.status, 1);
        QVERIFY2(denied.err.contains("cannot be opened: no permission"), denied.err.constData());
        QVERIFY2(denied.err.contains("udev rule"), denied.err.constData());
        QVERIFY2(denied.err.contains("brivane-firmware-tool"), denied.err.constData());
        QVERIFY(!denied.err.contains("no T5 adapter found"));
    }
};

QTEST_GUILESS_MAIN(CliT5Test)

#include "test_cli_t5.moc"
