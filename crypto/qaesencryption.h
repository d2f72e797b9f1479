#pragma once

#include <QByteArray>
#include <QObject>

#include <cstdint>

// AES (FIPS-197) decryptor for whole in-memory buffers. It opens the encrypted
// firmware packages of the K3 and M7 adapters; encryption is never needed there,
// so only the forward block cipher that CFB and OFB decryption rely on exists.
// One object keeps nothing between calls except its configuration, but a call is
// not reentrant: use one object per thread.
class QAESEncryption : public QObject
{
    Q_OBJECT

public:
    enum KeySize { Key128 = 0, Key192 = 1, Key256 = 2 };
    Q_ENUM(KeySize)

    enum CipherMode { Ecb = 0, Cbc = 1, Cfb = 2, Ofb = 3 };
    Q_ENUM(CipherMode)

    enum PaddingScheme { Zero = 0, Pkcs7 = 1, Iso = 2 };
    Q_ENUM(PaddingScheme)

    static constexpr int blockLengthBytes = 16;

    QAESEncryption(KeySize size, CipherMode mode, PaddingScheme padding);

    // Decrypts with the configured key size and mode and leaves any padding in
    // place. Returns an empty array when the key length does not fit the key
    // size, when a non-ECB mode gets no 16-byte IV, or when ECB/CBC input is not
    // made of whole blocks.
    QByteArray decrypt(const QByteArray &ciphertext, const QByteArray &key,
                       const QByteArray &iv = QByteArray());

    static QByteArray stripPadding(const QByteArray &data, PaddingScheme padding);

    KeySize keySize() const { return m_keySize; }
    CipherMode mode() const { return m_mode; }
    PaddingScheme padding() const { return m_padding; }

private:
    // Largest expanded key: 4 bytes per word, 4 words per round key, 15 round keys.
    static constexpr int maxExpandedKeyBytes = 4 * 4 * 15;

    void keyExpansion(const QByteArray &key);
    void addRoundKey(int round);
    void subBytes();
    void invSubBytes();
    void shiftRows();
    void invShiftRows();
    void mixColumns();
    void invMixColumns();
    void cipher(uint8_t *block);
    void invCipher(uint8_t *block);
    static QByteArray byteXor(const QByteArray &first, const QByteArray &second);

    KeySize m_keySize;
    CipherMode m_mode;
    PaddingScheme m_padding;
    int m_keyWords; // Nk
    int m_rounds;   // Nr
    int m_keyLengthBytes;
    uint8_t m_expandedKey[maxExpandedKeyBytes] = {};
    uint8_t *m_state = nullptr; // the block under transformation, column-major
};
