#include "clicommon.h"

#include "firmwarepackage.h"

#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QFile>

// Decodes a K3/M7 firmware package and prints what it holds. Exit status 0
// only when the package decodes and its digest holds.
int runPackageInfoCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Decodes a K3/M7 firmware package: model marker, version, image size, digest."));
    parser.addHelpOption();
    const QCommandLineOption fileOption(
        QStringLiteral("file"), QStringLiteral("The package (.rfw or .bin)."), QStringLiteral("F"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print JSON."));
    parser.addOption(fileOption);
    parser.addOption(jsonOption);
    if (!parser.parse(QStringList{QStringLiteral("brivane-fwtool package-info")} + arguments))
        return Cli::usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        Cli::printHelp(parser, QStringLiteral("package-info"));
        return Cli::exitSuccess;
    }
    if (!parser.positionalArguments().isEmpty())
        return Cli::usageError(QStringLiteral("package-info takes no positional arguments"));
    if (!parser.isSet(fileOption))
        return Cli::usageError(QStringLiteral("package-info needs --file F"));

    const QString path = parser.value(fileOption);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Cli::fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    const QByteArray fileBytes = file.readAll();
    if (fileBytes.isEmpty())
        return Cli::fail(QStringLiteral("%1 is empty").arg(path));

    const FirmwarePackage package = FirmwarePackage::decode(fileBytes);
    const bool layoutFits = package.plaintext.size() >= FirmwarePackage::minimumPlaintextBytes;
    const QString version = layoutFits ? QStringLiteral("%1.%2.%3")
                                             .arg(int(package.major))
                                             .arg(unsigned(package.minor))
                                             .arg(unsigned(package.patch))
                                       : QString();
    // The marker is shown as text only when it is plain ASCII; garbage from
    // a wrong key or a damaged file is shown in hexadecimal.
    bool markerIsText = layoutFits;
    for (char character : package.marker)
        markerIsText = markerIsText && character >= 0x20 && character < 0x7F;
    const QString marker = markerIsText ? QString::fromLatin1(package.marker)
                                        : QString::fromLatin1(package.marker.toHex());
    const QString imageDigest = QString::fromLatin1(
        QCryptographicHash::hash(package.image, QCryptographicHash::Md5).toHex());

    if (parser.isSet(jsonOption)) {
        QJsonObject object{
            {QStringLiteral("file"), path},
            {QStringLiteral("digestOk"), package.digestOk},
            {QStringLiteral("decoded"), layoutFits},
        };
        if (layoutFits) {
            object.insert(QStringLiteral("marker"), marker);
            object.insert(QStringLiteral("version"), version);
            object.insert(QStringLiteral("imageSize"), package.image.size());
            object.insert(QStringLiteral("imageMd5"), imageDigest);
        }
        Cli::printJson(object);
    } else if (layoutFits) {
        Cli::printLine(QStringLiteral("marker:     %1").arg(marker));
        Cli::printLine(QStringLiteral("version:    %1").arg(version));
        Cli::printLine(QStringLiteral("image size: %1 bytes").arg(package.image.size()));
        Cli::printLine(QStringLiteral("image md5:  %1").arg(imageDigest));
        Cli::printLine(
            QStringLiteral("digest:     %1")
                .arg(package.digestOk ? QStringLiteral("ok") : QStringLiteral("damaged")));
    }

    if (!layoutFits)
        return Cli::fail(QStringLiteral("%1 does not decode to a firmware package").arg(path));
    if (!package.digestOk)
        return Cli::fail(
            QStringLiteral("the digest of %1 does not hold: the file is damaged").arg(path));
    return Cli::exitSuccess;
}
