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

} // namespace TestPackage
