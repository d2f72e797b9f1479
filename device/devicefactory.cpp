#include "devicefactory.h"

#include "k3device.h"
#include "m7device.h"
#include "t5device.h"

BaseDevice *createDevice(const QString &model, QObject *parent)
{
    const QString key = model.trimmed().toUpper();
    if (key == QLatin1String("T5"))
        return new T5Device(parent);
    if (key == QLatin1String("K3"))
        return new K3Device(parent);
    if (key == QLatin1String("M7"))
        return new M7Device(parent);
    return nullptr;
}

QStringList deviceModels()
{
    return {QStringLiteral("T5"), QStringLiteral("K3"), QStringLiteral("M7")};
}
