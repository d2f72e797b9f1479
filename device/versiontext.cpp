#include "versiontext.h"

namespace VersionText {
namespace {
int part(const QStringList &parts, int index)
{
    return index < parts.size() ? parts.at(index).toInt(nullptr, 10) : 0;
}
} // namespace

QStringList parts(const QString &version)
{
    return version.split(QLatin1Char('.'), Qt::KeepEmptyParts);
}

int compare(const QStringList &first, const QStringList &second)
{
    for (int index = 0; index < 3; ++index) {
        const int a = part(first, index);
        const int b = part(second, index);
        if (a != b)
            return a < b ? -1 : 1;
    }
    return 0;
}

int compare(const QString &first, const QString &second)
{
    return compare(parts(first), parts(second));
}

int generationKey(const QStringList &parts)
{
    return part(parts, 0) * 10 + part(parts, 1);
}

int compareGenerations(const QString &a, const QString &b)
{
    const int keyA = generationKey(parts(a));
    const int keyB = generationKey(parts(b));
    if (keyA == keyB)
        return 0;
    return keyB < keyA ? 1 : -1;
}

} // namespace VersionText
