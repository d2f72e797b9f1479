// Full new-layout T5 update of a 700,000-byte image against the emulated
// adapter with no added latency, compared with the same exchanges sent
// straight through QHidDevice without the device logic.

#include "bridgeusb.h"
#include "emulatorbackend.h"
#include "global.h"
#include "hidbackend.h"
#include "qhiddevice.h"
#include "t5adapter.h"
#include "t5device.h"
#include "t5firmwareimage.h"
#include "t5flashbuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTextStream>

#include <ctime>

namespace {
constexpr int imageLengthBytes = 700000;
constexpr int chunkBytes = wideFrameLayout.maxDataBytes;
// Full-speed USB: one interrupt transfer per 1 ms frame; the reply of a
// request can only leave in a frame after the request arrived.
constexpr double frameMs = 1.0;
constexpr int framesPerExchange = 2;

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A healthy new-layout adapter on 5.5.3.
QByteArray adapterFlash()
{
    T5FlashBuilder builder;
    builder.version = QStringLiteral("5.5.3");
    builder.imageBytes = 1000;
    builder.serial = QByteArray::fromHex("0a1b2c3d4e5f60718293a4b5");
    return builder.build();
}

QByteArray request(quint32 code, quint32 address, quint32 length, const char *data = nullptr)
{
    return MemoryFrame::request(wideFrameLayout, code, address, length,
                                reinterpret_cast<const uint8_t *>(data))
        .toByteArray();
}

struct Figures
{
    int exchanges = 0;
    double wallSeconds = 0;
    double cpuSeconds = 0;
};

// The update's exchange sequence without the device: erase, write the
// configuration and the image in 52-byte chunks, then the read-back the
// update verifies with: the configuration in 52-byte requests, the run
// status, T5Info, the data block marks, the configuration again and the
// firmware end mark.
Figures bareTransport(const QByteArray &config, const QByteArray &imageWithMark,
                      const QByteArray &eraseList, const QByteArray &flash)
{
    QHidDevice device;
    Figures figures;
    if (!device.open(0x0E3A, 0xB373, -1))
        return figures;
    QByteArray reply;
    const auto exchange = [&](const QByteArray &report) {
        device.write(&report);
        reply.resize(64);
        device.read(&reply, 64, 45000);
        ++figures.exchanges;
    };
    const auto writeArea = [&](quint32 address, const QByteArray &bytes) {
        for (int offset = 0; offset < bytes.size(); offset += chunkBytes) {
            const int chunk = qMin(chunkBytes, bytes.size() - offset);
            exchange(request(T5Device::USB_CMD_WRITE, address + quint32(offset), quint32(chunk),
                             bytes.constData() + offset));
        }
    };

    QElapsedTimer wall;
    const double cpuStart = processCpuSeconds();
    wall.start();
    const auto readArea = [&](quint32 address, int length) {
        for (int offset = 0; offset < length; offset += chunkBytes)
            exchange(request(T5Device::USB_CMD_READ, address + quint32(offset),
                             quint32(qMin(chunkBytes, length - offset))));
    };
    const auto u16At = [&flash](quint32 address) {
        const int offset = int(address - 0x08000000);
        return quint32(quint8(flash.at(offset)) | (quint8(flash.at(offset + 1)) << 8));
    };
    exchange(request(T5Device::USB_CMD_ERASE, 0, quint32(eraseList.size()), eraseList.constData()));
    writeArea(0x08004000, config);
    writeArea(0x08040000, imageWithMark);
    for (int offset = 0; offset < 0x4000; offset += chunkBytes)
        exchange(request(T5Device::USB_CMD_READ, 0x08004000 + quint32(offset), chunkBytes));
    exchange(request(T5Device::USB_CMD_RUN_STATUS, 0, 4));
    readArea(0x08003FC0, 64);
    for (const quint32 block : {0x08008000u, 0x08010000u}) {
        readArea(block, 64);
        readArea(block + u16At(block) - 2, 2);
    }
    readArea(0x08004000, 0x4000);
    readArea(0x08040000 + quint32(imageWithMark.size() - 2), 2);
    figures.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    figures.cpuSeconds = processCpuSeconds() - cpuStart;
    device.close();
    return figures;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QLoggingCategory::setFilterRules(
        QStringLiteral("*.debug=false\n*.info=false\n*.warning=false"));
    QTextStream out(stdout);

    QTemporaryDir folder;
    // afterUpdate reads configs.ini from the working directory: none here.
    QDir::setCurrent(folder.path());
    EmulatorBackend backend;
    HidBackend::install(&backend);
    Global::instance();
    auto *adapter = backend.emplaceAdapter<T5Adapter>(QStringLiteral("t5-bench"));
    const QByteArray initialFlash = adapterFlash();
    adapter->setFlashContents(initialFlash);

    const QByteArray image = T5FirmwareImage::build(QStringLiteral("5.6.0"), imageLengthBytes);
    const QString imagePath = folder.filePath(QStringLiteral("firmware.bin"));
    QFile imageFile(imagePath);
    if (!imageFile.open(QIODevice::WriteOnly) || imageFile.write(image) != image.size()) {
        out << "cannot write the firmware image\n";
        return 1;
    }
    imageFile.close();

    // Step 1: the update through T5Device.
    Figures withDevice;
    QString errorText;
    {
        T5Device device;
        QObject::connect(&device, &BaseDevice::error,
                         [&](const QString &text) { errorText = text; });
        if (!device.tryConnected()) {
            out << "the emulated adapter did not open\n";
            return 1;
        }
        device.waitForConnectionTask();
        adapter->resetCounters();
        QElapsedTimer wall;
        const double cpuStart = processCpuSeconds();
        wall.start();
        device.updateFirmwareFile(imagePath, QStringLiteral("5.6.0"));
        withDevice.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
        withDevice.cpuSeconds = processCpuSeconds() - cpuStart;
        withDevice.exchanges = adapter->reportsReceived();
        if (!errorText.isEmpty() || device.version() != QLatin1String("5.6.0")) {
            out << "the update failed: " << errorText << '\n';
            return 1;
        }
    }
    const QByteArray updatedFlash = adapter->flashContents();

    // Step 2: the same exchanges straight through QHidDevice, from the same
    // starting flash.
    adapter->setFlashContents(initialFlash);
    adapter->resetCounters();
    const QByteArray config = updatedFlash.mid(0x4000, 0x4000);
    const QByteArray imageWithMark = updatedFlash.mid(0x40000, imageLengthBytes + 2);
    const QByteArray eraseList = QByteArray::fromHex("01060708090a0b");
    const Figures bare = bareTransport(config, imageWithMark, eraseList, updatedFlash);
    if (bare.exchanges != withDevice.exchanges || adapter->flashContents() != updatedFlash) {
        out << "the bare sequence differs from the update: " << bare.exchanges << " exchanges\n";
        return 1;
    }

    const auto perExchangeUs = [](const Figures &figures) {
        return figures.cpuSeconds * 1e6 / figures.exchanges;
    };
    out << QStringLiteral("T5 new-layout update, %1-byte image, emulator without added latency\n")
               .arg(imageLengthBytes);
    out << QStringLiteral("  exchanges:                    %1\n").arg(withDevice.exchanges);
    out << QStringLiteral("  with T5Device:   wall %1 ms, CPU %2 ms, CPU %3 us/exchange\n")
               .arg(withDevice.wallSeconds * 1e3, 0, 'f', 1)
               .arg(withDevice.cpuSeconds * 1e3, 0, 'f', 1)
               .arg(perExchangeUs(withDevice), 0, 'f', 2);
    out << QStringLiteral("  bare QHidDevice: wall %1 ms, CPU %2 ms, CPU %3 us/exchange\n")
               .arg(bare.wallSeconds * 1e3, 0, 'f', 1)
               .arg(bare.cpuSeconds * 1e3, 0, 'f', 1)
               .arg(perExchangeUs(bare), 0, 'f', 2);
    out << QStringLiteral("  ratio device logic / bare transport: wall %1, CPU %2\n")
               .arg(withDevice.wallSeconds / bare.wallSeconds, 0, 'f', 2)
               .arg(withDevice.cpuSeconds / bare.cpuSeconds, 0, 'f', 2);
    const double usbSeconds = withDevice.exchanges * framesPerExchange * frameMs / 1e3;
    out << QStringLiteral("  full-speed USB HID (request + reply frame of 1 ms per exchange): "
                          "%1 s, erase time of the flash not included\n")
               .arg(usbSeconds, 0, 'f', 1);
    out << "  (CPU figures include the in-process emulator's work)\n";
    return 0;
}
