#include "testpackage.h"

#include "opensslcipher.h"

#include <QCryptographicHash>

namespace TestPackage {

namespace {
QByteArray header(const Contents &contents)
{
    QByteArray bytes = contents.marker;
    bytes.append(char(contents.major));
    bytes.append(char(contents.minor));
    bytes.append(char(contents.patch));
    bytes.append(contents.image);
    return bytes;
}
} // namespace

QByteArray plaintext(const Contents &contents)
{
    const QByteArray covered = header(contents);
    return covered + QCryptographicHash::hash(covered, QCryptographicHash::Md5);
}

QByteArray encrypt(const QByteArray &plain)
{
    bool encrypted = false;
    const QByteArray ciphertext = OpenSslCipher::encrypt(
        plain, QByteArray(packageKey), QByteArray(), 0 /* ECB */, true, &encrypted);
    return encrypted ? ciphertext : QByteArray();
}

QByteArray build(const Contents &contents)
{
    return encrypt(plaintext(contents)).toBase64();
}

QByteArray buildWithWrongTrailer(const Contents &contents)
{
    QByteArray plain = plaintext(contents);
    plain[plain.size() - 1] = char(plain.at(plain.size() - 1) ^ 0x01);
    return encrypt(plain).toBase64();
}

QByteArray patternImage(int sizeBytes, quint8 seed)
{
    QByteArray image(sizeBytes, '\0');
    quint32 state = seed * 2654435761u + 1;
    for (int index = 0; index < sizeBytes; ++index) {
        state = state * 1103515245u + 12345u;
        // Never 0xFF, so a byte that was not written shows.
        image[index] = char((state >> 16) % 0xFF);
    }
    return image;
}

QByteArray informationBlock(quint32 startAddress, quint8 major, quint8 minor, quint8 patch,
                            const QByteArray &image)
{
    QByteArray block(256, '\0');
    block[0] = char(0x55);
    for (int index = 0; index < 4; ++index) {
        block[1 + index] = char((startAddress >> (8 * index)) & 0xFF);
        block[8 + index] = char((quint32(image.size()) >> (8 * index)) & 0xFF);
    }
    block[5] = char(major);
    block[6] = char(minor);
    block[7] = char(patch);
    block.replace(12, 16, QCryptographicHash::hash(image, QCryptographicHash::Md5));
    block[255] = char(0xAA);
    return block;
}

} // namespace TestPackage
