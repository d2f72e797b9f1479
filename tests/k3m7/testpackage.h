#pragma once

#include <QByteArray>

// Builds encrypted K3/M7 firmware packages the way the publishing side does,
// with OpenSSL rather than our own cipher, so decoding is checked against an
// independent implementation.
namespace TestPackage {

constexpr char packageKey[] = "Tm4&Xq!7pLz#R2wK";

struct Contents
{
    QByteArray marker;
    qint8 major = 2;
    quint8 minor = 0;
    quint8 patch = 0;
    QByteArray image;
};

// marker, version bytes and image followed by the MD5 of all of them.
QByteArray plaintext(const Contents &contents);
// AES-128-ECB with PKCS#7 padding; empty on an OpenSSL failure.
QByteArray encrypt(const QByteArray &plaintext);
// The package file: Base64 of the encrypted plaintext.
QByteArray build(const Contents &contents);
// A package whose trailer is not the MD5 of what it covers.
QByteArray buildWithWrongTrailer(const Contents &contents);

// An image whose bytes differ from chunk to chunk and from erased flash.
QByteArray patternImage(int sizeBytes, quint8 seed = 0x11);

// The 256-byte firmware-information block an update writes for the image,
// byte by byte from its layout table: 0x55, u32 start address, version,
// u32 image size, MD5 of the image, zeros, 0xAA at byte 255.
QByteArray informationBlock(quint32 startAddress, quint8 major, quint8 minor, quint8 patch,
                            const QByteArray &image);

} // namespace TestPackage
