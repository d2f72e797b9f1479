// Firmware files from outside: the encrypted K3/M7 package (Base64 of
// AES-128-ECB with PKCS#7 padding around marker, version, image and MD5
// trailer) and the T5's raw image with the version text it is installed as.
//
// The first byte chooses what the rest is:
//   0  a package file as read from disk or the store;
//   1  the plaintext of a package, encrypted here with OpenSSL, optionally
//      wrapped into Base64 lines and with one ciphertext byte changed;
//   2  a T5 image and a version text.

#include "firmwareimagecheck.h"
#include "firmwarepackage.h"
#include "fuzzsupport.h"
#include "versiontext.h"

#include <QCryptographicHash>

#include <openssl/evp.h>

#include <cstdint>
#include <memory>

using FuzzSupport::InputReader;

namespace {
// The published key of the package format.
constexpr char packageKey[] = "Tm4&Xq!7pLz#R2wK";
constexpr int markerBytes = 10;
constexpr int headerBytes = 13;
constexpr int digestBytes = 16;

QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5);
}

// AES-128-ECB with PKCS#7 padding, as the publishing side makes packages.
QByteArray encrypt(const QByteArray &plaintext)
{
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    QByteArray ciphertext(plaintext.size() + 16, '\0');
    int written = 0;
    int finalBytes = 0;
    const auto *key = reinterpret_cast<const unsigned char *>(packageKey);
    auto *out = reinterpret_cast<unsigned char *>(ciphertext.data());
    if (!context ||
        EVP_EncryptInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, key, nullptr) != 1 ||
        EVP_EncryptUpdate(context.get(), out, &written,
                          reinterpret_cast<const unsigned char *>(plaintext.constData()),
                          plaintext.size()) != 1 ||
        EVP_EncryptFinal_ex(context.get(), out + written, &finalBytes) != 1) {
        FuzzSupport::failInvariant("OpenSSL encrypts", __FILE__, __LINE__);
    }
    ciphertext.resize(written + finalBytes);
    return ciphertext;
}

QByteArray wrapLines(const QByteArray &base64, int lineBytes, const QByteArray &lineEnd)
{
    QByteArray wrapped;
    for (int offset = 0; offset < base64.size(); offset += lineBytes)
        wrapped += base64.mid(offset, lineBytes) + lineEnd;
    return wrapped;
}

// What a decoded package must satisfy whatever the file held.
void checkDecoded(const FirmwarePackage &package, const QByteArray &fileBytes)
{
    const QByteArray &plain = package.plaintext;
    const int length = plain.size();
    // Base64 turns four characters into at most three bytes; decryption and
    // padding removal never add any.
    FUZZ_REQUIRE(length <= fileBytes.size());
    if (length < headerBytes + digestBytes) {
        FUZZ_REQUIRE(!package.digestOk);
        FUZZ_REQUIRE(package.image.isEmpty());
        return;
    }
    const bool trailerMatches = md5(plain.left(length - digestBytes)) == plain.right(digestBytes);
    FUZZ_REQUIRE(package.digestOk == trailerMatches);
    FUZZ_REQUIRE(package.marker == plain.left(markerBytes));
    FUZZ_REQUIRE(package.major == qint8(plain.at(markerBytes)));
    FUZZ_REQUIRE(package.minor == quint8(plain.at(markerBytes + 1)));
    FUZZ_REQUIRE(package.patch == quint8(plain.at(markerBytes + 2)));
    FUZZ_REQUIRE(package.image == plain.mid(headerBytes, length - headerBytes - digestBytes));
}

void fuzzPackageFile(InputReader &input)
{
    const QByteArray fileBytes = input.rest();
    checkDecoded(FirmwarePackage::decode(fileBytes), fileBytes);
}

void fuzzBuiltPackage(InputReader &input)
{
    const uint8_t options = input.byte();
    const uint32_t changedOffset = input.u32();
    const uint8_t changedBits = input.byte();
    const QByteArray covered = input.rest();
    const QByteArray plaintext = covered + md5(covered);
    QByteArray ciphertext = encrypt(plaintext);
    const bool changed = (options & 4) != 0 && changedBits != 0;
    if (changed) {
        const int offset = int(changedOffset % uint32_t(ciphertext.size()));
        ciphertext[offset] = char(ciphertext.at(offset) ^ changedBits);
    }
    QByteArray fileBytes = ciphertext.toBase64();
    if (options & 1)
        fileBytes = wrapLines(fileBytes, 64, "\n"); // as openssl enc -base64 writes
    else if (options & 2)
        fileBytes = wrapLines(fileBytes, 76, "\r\n"); // as MIME writes

    const FirmwarePackage package = FirmwarePackage::decode(fileBytes);
    checkDecoded(package, fileBytes);
    if (!changed) {
        FUZZ_REQUIRE(package.plaintext == plaintext);
        FUZZ_REQUIRE(package.digestOk == (covered.size() >= headerBytes));
        if (package.digestOk)
            FUZZ_REQUIRE(package.image == covered.mid(headerBytes));
    } else if (package.digestOk) {
        // Only a change that fell into the padding may leave the package
        // whole: then it decodes to exactly what was encrypted.
        FUZZ_REQUIRE(package.plaintext == plaintext);
    }
}

bool inRange(uint32_t value, uint32_t base, uint32_t sizeBytes)
{
    return value >= base && value - base <= sizeBytes;
}

void fuzzT5Image(InputReader &input)
{
    // An STM32F4 application starts with its vector table: the initial stack
    // pointer in SRAM (0x20000000, up to 384 KiB) or CCM RAM (0x10000000,
    // 64 KiB), then a Thumb reset handler inside the image.
    const uint32_t imageBase = input.flag() ? 0x08040000 : 0x08020000;
    const QString versionText = QString::fromUtf8(input.bytes(input.byte() % 24));
    const QByteArray image = input.rest();

    const auto verdict = FirmwareImageCheck::checkCortexMImage(image, imageBase);
    FUZZ_REQUIRE((verdict == FirmwareImageCheck::ImageVerdict::TooShort) == (image.size() < 8));
    FUZZ_REQUIRE(!FirmwareImageCheck::describe(verdict).isEmpty());
    if (verdict == FirmwareImageCheck::ImageVerdict::Plausible) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(image.constData());
        const uint32_t stack = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 |
                               uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
        const uint32_t reset = uint32_t(bytes[4]) | uint32_t(bytes[5]) << 8 |
                               uint32_t(bytes[6]) << 16 | uint32_t(bytes[7]) << 24;
        FUZZ_REQUIRE(inRange(stack, 0x20000000, 384 * 1024) || inRange(stack, 0x10000000, 65536));
        FUZZ_REQUIRE((reset & 1) == 1);
        FUZZ_REQUIRE((reset & ~1u) >= imageBase);
        FUZZ_REQUIRE(uint64_t(reset & ~1u) < uint64_t(imageBase) + uint64_t(image.size()));
    }

    // The version is shown and compared as text but installed as three
    // bytes: both readings must agree on every version that is installed.
    const auto versionBytes = FirmwareImageCheck::parseVersion(versionText);
    if (versionBytes) {
        const QString installed = QStringLiteral("%1.%2.%3")
                                      .arg((*versionBytes)[0])
                                      .arg((*versionBytes)[1])
                                      .arg((*versionBytes)[2]);
        FUZZ_REQUIRE(VersionText::compare(versionText, installed) == 0);
        FUZZ_REQUIRE(VersionText::parts(versionText).size() == 3);
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool initialised = (FuzzSupport::silenceLogging(), true);
    Q_UNUSED(initialised)
    InputReader input(data, size);
    switch (input.byte() % 3) {
    case 0:
        fuzzPackageFile(input);
        break;
    case 1:
        fuzzBuiltPackage(input);
        break;
    default:
        fuzzT5Image(input);
        break;
    }
    return 0;
}
