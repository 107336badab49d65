// SPDX-License-Identifier: MIT
// AES-128 CBC and ECB on whole byte arrays through OpenSSL's EVP interface.
#include "encryptionservice.h"

#include "zendralogging_p.h"

#include <QDebug>
#include <QElapsedTimer>

#include <openssl/err.h>
#include <openssl/evp.h>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

#include <climits>
#include <cstdlib>
#include <memory>

template class Service<zendra::EncryptionService>;

namespace zendra {

EncryptionService *EncryptionService::m_instance = nullptr;

namespace {

constexpr int aesBlockSize = 16;
// Room for the padding block that Final may add (or that Update holds back when decrypting).
constexpr int outputSlack = 32;

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext newContext()
{
    return CipherContext(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
}

// The registered key or IV of @p id, or null when it is missing or not 16 bytes long: OpenSSL
// would read past the end of a shorter one. Found in place, since copying costs per call.
const unsigned char *block(const QHash<QString, QByteArray> &registry, const QString &id)
{
    const auto found = registry.constFind(id);
    if (found == registry.cend() || found->size() != aesBlockSize)
        return nullptr;
    return reinterpret_cast<const unsigned char *>(found->constData());
}

// Lengths reach OpenSSL as int, with room for the padding.
bool usableLength(const QByteArray &data)
{
    return data.size() <= INT_MAX - outputSlack;
}

// Left uninitialised: OpenSSL overwrites every byte that is kept and the rest is cut off.
QByteArray outputFor(const QByteArray &data)
{
    return QByteArray(data.size() + outputSlack, Qt::Uninitialized);
}

unsigned char *bytes(QByteArray &array)
{
    return reinterpret_cast<unsigned char *>(array.data());
}

const unsigned char *bytes(const QByteArray &array)
{
    return reinterpret_cast<const unsigned char *>(array.constData());
}

// Qt's string hash (used by the registry lookups) may leave the upper halves of the AVX
// registers dirty, and OpenSSL's SSE-encoded AES loops then run about 15 % slower on large
// buffers. Clearing them costs a few cycles.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
__attribute__((target("avx"))) void zeroUpperAvx()
{
    _mm256_zeroupper();
}

void clearUpperVectorState()
{
    static const bool hasAvx = __builtin_cpu_supports("avx");
    if (hasAvx)
        zeroUpperAvx();
}
#else
void clearUpperVectorState() { }
#endif

enum class Direction { Encrypt, Decrypt };

// Given the built-in EVP_aes_128_*() objects, OpenSSL 3 looks the cipher up in its providers on
// every init, which costs more than encrypting a short message. Fetched once, the look-up is paid
// once per process. The fetched ciphers are kept until exit and never freed, because OpenSSL's
// own clean-up at exit may already have run by then.
const EVP_CIPHER *aes128Cbc()
{
    static const EVP_CIPHER *const fetched = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    return fetched ? fetched : EVP_aes_128_cbc();
}

const EVP_CIPHER *aes128Ecb()
{
    static const EVP_CIPHER *const fetched = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    return fetched ? fetched : EVP_aes_128_ecb();
}

// One whole-buffer pass of @p cipher with PKCS#7 padding into @p output, which stays empty
// when any step fails. Key and IV lengths are checked by the caller.
bool runCipher(const EVP_CIPHER *cipher, Direction direction, const unsigned char *key,
    const unsigned char *iv, const QByteArray &data, QByteArray &output)
{
    output = outputFor(data);
    clearUpperVectorState();
    const CipherContext context = newContext();
    EVP_CIPHER_CTX *ctx = context.get();
    unsigned char *out = bytes(output);
    const int length = int(data.size());
    int written = 0;
    int finalWritten = 0;
    bool ok = ctx != nullptr;
    if (ok && direction == Direction::Encrypt) {
        ok = EVP_EncryptInit_ex(ctx, cipher, nullptr, key, iv) == 1
            && EVP_EncryptUpdate(ctx, out, &written, bytes(data), length) == 1
            && EVP_EncryptFinal_ex(ctx, out + written, &finalWritten) == 1;
    } else if (ok) {
        ok = EVP_DecryptInit_ex(ctx, cipher, nullptr, key, iv) == 1
            && EVP_DecryptUpdate(ctx, out, &written, bytes(data), length) == 1
            && EVP_DecryptFinal_ex(ctx, out + written, &finalWritten) == 1;
    }
    if (!ok) {
        output = QByteArray();
        return false;
    }
    output.truncate(written + finalWritten);
    return true;
}

// CBC in either direction, after registering a non-empty @p iv for @p id. Returns false only
// when OpenSSL failed, so that its errors get reported; an unusable key or IV is no OpenSSL call.
bool runCbc(Direction direction, const QHash<QString, QByteArray> &keys,
    QHash<QString, QByteArray> &ivs, const QString &id, const QByteArray &data,
    const QByteArray &iv, QByteArray &output)
{
    if (!iv.isEmpty())
        ivs[id] = iv;
    const unsigned char *key = block(keys, id);
    const unsigned char *storedIv = block(ivs, id);
    if (!key || !storedIv || !usableLength(data))
        return true;
    return runCipher(aes128Cbc(), direction, key, storedIv, data, output);
}

} // namespace

EncryptionService::EncryptionService() : EncryptionService(nullptr) { }

EncryptionService::EncryptionService(QObject *parent) : QObject(parent)
{
    EVP_add_cipher(EVP_aes_128_cbc());
    EVP_add_cipher(EVP_aes_128_ecb());
}

EncryptionService::~EncryptionService() = default;

bool EncryptionService::init_CBC(const QString &id, const QByteArray &key, const QByteArray &iv)
{
    if (key.size() != aesBlockSize) {
        qCWarning(lcZendraEncryption) << "ERROR, key length must be 16bytes for AES_128_CBC";
        return false;
    }
    m_keys[id] = key;
    if (iv.isEmpty())
        return true;
    if (iv.size() != aesBlockSize) {
        qCWarning(lcZendraEncryption) << "ERROR, IV length must be 16bytes for AES_128_CBC";
        return false;
    }
    m_ivs[id] = iv;
    return true;
}

bool EncryptionService::init_ECB(const QString &id, const QByteArray &key)
{
    if (key.size() != aesBlockSize) {
        qCWarning(lcZendraEncryption) << "ERROR, key length must be 16bytes for AES_128_ECB";
        return false;
    }
    m_keys[id] = key;
    return true;
}

QByteArray EncryptionService::encryptAES_CBC(
    const QString &id, const QByteArray &data, const QByteArray &iv)
{
    QByteArray output;
    if (!runCbc(Direction::Encrypt, m_keys, m_ivs, id, data, iv, output))
        printError();
    return output;
}

QByteArray EncryptionService::decryptAES_CBC(
    const QString &id, const QByteArray &data, const QByteArray &iv)
{
    QByteArray output;
    if (!runCbc(Direction::Decrypt, m_keys, m_ivs, id, data, iv, output))
        printError();
    return output;
}

QByteArray EncryptionService::encryptAES_ECB(const QString &id, const QByteArray &data) const
{
    const unsigned char *key = block(m_keys, id);
    QByteArray output;
    if (!key || !usableLength(data))
        return output;
    if (!runCipher(aes128Ecb(), Direction::Encrypt, key, nullptr, data, output))
        printError();
    return output;
}

QByteArray EncryptionService::decryptAES_ECB(const QString &id, const QByteArray &data) const
{
    const unsigned char *key = block(m_keys, id);
    QByteArray output;
    if (!key || !usableLength(data))
        return output;
    if (!runCipher(aes128Ecb(), Direction::Decrypt, key, nullptr, data, output))
        printError();
    return output;
}

bool EncryptionService::hasPendingKey(const QString &id)
{
    return m_pendingKeys.contains(id);
}

void EncryptionService::setPendingKey(const QString &id, const QByteArray &key)
{
    m_pendingKeys[id] = key;
}

QByteArray EncryptionService::usePendingKey(const QString &id)
{
    // Inserting access on purpose: asking for a missing pending key stages an empty one.
    const QByteArray key = m_pendingKeys[id];
    init_ECB(id, key);
    return key;
}

void EncryptionService::resetPendingKey(const QString &id)
{
    m_pendingKeys.remove(id);
}

QByteArray EncryptionService::setRandomIV(const QString &id)
{
    const QByteArray iv = randomData(aesBlockSize);
    m_ivs[id] = iv;
    return iv;
}

void EncryptionService::performTest(
    const QString &id, CipherMode mode, int fromLength, int toLength, int passes)
{
    qCDebug(lcZendraEncryption) << "START AES test";
    QElapsedTimer timer;
    timer.start();
    int errors = 0;
    for (int pass = 0; pass < passes; ++pass) {
        for (int length = fromLength; length < toLength; ++length)
            errors += randomTest(id, length, mode);
    }
    qCDebug(lcZendraEncryption).noquote()
        << QStringLiteral("FINISHED AES test in %1 ms with %2 error(s)")
               .arg(timer.elapsed())
               .arg(errors);
}

void EncryptionService::printError() const
{
    ERR_print_errors_fp(stderr);
}

QByteArray EncryptionService::randomData(int size)
{
    if (size < 1)
        return QByteArray();
    QByteArray data(size, Qt::Uninitialized);
    // One rand() per byte, in order, so a seeded generator gives a reproducible sequence.
    for (int i = 0; i < size; ++i)
        data[i] = char(std::rand() % 256);
    return data;
}

int EncryptionService::randomTest(QString id, int length, CipherMode mode)
{
    const QByteArray plain = randomData(length);
    QByteArray encoded;
    QByteArray decoded;
    if (mode == CBC) {
        encoded = encryptAES_CBC(id, plain, QByteArray());
        decoded = decryptAES_CBC(id, encoded, QByteArray());
    } else {
        encoded = encryptAES_ECB(id, plain);
        decoded = decryptAES_ECB(id, encoded);
    }
    if (decoded == plain)
        return 0;

    qCWarning(lcZendraEncryption)
        << QStringLiteral("AES Error while encrypting a %1 length data").arg(length);
    qCWarning(lcZendraEncryption) << "Plain data = " << plain.toHex().constData();
    qCWarning(lcZendraEncryption) << "Encoded data = " << encoded.toHex().constData();
    qCWarning(lcZendraEncryption) << "Decoded data = " << decoded.toHex().constData();
    return 1;
}

} // namespace zendra
