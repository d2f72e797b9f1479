#pragma once

#include <QString>
#include <QStringList>

class BaseDevice;
class QObject;

// The device object of a model key ("T5", ...), or nullptr for an unknown key.
BaseDevice *createDevice(const QString &model, QObject *parent);
// The model keys createDevice() knows.
QStringList deviceModels();
