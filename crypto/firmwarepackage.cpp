#include "firmwarepackage.h"

#include "qaesencryption.h"

#include <QCryptographicHash>

constexpr char FirmwarePackage::packageKey[];

FirmwarePackage FirmwarePackage::decode(const QByteArray &fileBytes)
{
    FirmwarePackage package;

    QAESEncryption aes(QAESEncryption::Key128, QAESEncryption::Ecb, QAESEncryption::Pkcs7);
    const QByteArray ciphertext = QByteArray::fromBase64(fileBytes);
    const QByteArray key = QByteArray(packageKey);
    package.plaintext =
        QAESEncryption::stripPadding(aes.decrypt(ciphertext, key), QAESEncryption::Pkcs7);

    const QByteArray &plain = package.plaintext;
    const int length = plain.size();
    if (length < minimumPlaintextBytes)
        return package;

    const QByteArray covered = plain.left(length - digestLengthBytes);
    const QByteArray trailer = plain.right(digestLengthBytes);
    package.digestOk = QCryptographicHash::hash(covered, QCryptographicHash::Md5) == trailer;

    package.marker = plain.left(markerLengthBytes);
    package.major = static_cast<qint8>(plain.at(markerLengthBytes));
    package.minor = static_cast<quint8>(plain.at(markerLengthBytes + 1));
    package.patch = static_cast<quint8>(plain.at(markerLengthBytes + 2));
    package.image = plain.mid(headerLengthBytes, length - minimumPlaintextBytes);
    return package;
}
