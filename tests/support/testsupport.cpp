#include "testsupport.h"

#include <QFile>
#include <QRegularExpression>

namespace TestSupport {

QString vectorsDirectory()
{
    return qEnvironmentVariable("BRIVANE_VECTORS_DIR");
}

QByteArray readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QByteArray fromHex(const QString &text)
{
    QString compact = text;
    compact.remove(QRegularExpression(QStringLiteral("\\s")));
    return QByteArray::fromHex(compact.toLatin1());
}

} // namespace TestSupport

QString TestSupport::writeWholeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}
