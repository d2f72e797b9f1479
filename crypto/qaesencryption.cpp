#include "qaesencryption.h"

#include <cstring>

namespace {

const uint8_t substitutionBox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

const uint8_t inverseSubstitutionBox[256] = {
    0x52, 0x09, 0x6a, 0xd5, 0x30, 0x36, 0xa5, 0x38, 0xbf, 0x40, 0xa3, 0x9e, 0x81, 0xf3, 0xd7, 0xfb,
    0x7c, 0xe3, 0x39, 0x82, 0x9b, 0x2f, 0xff, 0x87, 0x34, 0x8e, 0x43, 0x44, 0xc4, 0xde, 0xe9, 0xcb,
    0x54, 0x7b, 0x94, 0x32, 0xa6, 0xc2, 0x23, 0x3d, 0xee, 0x4c, 0x95, 0x0b, 0x42, 0xfa, 0xc3, 0x4e,
    0x08, 0x2e, 0xa1, 0x66, 0x28, 0xd9, 0x24, 0xb2, 0x76, 0x5b, 0xa2, 0x49, 0x6d, 0x8b, 0xd1, 0x25,
    0x72, 0xf8, 0xf6, 0x64, 0x86, 0x68, 0x98, 0x16, 0xd4, 0xa4, 0x5c, 0xcc, 0x5d, 0x65, 0xb6, 0x92,
    0x6c, 0x70, 0x48, 0x50, 0xfd, 0xed, 0xb9, 0xda, 0x5e, 0x15, 0x46, 0x57, 0xa7, 0x8d, 0x9d, 0x84,
    0x90, 0xd8, 0xab, 0x00, 0x8c, 0xbc, 0xd3, 0x0a, 0xf7, 0xe4, 0x58, 0x05, 0xb8, 0xb3, 0x45, 0x06,
    0xd0, 0x2c, 0x1e, 0x8f, 0xca, 0x3f, 0x0f, 0x02, 0xc1, 0xaf, 0xbd, 0x03, 0x01, 0x13, 0x8a, 0x6b,
    0x3a, 0x91, 0x11, 0x41, 0x4f, 0x67, 0xdc, 0xea, 0x97, 0xf2, 0xcf, 0xce, 0xf0, 0xb4, 0xe6, 0x73,
    0x96, 0xac, 0x74, 0x22, 0xe7, 0xad, 0x35, 0x85, 0xe2, 0xf9, 0x37, 0xe8, 0x1c, 0x75, 0xdf, 0x6e,
    0x47, 0xf1, 0x1a, 0x71, 0x1d, 0x29, 0xc5, 0x89, 0x6f, 0xb7, 0x62, 0x0e, 0xaa, 0x18, 0xbe, 0x1b,
    0xfc, 0x56, 0x3e, 0x4b, 0xc6, 0xd2, 0x79, 0x20, 0x9a, 0xdb, 0xc0, 0xfe, 0x78, 0xcd, 0x5a, 0xf4,
    0x1f, 0xdd, 0xa8, 0x33, 0x88, 0x07, 0xc7, 0x31, 0xb1, 0x12, 0x10, 0x59, 0x27, 0x80, 0xec, 0x5f,
    0x60, 0x51, 0x7f, 0xa9, 0x19, 0xb5, 0x4a, 0x0d, 0x2d, 0xe5, 0x7a, 0x9f, 0x93, 0xc9, 0x9c, 0xef,
    0xa0, 0xe0, 0x3b, 0x4d, 0xae, 0x2a, 0xf5, 0xb0, 0xc8, 0xeb, 0xbb, 0x3c, 0x83, 0x53, 0x99, 0x61,
    0x17, 0x2b, 0x04, 0x7e, 0xba, 0x77, 0xd6, 0x26, 0xe1, 0x69, 0x14, 0x63, 0x55, 0x21, 0x0c, 0x7d,
};

// Rcon[j] = x^(j-1) in GF(2^8); entry 0 only keeps the indices aligned with the
// round-key number and is never read.
const uint8_t roundConstants[15] = {0x8d, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40,
                                    0x80, 0x1b, 0x36, 0x6c, 0xd8, 0xab, 0x4d};

constexpr int columnCount = 4; // Nb

uint8_t multiplyByX(uint8_t value)
{
    return static_cast<uint8_t>((value << 1) ^ ((value & 0x80) ? 0x1b : 0x00));
}

// Product in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1 (0x11B).
uint8_t multiply(uint8_t value, uint8_t factor)
{
    uint8_t product = 0;
    while (factor != 0) {
        if (factor & 1)
            product ^= value;
        value = multiplyByX(value);
        factor >>= 1;
    }
    return product;
}

} // namespace

QAESEncryption::QAESEncryption(KeySize size, CipherMode mode, PaddingScheme padding)
    : m_keySize(size), m_mode(mode), m_padding(padding)
{
    switch (size) {
    case Key192:
        m_keyWords = 6;
        m_rounds = 12;
        break;
    case Key256:
        m_keyWords = 8;
        m_rounds = 14;
        break;
    case Key128:
    default:
        m_keySize = Key128;
        m_keyWords = 4;
        m_rounds = 10;
        break;
    }
    m_keyLengthBytes = 4 * m_keyWords;
}

void QAESEncryption::keyExpansion(const QByteArray &key)
{
    std::memcpy(m_expandedKey, key.constData(), static_cast<size_t>(m_keyLengthBytes));

    const int totalWords = columnCount * (m_rounds + 1);
    for (int wordIndex = m_keyWords; wordIndex < totalWords; ++wordIndex) {
        uint8_t word[4];
        std::memcpy(word, m_expandedKey + 4 * (wordIndex - 1), 4);

        if (wordIndex % m_keyWords == 0) {
            const uint8_t first = word[0];
            word[0] = substitutionBox[word[1]];
            word[1] = substitutionBox[word[2]];
            word[2] = substitutionBox[word[3]];
            word[3] = substitutionBox[first];
            word[0] ^= roundConstants[wordIndex / m_keyWords];
        } else if (m_keyWords > 6 && wordIndex % m_keyWords == 4) {
            for (uint8_t &byte : word)
                byte = substitutionBox[byte];
        }

        const uint8_t *earlier = m_expandedKey + 4 * (wordIndex - m_keyWords);
        uint8_t *target = m_expandedKey + 4 * wordIndex;
        for (int i = 0; i < 4; ++i)
            target[i] = static_cast<uint8_t>(earlier[i] ^ word[i]);
    }
}

void QAESEncryption::addRoundKey(int round)
{
    const uint8_t *roundKey = m_expandedKey + round * blockLengthBytes;
    for (int i = 0; i < blockLengthBytes; ++i)
        m_state[i] ^= roundKey[i];
}

void QAESEncryption::subBytes()
{
    for (int i = 0; i < blockLengthBytes; ++i)
        m_state[i] = substitutionBox[m_state[i]];
}

void QAESEncryption::invSubBytes()
{
    for (int i = 0; i < blockLengthBytes; ++i)
        m_state[i] = inverseSubstitutionBox[m_state[i]];
}

// Byte i of the state is row i % 4, column i / 4: row r is bytes r, r+4, r+8, r+12.
void QAESEncryption::shiftRows()
{
    uint8_t shifted[blockLengthBytes];
    for (int column = 0; column < columnCount; ++column)
        for (int row = 0; row < 4; ++row)
            shifted[4 * column + row] = m_state[4 * ((column + row) % columnCount) + row];
    std::memcpy(m_state, shifted, blockLengthBytes);
}

void QAESEncryption::invShiftRows()
{
    uint8_t shifted[blockLengthBytes];
    for (int column = 0; column < columnCount; ++column)
        for (int row = 0; row < 4; ++row)
            shifted[4 * ((column + row) % columnCount) + row] = m_state[4 * column + row];
    std::memcpy(m_state, shifted, blockLengthBytes);
}

void QAESEncryption::mixColumns()
{
    for (int column = 0; column < columnCount; ++column) {
        uint8_t *c = m_state + 4 * column;
        const uint8_t a0 = c[0], a1 = c[1], a2 = c[2], a3 = c[3];
        c[0] = multiply(a0, 2) ^ multiply(a1, 3) ^ a2 ^ a3;
        c[1] = a0 ^ multiply(a1, 2) ^ multiply(a2, 3) ^ a3;
        c[2] = a0 ^ a1 ^ multiply(a2, 2) ^ multiply(a3, 3);
        c[3] = multiply(a0, 3) ^ a1 ^ a2 ^ multiply(a3, 2);
    }
}

void QAESEncryption::invMixColumns()
{
    for (int column = 0; column < columnCount; ++column) {
        uint8_t *c = m_state + 4 * column;
        const uint8_t a0 = c[0], a1 = c[1], a2 = c[2], a3 = c[3];
        c[0] = multiply(a0, 0x0e) ^ multiply(a1, 0x0b) ^ multiply(a2, 0x0d) ^ multiply(a3, 0x09);
        c[1] = multiply(a0, 0x09) ^ multiply(a1, 0x0e) ^ multiply(a2, 0x0b) ^ multiply(a3, 0x0d);
        c[2] = multiply(a0, 0x0d) ^ multiply(a1, 0x09) ^ multiply(a2, 0x0e) ^ multiply(a3, 0x0b);
        c[3] = multiply(a0, 0x0b) ^ multiply(a1, 0x0d) ^ multiply(a2, 0x09) ^ multiply(a3, 0x0e);
    }
}

void QAESEncryption::cipher(uint8_t *block)
{
    m_state = block;
    addRoundKey(0);
    for (int round = 1; round < m_rounds; ++round) {
        subBytes();
        shiftRows();
        mixColumns();
        addRoundKey(round);
    }
    subBytes();
    shiftRows();
    addRoundKey(m_rounds);
    m_state = nullptr;
}

void QAESEncryption::invCipher(uint8_t *block)
{
    m_state = block;
    addRoundKey(m_rounds);
    for (int round = m_rounds - 1; round > 0; --round) {
        invShiftRows();
        invSubBytes();
        addRoundKey(round);
        invMixColumns();
    }
    invShiftRows();
    invSubBytes();
    addRoundKey(0);
    m_state = nullptr;
}

QByteArray QAESEncryption::byteXor(const QByteArray &first, const QByteArray &second)
{
    const int length = qMin(first.size(), second.size());
    QByteArray result(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        result[i] = static_cast<char>(first.at(i) ^ second.at(i));
    return result;
}

QByteArray QAESEncryption::decrypt(const QByteArray &ciphertext, const QByteArray &key,
                                   const QByteArray &iv)
{
    if (m_mode != Ecb && iv.size() != blockLengthBytes)
        return QByteArray();
    // A key of the wrong length would make the expansion read past its end.
    if (key.size() != m_keyLengthBytes)
        return QByteArray();
    // A trailing partial block has no defined meaning in the block modes.
    if ((m_mode == Ecb || m_mode == Cbc) && ciphertext.size() % blockLengthBytes != 0)
        return QByteArray();

    keyExpansion(key);

    QByteArray output;
    output.reserve(ciphertext.size());

    switch (m_mode) {
    case Ecb:
    case Cbc: {
        QByteArray previous = iv;
        for (int offset = 0; offset < ciphertext.size(); offset += blockLengthBytes) {
            const QByteArray cipherBlock = ciphertext.mid(offset, blockLengthBytes);
            QByteArray block = cipherBlock;
            invCipher(reinterpret_cast<uint8_t *>(block.data()));
            if (m_mode == Cbc) {
                block = byteXor(block, previous);
                previous = cipherBlock;
            }
            output.append(block);
        }
        break;
    }
    case Cfb: {
        QByteArray feedback = iv;
        for (int offset = 0; offset < ciphertext.size(); offset += blockLengthBytes) {
            cipher(reinterpret_cast<uint8_t *>(feedback.data()));
            const QByteArray cipherBlock = ciphertext.mid(offset, blockLengthBytes);
            output.append(byteXor(feedback, cipherBlock));
            feedback = cipherBlock;
        }
        break;
    }
    case Ofb: {
        QByteArray keyStream;
        keyStream.reserve(ciphertext.size() + blockLengthBytes);
        QByteArray block = iv;
        while (keyStream.size() < ciphertext.size()) {
            cipher(reinterpret_cast<uint8_t *>(block.data()));
            keyStream.append(block);
        }
        output = byteXor(ciphertext, keyStream);
        break;
    }
    }
    return output;
}

QByteArray QAESEncryption::stripPadding(const QByteArray &data, PaddingScheme padding)
{
    if (data.isEmpty())
        return data;

    switch (padding) {
    case Zero: {
        int length = data.size();
        while (length > 0 && data.at(length - 1) == '\0')
            --length;
        return data.left(length);
    }
    case Pkcs7: {
        // Read as a signed byte, so 0x80..0xFF never count as a padding length.
        const int padLength = static_cast<qint8>(data.at(data.size() - 1));
        if (padLength >= 1 && padLength <= data.size())
            return data.left(data.size() - padLength);
        return data;
    }
    case Iso: {
        int last = data.size() - 1;
        while (last >= 0 && data.at(last) == '\0')
            --last;
        if (last >= 0 && static_cast<uint8_t>(data.at(last)) == 0x80)
            return data.left(last);
        return data;
    }
    }
    return data;
}
