#include "testpackage.h"

#include <QCryptographicHash>

#include <openssl/evp.h>

#include <memory>

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
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                            EVP_CIPHER_CTX_free);
    if (!context)
        return {};
    const auto *key = reinterpret_cast<const unsigned char *>(packageKey);
    if (EVP_EncryptInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, key, nullptr) != 1)
        return {};
    // PKCS#7 padding is OpenSSL's default for block ciphers.
    QByteArray output(plain.size() + 16, '\0');
    int written = 0;
    int finalWritten = 0;
    auto *out = reinterpret_cast<unsigned char *>(output.data());
    if (EVP_EncryptUpdate(context.get(), out, &written,
                          reinterpret_cast<const unsigned char *>(plain.constData()),
                          plain.size()) != 1 ||
        EVP_EncryptFinal_ex(context.get(), out + written, &finalWritten) != 1)
        return {};
    output.resize(written + finalWritten);
    return output;
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

} // namespace TestPackage
