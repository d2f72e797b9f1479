#pragma once

#include "t5flashlayout.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>

// The T5's configuration sector as data: layouts, migrations, the factory
// configuration and the checks that tell a whole sector from a damaged one.
// Nothing here talks to an adapter.
namespace T5Configuration {

using T5FlashLayout::Layout;
using VersionBytes = std::array<uint8_t, 3>;

// Firmware below 5.5.0 uses the old layout.
Layout layoutForVersion(const QString &version);
uint32_t imageBase(Layout layout);
uint32_t imageAreaBytes(Layout layout);
uint16_t blockMark(Layout layout);
// Sectors the image and its end mark occupy.
QList<uint8_t> imageEraseSectors(Layout layout, uint32_t imageLength);

// Start mark, valid mark and the end mark in the last byte, which a write
// of the sector puts there last: a sector with all three was written whole.
bool isComplete(const QByteArray &config);
QString versionText(const QByteArray &config);
VersionBytes versionBytes(const QByteArray &config);
// The boot mode as the adapter reads it back: stored values 0-4; anything
// else shows as Auto.
int storedBootMode(const QByteArray &config);

// current is below threshold, comparing the three parts as numbers in order.
bool isVersionBelow(const QStringList &current, const QString &threshold);
// Carries settings written by firmware settingsVersion over to an update
// of the given layout.
void applyMigrations(QByteArray *config, Layout target, const QString &settingsVersion);
// Version, image location and length, and the marks of a valid sector.
void describeImage(QByteArray *config, const VersionBytes &version, uint32_t imageBase,
                   uint32_t imageLength);
// Copies the firmware description (bytes 1 to 0x41) of from, and sets the
// start and end marks, so the sector keeps matching the installed firmware.
void keepFirmwareDescription(QByteArray *config, const QByteArray &from);

QByteArray factoryConfiguration(const VersionBytes &version, Layout layout, uint32_t imageLength);
// A data or macro block holding nothing: length 66, mark at 64.
QByteArray emptyBlock(uint16_t mark);
// The factory data block A: empty, with bytes 3-8 set to 0xFF.
QByteArray factoryBlockA(uint16_t mark);
// The image followed by its end mark.
QByteArray imageWithEndMark(const QByteArray &image);

} // namespace T5Configuration
