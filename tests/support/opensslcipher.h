#pragma once

#include <QByteArray>

#include <openssl/evp.h>

#include <memory>

// Independent reference encryptor: our code only decrypts, so the data it is
// checked against is produced by libcrypto.
namespace OpenSslCipher {

inline const EVP_CIPHER *aesCipher(int keyLengthBytes, int mode)
{
    // mode: 0 ECB, 1 CBC, 2 CFB-128, 3 OFB, matching QAESEncryption::CipherMode.
    static const EVP_CIPHER *(*const table[3][4])() = {
        {EVP_aes_128_ecb, EVP_aes_128_cbc, EVP_aes_128_cfb128, EVP_aes_128_ofb},
        {EVP_aes_192_ecb, EVP_aes_192_cbc, EVP_aes_192_cfb128, EVP_aes_192_ofb},
        {EVP_aes_256_ecb, EVP_aes_256_cbc, EVP_aes_256_cfb128, EVP_aes_256_ofb},
    };
    const int sizeIndex = keyLengthBytes == 24 ? 1 : keyLengthBytes == 32 ? 2 : 0;
    return table[sizeIndex][mode]();
}

// Returns an empty array with ok = false on any libcrypto failure.
inline QByteArray encrypt(const QByteArray &plaintext, const QByteArray &key, const QByteArray &iv,
                          int mode, bool pkcs7, bool *ok)
{
    *ok = false;
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                            EVP_CIPHER_CTX_free);
    if (!context)
        return QByteArray();
    const auto *keyBytes = reinterpret_cast<const unsigned char *>(key.constData());
    const auto *ivBytes =
        iv.isEmpty() ? nullptr : reinterpret_cast<const unsigned char *>(iv.constData());
    if (EVP_EncryptInit_ex(context.get(), aesCipher(key.size(), mode), nullptr, keyBytes,
                           ivBytes) != 1)
        return QByteArray();
    EVP_CIPHER_CTX_set_padding(context.get(), pkcs7 ? 1 : 0);

    QByteArray output(plaintext.size() + 32, '\0');
    auto *outBytes = reinterpret_cast<unsigned char *>(output.data());
    int written = 0;
    if (EVP_EncryptUpdate(context.get(), outBytes, &written,
                          reinterpret_cast<const unsigned char *>(plaintext.constData()),
                          plaintext.size()) != 1)
        return QByteArray();
    int finalWritten = 0;
    if (EVP_EncryptFinal_ex(context.get(), outBytes + written, &finalWritten) != 1)
        return QByteArray();
    output.resize(written + finalWritten);
    *ok = true;
    return output;
}

} // namespace OpenSslCipher
