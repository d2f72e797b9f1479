#include "clicommon.h"

#include "adapterfolder.h"
#include "flashadapter.h"
#include "k3adapter.h"
#include "k3m7flashbuilder.h"
#include "m7adapter.h"
#include "t5adapter.h"
#include "t5firmwareimage.h"
#include "t5flashbuilder.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

const char defaultT5Serial[] = "0a1b2c3d4e5f60718293a4b5";
// An STM32 unique identifier is 12 bytes; the K3 reads 32, the rest zero.
const char defaultK3ChipId[] = "3fff7a05484e353224600943";
const char defaultM7ChipId[] = "2d0047000c51333139343634";

QString hexNumber(int value)
{
    return QStringLiteral("0x%1").arg(value, 4, 16, QChar('0'));
}

// Hexadecimal text with an even number of digits and nothing else; fromHex
// alone would skip a mistyped digit and build another identity than asked.
bool parseHex(const QString &text, QByteArray *bytes)
{
    static const QRegularExpression hexDigits(QStringLiteral("^([0-9a-fA-F]{2})+$"));
    if (!hexDigits.match(text).hasMatch())
        return false;
    *bytes = QByteArray::fromHex(text.toLatin1());
    return true;
}

QJsonObject commonConfiguration(const QString &model, int productId, int interface)
{
    QJsonObject configuration;
    configuration.insert(QStringLiteral("model"), model);
    configuration.insert(QStringLiteral("vendorId"), hexNumber(FlashAdapter::vendor));
    configuration.insert(QStringLiteral("productId"), hexNumber(productId));
    configuration.insert(QStringLiteral("interface"), interface);
    configuration.insert(QStringLiteral("eraseMsPerSector"), 0);
    configuration.insert(QStringLiteral("replyDelayMs"), 0);
    configuration.insert(QStringLiteral("appearAfterMs"), 0);
    configuration.insert(QStringLiteral("faults"), QJsonObject());
    return configuration;
}

// Sample macro records of the formats the firmware generation stores.
QVector<QByteArray> sampleRecords(int count, bool newLayout, const QString &version)
{
    // Adapters from 5.6.0 on keep format 4 records (132-byte header).
    const int generation =
        version.section('.', 0, 0).toInt() * 10 + version.section('.', 1, 1).toInt();
    const bool format4 = newLayout && generation >= 56;
    QVector<QByteArray> records;
    for (int i = 0; i < count; ++i) {
        const int format = format4 ? 4 : (i % 2 == 0 ? 2 : 3);
        records.append(T5FlashBuilder::macroRecord(
            format, QStringLiteral("macro%1").arg(i + 1).toLatin1(),
            T5FlashBuilder::sampleBytes(15 + 10 * i, quint32(100 + i))));
    }
    return records;
}

// emulate t5-image: a raw T5 firmware file that starts like an STM32F4
// application, for updates against emulated (or real) adapters.
int writeT5Image(const QCommandLineParser &parser, const QCommandLineOption &versionOption,
                 const QCommandLineOption &imageBytesOption, const QCommandLineOption &seedOption,
                 const QCommandLineOption &outOption, const QCommandLineOption &jsonOption)
{
    const QString version = parser.value(versionOption);
    const QString out = parser.value(outOption);
    if (version.isEmpty() || !parser.isSet(imageBytesOption) || out.isEmpty())
        return Cli::usageError(
            QStringLiteral("emulate t5-image needs --version, --image-bytes and --out"));
    bool numberOk = false;
    const int imageBytes = parser.value(imageBytesOption).toInt(&numberOk);
    if (!numberOk)
        return Cli::usageError(QStringLiteral("--image-bytes must be a number"));
    const quint32 seed = parser.value(seedOption).toUInt(&numberOk);
    if (!numberOk)
        return Cli::usageError(QStringLiteral("--seed must be a number from 0 to 4294967295"));
    QString error;
    const QByteArray image = T5FirmwareImage::build(version, imageBytes, seed, &error);
    if (image.isEmpty())
        return Cli::usageError(error);
    const QString path = QFileInfo(out).absoluteFilePath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return Cli::fail(
            QStringLiteral("cannot create folder %1").arg(QFileInfo(path).absolutePath()));
    if (!AdapterFolder::writeFile(path, image, &error))
        return Cli::fail(error);

    const quint32 address = T5FirmwareImage::loadAddress(version);
    if (parser.isSet(jsonOption)) {
        QJsonObject result;
        result.insert(QStringLiteral("ok"), true);
        result.insert(QStringLiteral("file"), path);
        result.insert(QStringLiteral("version"), version);
        result.insert(QStringLiteral("imageBytes"), imageBytes);
        result.insert(QStringLiteral("address"),
                      QStringLiteral("0x%1").arg(address, 8, 16, QChar('0')));
        Cli::printJson(result);
    } else {
        Cli::printLine(QStringLiteral("T5 image %1, %2 bytes for 0x%3, written to %4")
                           .arg(version)
                           .arg(imageBytes)
                           .arg(address, 8, 16, QChar('0'))
                           .arg(path));
    }
    return Cli::exitSuccess;
}

} // namespace

int runEmulatorCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Creates an emulated adapter folder (adapter.json + flash.bin) for BRIVANE_EMULATOR,\n"
        "or a T5 firmware image to update one with.\n"
        "  emulate create --model T5 --state new-layout|old-layout|firmware-lost|\n"
        "                 configuration-lost|hardware-failure --out FOLDER\n"
        "  emulate create --model K3|M7 --state app|boot|firmware-lost --out FOLDER\n"
        "  emulate t5-image --version X.Y.Z --image-bytes N [--seed S] --out FILE\n"
        "Point BRIVANE_EMULATOR at the folder, or at a folder holding several.\n"
        "The T5 image starts like an STM32F4 application linked for the address its\n"
        "version is written to (0x08020000 below 5.5.0, 0x08040000 from 5.5.0 on):\n"
        "a vector table (stack pointer 0x20020000, handlers inside the image), then\n"
        "filler derived from --seed. It has 64 bytes at least and fits its layout\n"
        "(262142 bytes below 5.5.0, 786430 from 5.5.0 on)."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("action"), QStringLiteral("create or t5-image."));
    const QCommandLineOption modelOption(QStringLiteral("model"), QStringLiteral("T5, K3 or M7."),
                                         QStringLiteral("M"));
    const QCommandLineOption stateOption(
        QStringLiteral("state"), QStringLiteral("The adapter's state."), QStringLiteral("S"));
    const QCommandLineOption outOption(
        QStringLiteral("out"),
        QStringLiteral("create: the adapter folder to write; t5-image: the file to write."),
        QStringLiteral("PATH"));
    const QCommandLineOption versionOption(
        QStringLiteral("version"),
        QStringLiteral("Firmware version in flash (T5: 5.6.0, 5.4.3 for old-layout; K3: 2.1.0; "
                       "M7: 1.3.0); t5-image: the version the image is for."),
        QStringLiteral("V"));
    const QCommandLineOption serialOption(
        QStringLiteral("serial"), QStringLiteral("T5 serial number, 12 bytes as hexadecimal text."),
        QStringLiteral("HEX"));
    const QCommandLineOption chipIdOption(QStringLiteral("chip-id"),
                                          QStringLiteral("K3/M7 chip identifier (hexadecimal)."),
                                          QStringLiteral("HEX"));
    const QCommandLineOption bootModeOption(QStringLiteral("boot-mode"),
                                            QStringLiteral("T5 boot mode stored (0-5)."),
                                            QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption imageBytesOption(QStringLiteral("image-bytes"),
                                              QStringLiteral("Size of the firmware image."),
                                              QStringLiteral("N"));
    const QCommandLineOption seedOption(
        QStringLiteral("seed"), QStringLiteral("t5-image: seed of the filler bytes (default 1)."),
        QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption recordsOption(QStringLiteral("records"),
                                           QStringLiteral("T5 macro records stored (default 2)."),
                                           QStringLiteral("N"), QStringLiteral("2"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print JSON."));
    parser.addOptions({modelOption, stateOption, outOption, versionOption, serialOption,
                       chipIdOption, bootModeOption, imageBytesOption, seedOption, recordsOption,
                       jsonOption});
    if (!parser.parse(QStringList{QStringLiteral("brivane-fwtool emulate")} + arguments))
        return Cli::usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        Cli::printHelp(parser, QStringLiteral("emulate"));
        return Cli::exitSuccess;
    }
    if (parser.positionalArguments() == QStringList{QStringLiteral("t5-image")})
        return writeT5Image(parser, versionOption, imageBytesOption, seedOption, outOption,
                            jsonOption);
    if (parser.positionalArguments() != QStringList{QStringLiteral("create")})
        return Cli::usageError(
            QStringLiteral("emulate takes one action: create or t5-image (see --help)"));
    const QString model = parser.value(modelOption).toUpper();
    const QString state = parser.value(stateOption);
    const QString out = parser.value(outOption);
    if (model.isEmpty() || state.isEmpty() || out.isEmpty())
        return Cli::usageError(QStringLiteral("emulate create needs --model, --state and --out"));

    bool numberOk = true;
    int imageBytes = -1;
    if (parser.isSet(imageBytesOption)) {
        imageBytes = parser.value(imageBytesOption).toInt(&numberOk);
        if (!numberOk || imageBytes < 1)
            return Cli::usageError(QStringLiteral("--image-bytes must be a positive number"));
    }

    QJsonObject configuration;
    QByteArray flash;
    QString error;
    if (model == QLatin1String("T5")) {
        const QStringList states = {QStringLiteral("new-layout"), QStringLiteral("old-layout"),
                                    QStringLiteral("firmware-lost"),
                                    QStringLiteral("configuration-lost"),
                                    QStringLiteral("hardware-failure")};
        if (!states.contains(state))
            return Cli::usageError(
                QStringLiteral("T5 states: %1").arg(states.join(QStringLiteral(", "))));
        T5FlashBuilder builder;
        builder.version = parser.value(versionOption);
        if (builder.version.isEmpty())
            builder.version = state == QLatin1String("old-layout") ? QStringLiteral("5.4.3")
                                                                   : QStringLiteral("5.6.0");
        if (!parseHex(parser.isSet(serialOption) ? parser.value(serialOption)
                                                 : QString::fromLatin1(defaultT5Serial),
                      &builder.serial) ||
            builder.serial.size() != T5Adapter::serialBytes)
            return Cli::usageError(QStringLiteral("--serial must be 12 bytes of hexadecimal text"));
        builder.bootMode = parser.value(bootModeOption).toInt(&numberOk);
        if (!numberOk || builder.bootMode < 0 || builder.bootMode > 255)
            return Cli::usageError(QStringLiteral("--boot-mode must be a number from 0 to 255"));
        const int recordCount = parser.value(recordsOption).toInt(&numberOk);
        if (!numberOk || recordCount < 0 || recordCount > 50)
            return Cli::usageError(QStringLiteral("--records must be a number from 0 to 50"));
        if (imageBytes > 0)
            builder.imageBytes = imageBytes;
        builder.records = sampleRecords(recordCount, builder.usesNewLayout(), builder.version);
        builder.firmwareLost = state == QLatin1String("firmware-lost");
        builder.configurationLost = state == QLatin1String("configuration-lost");
        builder.hardwareFailure = state == QLatin1String("hardware-failure");
        flash = builder.build(&error);
        configuration = commonConfiguration(QStringLiteral("T5"), T5Adapter::modelProductId, -1);
        configuration.insert(QStringLiteral("serialNumber"),
                             QString::fromLatin1(builder.serial.toHex()));
        configuration.insert(QStringLiteral("runStatus"), QStringLiteral("00000000"));
    } else if (model == QLatin1String("K3") || model == QLatin1String("M7")) {
        const QStringList states = {QStringLiteral("app"), QStringLiteral("boot"),
                                    QStringLiteral("firmware-lost")};
        if (!states.contains(state))
            return Cli::usageError(
                QStringLiteral("%1 states: %2").arg(model, states.join(QStringLiteral(", "))));
        const bool k3 = model == QLatin1String("K3");
        QByteArray chipId;
        if (!parseHex(parser.isSet(chipIdOption)
                          ? parser.value(chipIdOption)
                          : QString::fromLatin1(k3 ? defaultK3ChipId : defaultM7ChipId),
                      &chipId))
            return Cli::usageError(QStringLiteral("--chip-id must be hexadecimal text"));
        if (k3 && (chipId.isEmpty() || chipId.size() > K3Adapter::chipIdBytes))
            return Cli::usageError(QStringLiteral("--chip-id of a K3 has 1 to 32 bytes"));
        if (!k3 && chipId.size() != M7Adapter::chipIdBytes)
            return Cli::usageError(QStringLiteral("--chip-id of an M7 has 12 bytes"));
        K3FlashBuilder k3Builder;
        M7FlashBuilder m7Builder;
        FirmwareFlashBuilder &builder =
            k3 ? static_cast<FirmwareFlashBuilder &>(k3Builder) : m7Builder;
        if (parser.isSet(versionOption))
            builder.version = parser.value(versionOption);
        if (imageBytes > 0)
            builder.imageBytes = imageBytes;
        builder.firmwareLost = state == QLatin1String("firmware-lost");
        flash = builder.build(&error);
        if (k3) {
            // An adapter that lost its firmware stays in its boot loader.
            const bool application = state == QLatin1String("app");
            configuration = commonConfiguration(QStringLiteral("K3"),
                                                application ? K3Adapter::applicationProductId
                                                            : K3Adapter::bootProductId,
                                                application ? 0 : -1);
            configuration.insert(QStringLiteral("bootProductId"),
                                 hexNumber(K3Adapter::bootProductId));
            configuration.insert(QStringLiteral("reenumerateAfterMs"),
                                 K3Adapter::defaultReenumerateAfterMs);
            configuration.insert(QStringLiteral("bootFlag"), 0);
        } else {
            // The M7 has one identity; "app" and "boot" give the same adapter.
            configuration =
                commonConfiguration(QStringLiteral("M7"), M7Adapter::modelProductId, -1);
        }
        configuration.insert(QStringLiteral("chipId"), QString::fromLatin1(chipId.toHex()));
    } else {
        return Cli::usageError(QStringLiteral("--model must be T5, K3 or M7"));
    }
    if (flash.isEmpty())
        return Cli::fail(QStringLiteral("cannot build the %1 flash: %2").arg(model, error));

    // Check the folder the way the emulator will read it.
    if (!AdapterFolder::fromConfiguration(configuration, QStringLiteral("check"), &error))
        return Cli::fail(error);
    if (!AdapterFolder::write(out, configuration, flash, &error))
        return Cli::fail(error);

    const QString folder = QDir(out).absolutePath();
    if (parser.isSet(jsonOption)) {
        QJsonObject result;
        result.insert(QStringLiteral("ok"), true);
        result.insert(QStringLiteral("folder"), folder);
        result.insert(QStringLiteral("model"), model);
        result.insert(QStringLiteral("state"), state);
        Cli::printJson(result);
    } else {
        Cli::printLine(QStringLiteral("%1 adapter (%2) written to %3").arg(model, state, folder));
    }
    return Cli::exitSuccess;
}
