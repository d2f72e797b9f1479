#include "devicefactory.h"

#include "t5device.h"

BaseDevice *createDevice(const QString &model, QObject *parent)
{
    const QString key = model.trimmed().toUpper();
    if (key == QLatin1String("T5"))
        return new T5Device(parent);
    return nullptr;
}

QStringList deviceModels()
{
    return {QStringLiteral("T5")};
}
