#pragma once

#include "emulatedadapter.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <memory>

// The on-disk form of one emulated adapter: a folder with adapter.json
// (identity, timings, faults) and flash.bin (the raw flash from 0x08000000).
namespace AdapterFolder {

constexpr const char *configurationFileName = "adapter.json";
constexpr const char *flashFileName = "flash.bin";

// nullptr and *error set when the folder cannot be used.
std::unique_ptr<EmulatedAdapter> load(const QString &folder, QString *error);
// Builds an adapter from the parsed adapter.json; flash stays as built.
std::unique_ptr<EmulatedAdapter> fromConfiguration(const QJsonObject &configuration,
                                                   const QString &name, QString *error);
// Writes adapter.json and flash.bin (creating the folder).
bool write(const QString &folder, const QJsonObject &configuration, const QByteArray &flash,
           QString *error);
// Replaces the file whole or not at all: a program reading a scenario
// while the emulator writes it back never sees half a flash.bin.
bool writeFile(const QString &path, const QByteArray &bytes, QString *error);

} // namespace AdapterFolder
