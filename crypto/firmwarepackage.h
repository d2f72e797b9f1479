#pragma once

#include <QByteArray>
#include <QtGlobal>

// Contents of an encrypted K3/M7 firmware package: Base64 text of an
// AES-128-ECB, PKCS#7-padded plaintext laid out as
//   marker(10) major(1, signed) minor(1) patch(1) image(n - 29) MD5(16)
// where the MD5 covers everything before it.
struct FirmwarePackage
{
    static constexpr char packageKey[] = "Tm4&Xq!7pLz#R2wK";
    static constexpr int markerLengthBytes = 10;
    static constexpr int headerLengthBytes = markerLengthBytes + 3;
    static constexpr int digestLengthBytes = 16;
    static constexpr int minimumPlaintextBytes = headerLengthBytes + digestLengthBytes;

    // True only when the plaintext holds at least a header and a digest and the
    // digest matches; the fields below are filled only when the layout fits.
    bool digestOk = false;
    QByteArray plaintext; // decrypted, padding removed
    QByteArray marker;
    qint8 major = 0;
    quint8 minor = 0;
    quint8 patch = 0;
    QByteArray image;

    static FirmwarePackage decode(const QByteArray &fileBytes);
};
