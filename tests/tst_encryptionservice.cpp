// SPDX-License-Identifier: MIT
#include "logcapture.h"
#include "stderrcapture.h"

#include <zendra/encryptionservice.h>

#include <QRegularExpression>
#include <QTest>

#include <cstdlib>
#include <memory>

using zendra::EncryptionService;

namespace {

// NIST SP 800-38A, F.1.1 (ECB-AES128) and F.2.1 (CBC-AES128).
const QByteArray nistKey = QByteArray::fromHex("2b7e151628aed2a6abf7158809cf4f3c");
const QByteArray nistIv = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
const QByteArray nistPlain = QByteArray::fromHex("6bc1bee22e409f96e93d7e117393172a"
                                                 "ae2d8a571e03ac9c9eb76fac45af8e51"
                                                 "30c81c46a35ce411e5fbc1191a0a52ef"
                                                 "f69f2445df4f9b17ad2b417be66c3710");
const QByteArray nistEcbCipher = QByteArray::fromHex("3ad77bb40d7a3660a89ecaf32466ef97"
                                                     "f5d3d58503b9699de785895a96fdbaaf"
                                                     "43b1cd7f598ece23881b00e3ed030688"
                                                     "7b0c785e27e8ad3f8223207104725dd4");
const QByteArray nistCbcCipher = QByteArray::fromHex("7649abac8119b246cee98e9b12e9197d"
                                                     "5086cb9b507219ee95db113a917678b2"
                                                     "73bed6b8e3c1743b7116e69e22229516"
                                                     "3ff1caa1681fac09120eca307586e1a7");

const QByteArray keyA = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
const QByteArray keyB = QByteArray::fromHex("f0e1d2c3b4a5968778695a4b3c2d1e0f");
const QByteArray ivA = QByteArray::fromHex("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
const QByteArray ivB = QByteArray::fromHex("5f5e5d5c5b5a59585756555453525150");

const QString keyWarningCbc = QStringLiteral("ERROR, key length must be 16bytes for AES_128_CBC");
const QString ivWarningCbc = QStringLiteral("ERROR, IV length must be 16bytes for AES_128_CBC");
const QString keyWarningEcb = QStringLiteral("ERROR, key length must be 16bytes for AES_128_ECB");

QByteArray sample(int length)
{
    QByteArray data(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        data[i] = char(i * 7 + 3);
    return data;
}

// What the service's generator must produce after srand(seed): byte i is the i-th rand() % 256.
QByteArray randBytes(unsigned seed, int count)
{
    std::srand(seed);
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(char(std::rand() % 256));
    std::srand(seed);
    return bytes;
}

// The error count of the self-test's summary line, or -1 when @p line is no summary.
int summaryErrors(const QString &line)
{
    static const QRegularExpression pattern(
        QStringLiteral("^FINISHED AES test in \\d+ ms with (\\d+) error\\(s\\)$"));
    const QRegularExpressionMatch match = pattern.match(line);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

QStringList mismatchBlock(int length, const QByteArray &plain)
{
    return {QStringLiteral("\"AES Error while encrypting a %1 length data\"").arg(length),
        QStringLiteral("Plain data =  ") + QString::fromLatin1(plain.toHex()),
        QStringLiteral("Encoded data =  "), QStringLiteral("Decoded data =  ")};
}

} // namespace

class TestEncryptionService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void encryptionMatchesNistVectors_data();
    void encryptionMatchesNistVectors();
    void decryptionRecoversNistPlaintext_data();
    void decryptionRecoversNistPlaintext();
    void paddingAlwaysAddsOneToSixteenBytes_data();
    void paddingAlwaysAddsOneToSixteenBytes();
    void paddingIsPkcs7();
    void ecbEncryptsEqualBlocksEqually();

    void initRefusesBadKeyAndStoresNothing_data();
    void initRefusesBadKeyAndStoresNothing();
    void initCbcWithBadIvKeepsNewKeyAndOldIv();
    void initCbcWithEmptyIvKeepsRegisteredIv();
    void initEcbReplacesTheKeyOfCbcButNotTheIv();
    void cbcIvArgumentIsStoredForLaterCalls();
    void idsAreCaseSensitive();

    void malformedCiphertextFailsWithOpenSslReport_data();
    void malformedCiphertextFailsWithOpenSslReport();
    void missingOrBadKeyMaterialFailsSilently_data();
    void missingOrBadKeyMaterialFailsSilently();

    void usePendingKeyInstallsItAndKeepsItPending();
    void usePendingKeyWithShortKeyKeepsWorkingKey();
    void usePendingKeyWithoutPendingKeyStagesAnEmptyOne();
    void resetPendingKeyKeepsWorkingKey();
    void randomIvsComeFromTheCGenerator();

    void selfTestPassesWithValidKeys_data();
    void selfTestPassesWithValidKeys();
    void selfTestWithNothingToCheckReportsZeroErrors_data();
    void selfTestWithNothingToCheckReportsZeroErrors();
    void selfTestLogsEachMismatchWithItsData();
    void selfTestCountsEveryFailingCheck();
    void selfTestNeverCountsLengthZero();

private:
    std::unique_ptr<EncryptionService> m_service;
};

void TestEncryptionService::init()
{
    m_service = std::make_unique<EncryptionService>();
}

void TestEncryptionService::cleanup()
{
    m_service.reset();
}

void TestEncryptionService::encryptionMatchesNistVectors_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("cipher");
    QTest::newRow("F.1.1 ECB-AES128") << int(EncryptionService::ECB) << nistEcbCipher;
    QTest::newRow("F.2.1 CBC-AES128") << int(EncryptionService::CBC) << nistCbcCipher;
}

void TestEncryptionService::encryptionMatchesNistVectors()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, cipher);
    QVERIFY(m_service->init_CBC(QStringLiteral("nist"), nistKey, nistIv));

    const QByteArray encrypted = mode == EncryptionService::CBC
        ? m_service->encryptAES_CBC(QStringLiteral("nist"), nistPlain, QByteArray())
        : m_service->encryptAES_ECB(QStringLiteral("nist"), nistPlain);

    // The vectors have no padding; ours ends in one extra block of it.
    QCOMPARE(encrypted.size(), 80);
    QCOMPARE(encrypted.left(64).toHex(), cipher.toHex());
}

void TestEncryptionService::decryptionRecoversNistPlaintext_data()
{
    encryptionMatchesNistVectors_data();
}

void TestEncryptionService::decryptionRecoversNistPlaintext()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, cipher);
    QVERIFY(m_service->init_ECB(QStringLiteral("nist"), nistKey));

    // Decryption wants a padded message: the block that encrypts 16 bytes of 0x10 after the
    // last vector block is the encryption of nothing, chained on that block in CBC.
    QByteArray decrypted;
    if (mode == EncryptionService::CBC) {
        const QByteArray padding
            = m_service->encryptAES_CBC(QStringLiteral("nist"), QByteArray(), cipher.right(16));
        QCOMPARE(padding.size(), 16);
        decrypted = m_service->decryptAES_CBC(QStringLiteral("nist"), cipher + padding, nistIv);
    } else {
        const QByteArray padding = m_service->encryptAES_ECB(QStringLiteral("nist"), QByteArray());
        QCOMPARE(padding.size(), 16);
        decrypted = m_service->decryptAES_ECB(QStringLiteral("nist"), cipher + padding);
    }
    QCOMPARE(decrypted.toHex(), nistPlain.toHex());
}

void TestEncryptionService::paddingAlwaysAddsOneToSixteenBytes_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("cipherLength");
    const struct
    {
        int length;
        int cipherLength;
    } cases[] = {{0, 16}, {1, 16}, {15, 16}, {16, 32}, {17, 32}, {31, 32}, {32, 48}, {1000, 1008}};
    for (int mode : {int(EncryptionService::CBC), int(EncryptionService::ECB)}) {
        for (const auto &c : cases) {
            QTest::addRow("%s %d", mode == EncryptionService::CBC ? "CBC" : "ECB", c.length)
                << mode << c.length << c.cipherLength;
        }
    }
}

void TestEncryptionService::paddingAlwaysAddsOneToSixteenBytes()
{
    QFETCH(int, mode);
    QFETCH(int, length);
    QFETCH(int, cipherLength);
    QVERIFY(m_service->init_CBC(QStringLiteral("p"), keyA, ivA));
    const QByteArray plain = sample(length);

    QByteArray encrypted;
    QByteArray decrypted;
    if (mode == EncryptionService::CBC) {
        encrypted = m_service->encryptAES_CBC(QStringLiteral("p"), plain, QByteArray());
        decrypted = m_service->decryptAES_CBC(QStringLiteral("p"), encrypted, QByteArray());
    } else {
        encrypted = m_service->encryptAES_ECB(QStringLiteral("p"), plain);
        decrypted = m_service->decryptAES_ECB(QStringLiteral("p"), encrypted);
    }
    QCOMPARE(encrypted.size(), cipherLength);
    QCOMPARE(decrypted, plain);
}

void TestEncryptionService::paddingIsPkcs7()
{
    QVERIFY(m_service->init_ECB(QStringLiteral("p"), keyA));
    // Under ECB, n bytes padded by hand to a full block encrypt to exactly that first block.
    for (int n = 0; n < 16; ++n) {
        const QByteArray plain = sample(n);
        const QByteArray padded = plain + QByteArray(16 - n, char(16 - n));
        const QByteArray encrypted = m_service->encryptAES_ECB(QStringLiteral("p"), plain);
        QCOMPARE(encrypted.size(), 16);
        QCOMPARE(m_service->encryptAES_ECB(QStringLiteral("p"), padded).left(16), encrypted);
    }
}

void TestEncryptionService::ecbEncryptsEqualBlocksEqually()
{
    QVERIFY(m_service->init_CBC(QStringLiteral("e"), keyA, ivA));
    const QByteArray block = sample(16);
    const QByteArray ecb = m_service->encryptAES_ECB(QStringLiteral("e"), block + block);
    QCOMPARE(ecb.mid(0, 16), ecb.mid(16, 16));
    const QByteArray cbc
        = m_service->encryptAES_CBC(QStringLiteral("e"), block + block, QByteArray());
    QVERIFY(cbc.mid(0, 16) != cbc.mid(16, 16));
}

void TestEncryptionService::initRefusesBadKeyAndStoresNothing_data()
{
    QTest::addColumn<bool>("cbc");
    QTest::addColumn<QByteArray>("badKey");
    QTest::newRow("CBC, 15 bytes") << true << keyB.left(15);
    QTest::newRow("CBC, 17 bytes") << true << keyB + "x";
    QTest::newRow("CBC, empty") << true << QByteArray();
    QTest::newRow("ECB, 8 bytes") << false << keyB.left(8);
    QTest::newRow("ECB, empty") << false << QByteArray();
}

void TestEncryptionService::initRefusesBadKeyAndStoresNothing()
{
    QFETCH(bool, cbc);
    QFETCH(QByteArray, badKey);
    QVERIFY(m_service->init_CBC(QStringLiteral("k"), keyA, ivA));
    const QByteArray before = m_service->encryptAES_CBC(QStringLiteral("k"), sample(40), {});

    LogCapture log;
    const bool stored = cbc ? m_service->init_CBC(QStringLiteral("k"), badKey, ivB)
                            : m_service->init_ECB(QStringLiteral("k"), badKey);
    const bool storedFresh = cbc ? m_service->init_CBC(QStringLiteral("fresh"), badKey, ivB)
                                 : m_service->init_ECB(QStringLiteral("fresh"), badKey);
    QVERIFY(!stored);
    QVERIFY(!storedFresh);
    const QString warning = cbc ? keyWarningCbc : keyWarningEcb;
    QCOMPARE(log.messages(), QStringList({warning, warning}));

    // Neither the key nor (for CBC) the IV changed.
    QCOMPARE(m_service->encryptAES_CBC(QStringLiteral("k"), sample(40), {}), before);
    QVERIFY(m_service->encryptAES_ECB(QStringLiteral("fresh"), sample(40)).isEmpty());
}

void TestEncryptionService::initCbcWithBadIvKeepsNewKeyAndOldIv()
{
    QVERIFY(m_service->init_CBC(QStringLiteral("k"), keyA, ivA));
    QVERIFY(m_service->init_CBC(QStringLiteral("ref"), keyB, ivA));

    LogCapture log;
    QVERIFY(!m_service->init_CBC(QStringLiteral("k"), keyB, ivB.left(8)));
    QCOMPARE(log.messages(), QStringList({ivWarningCbc}));

    const QByteArray data = sample(50);
    QCOMPARE(m_service->encryptAES_CBC(QStringLiteral("k"), data, {}),
        m_service->encryptAES_CBC(QStringLiteral("ref"), data, {}));
}

void TestEncryptionService::initCbcWithEmptyIvKeepsRegisteredIv()
{
    QVERIFY(m_service->init_CBC(QStringLiteral("k"), keyA, ivB));
    LogCapture log;
    QVERIFY(m_service->init_CBC(QStringLiteral("k"), keyA, QByteArray()));
    QVERIFY(log.messages().isEmpty());

    QVERIFY(m_service->init_CBC(QStringLiteral("ref"), keyA, ivB));
    const QByteArray data = sample(33);
    QCOMPARE(m_service->encryptAES_CBC(QStringLiteral("k"), data, {}),
        m_service->encryptAES_CBC(QStringLiteral("ref"), data, {}));
}

void TestEncryptionService::initEcbReplacesTheKeyOfCbcButNotTheIv()
{
    QVERIFY(m_service->init_CBC(QStringLiteral("k"), keyA, ivA));
    QVERIFY(m_service->init_ECB(QStringLiteral("k"), keyB));
    QVERIFY(m_service->init_CBC(QStringLiteral("ref"), keyB, ivA));

    const QByteArray data = sample(64);
    QCOMPARE(m_service->encryptAES_CBC(QStringLiteral("k"), data, {}),
        m_service->encryptAES_CBC(QStringLiteral("ref"), data, {}));
    QCOMPARE(m_service->encryptAES_ECB(QStringLiteral("k"), data),
        m_service->encryptAES_ECB(QStringLiteral("ref"), data));
}

void TestEncryptionService::cbcIvArgumentIsStoredForLaterCalls()
{
    QVERIFY(m_service->init_CBC(QStringLiteral("k"), keyA, ivA));
    const QByteArray data = sample(45);

    const QByteArray encrypted = m_service->encryptAES_CBC(QStringLiteral("k"), data, ivB);
    QCOMPARE(m_service->decryptAES_CBC(QStringLiteral("k"), encrypted, {}), data);
    QCOMPARE(m_service->encryptAES_CBC(QStringLiteral("k"), data, {}), encrypted);

    // The decrypt form stores its IV too.
    const QByteArray underA = m_service->encryptAES_CBC(QStringLiteral("k"), data, ivA);
    QCOMPARE(m_service->decryptAES_CBC(QStringLiteral("k"), encrypted, ivB), data);
    QCOMPARE(m_service->encryptAES_CBC(QStringLiteral("k"), data, {}), encrypted);
    QVERIFY(underA != encrypted);
}

void TestEncryptionService::idsAreCaseSensitive()
{
    QVERIFY(m_service->init_CBC(QStringLiteral("Id"), keyA, ivA));
    QVERIFY(m_service->init_CBC(QStringLiteral("id"), keyB, ivB));
    const QByteArray data = sample(16);
    QVERIFY(m_service->encryptAES_ECB(QStringLiteral("Id"), data)
        != m_service->encryptAES_ECB(QStringLiteral("id"), data));
    QVERIFY(m_service->encryptAES_ECB(QStringLiteral("ID"), data).isEmpty());
}

void TestEncryptionService::malformedCiphertextFailsWithOpenSslReport_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("cipher");
    QTest::addColumn<QByteArray>("reason");

    EncryptionService other;
    other.init_CBC(QStringLiteral("b"), keyB, ivA);
    // Fixed data whose last block decrypts to invalid padding under key A.
    const QByteArray underKeyB = sample(40);
    const QByteArray cbcUnderB = other.encryptAES_CBC(QStringLiteral("b"), underKeyB, {});
    const QByteArray ecbUnderB = other.encryptAES_ECB(QStringLiteral("b"), underKeyB);

    for (int mode : {int(EncryptionService::CBC), int(EncryptionService::ECB)}) {
        const char *name = mode == EncryptionService::CBC ? "CBC" : "ECB";
        QTest::addRow("%s empty", name)
            << mode << QByteArray() << QByteArray("wrong final block length");
        QTest::addRow("%s 15 bytes", name)
            << mode << sample(15) << QByteArray("wrong final block length");
        QTest::addRow("%s 33 bytes", name)
            << mode << sample(33) << QByteArray("wrong final block length");
        QTest::addRow("%s wrong key", name)
            << mode << (mode == EncryptionService::CBC ? cbcUnderB : ecbUnderB)
            << QByteArray("bad decrypt");
    }
}

void TestEncryptionService::malformedCiphertextFailsWithOpenSslReport()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, cipher);
    QFETCH(QByteArray, reason);
    QVERIFY(m_service->init_CBC(QStringLiteral("a"), keyA, ivA));

    LogCapture log;
    QByteArray result("sentinel");
    QByteArray report;
    {
        StderrCapture err;
        result = mode == EncryptionService::CBC
            ? m_service->decryptAES_CBC(QStringLiteral("a"), cipher, {})
            : m_service->decryptAES_ECB(QStringLiteral("a"), cipher);
        report = err.text();
    }
    QVERIFY(result.isEmpty());
    QVERIFY2(report.contains(":error:") && report.contains(reason), report.constData());
    // OpenSSL's queue was emptied by the report: the next failure prints only its own errors.
    QCOMPARE(report.count('\n'), 1);
    QVERIFY(log.messages().isEmpty());
}

void TestEncryptionService::missingOrBadKeyMaterialFailsSilently_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QByteArray>("ivArgument");
    QTest::addColumn<bool>("cbc");
    QTest::newRow("ECB, unknown id") << QStringLiteral("nobody") << QByteArray() << false;
    QTest::newRow("CBC, unknown id") << QStringLiteral("nobody") << QByteArray() << true;
    QTest::newRow("CBC, unknown id with IV") << QStringLiteral("nobody") << ivA << true;
    QTest::newRow("CBC, key without IV") << QStringLiteral("keyOnly") << QByteArray() << true;
    QTest::newRow("CBC, 8-byte IV argument") << QStringLiteral("full") << ivB.left(8) << true;
    QTest::newRow("CBC, 17-byte IV argument") << QStringLiteral("full") << ivB + "!" << true;
}

void TestEncryptionService::missingOrBadKeyMaterialFailsSilently()
{
    QFETCH(QString, id);
    QFETCH(QByteArray, ivArgument);
    QFETCH(bool, cbc);
    QVERIFY(m_service->init_ECB(QStringLiteral("keyOnly"), keyA));
    QVERIFY(m_service->init_CBC(QStringLiteral("full"), keyA, ivA));
    const QByteArray data = sample(48);

    LogCapture log;
    QByteArray report;
    {
        StderrCapture err;
        if (cbc) {
            QVERIFY(m_service->encryptAES_CBC(id, data, ivArgument).isEmpty());
            QVERIFY(m_service->decryptAES_CBC(id, data, ivArgument).isEmpty());
        } else {
            QVERIFY(m_service->encryptAES_ECB(id, data).isEmpty());
            QVERIFY(m_service->decryptAES_ECB(id, data).isEmpty());
        }
        report = err.text();
    }
    QCOMPARE(report, QByteArray());
    QVERIFY(log.messages().isEmpty());

    // A bad IV argument is stored all the same, so it spoils later calls until replaced.
    if (ivArgument.size() != 16 && !ivArgument.isEmpty()) {
        QVERIFY(m_service->encryptAES_CBC(id, data, {}).isEmpty());
        QVERIFY(m_service->init_CBC(id, keyA, ivA));
        QCOMPARE(m_service->decryptAES_CBC(id, m_service->encryptAES_CBC(id, data, {}), {}), data);
    }
}

void TestEncryptionService::usePendingKeyInstallsItAndKeepsItPending()
{
    QVERIFY(m_service->init_CBC(QStringLiteral("k"), keyA, ivA));
    QVERIFY(m_service->init_CBC(QStringLiteral("ref"), keyB, ivA));
    const QByteArray data = sample(30);
    const QByteArray underA = m_service->encryptAES_ECB(QStringLiteral("k"), data);

    QVERIFY(!m_service->hasPendingKey(QStringLiteral("k")));
    m_service->setPendingKey(QStringLiteral("k"), keyB);
    QVERIFY(m_service->hasPendingKey(QStringLiteral("k")));
    QVERIFY(!m_service->hasPendingKey(QStringLiteral("K")));
    // Staged only: the working key is still A.
    QCOMPARE(m_service->encryptAES_ECB(QStringLiteral("k"), data), underA);

    LogCapture log;
    QCOMPARE(m_service->usePendingKey(QStringLiteral("k")), keyB);
    QVERIFY(log.messages().isEmpty());
    QVERIFY(m_service->hasPendingKey(QStringLiteral("k")));
    QCOMPARE(m_service->encryptAES_ECB(QStringLiteral("k"), data),
        m_service->encryptAES_ECB(QStringLiteral("ref"), data));
    QCOMPARE(m_service->encryptAES_CBC(QStringLiteral("k"), data, {}),
        m_service->encryptAES_CBC(QStringLiteral("ref"), data, {}));
}

void TestEncryptionService::usePendingKeyWithShortKeyKeepsWorkingKey()
{
    QVERIFY(m_service->init_ECB(QStringLiteral("k"), keyA));
    const QByteArray underA = m_service->encryptAES_ECB(QStringLiteral("k"), sample(30));
    const QByteArray shortKey = keyB.left(10);
    m_service->setPendingKey(QStringLiteral("k"), shortKey);

    LogCapture log;
    QCOMPARE(m_service->usePendingKey(QStringLiteral("k")), shortKey);
    QCOMPARE(log.messages(QtWarningMsg), QStringList({keyWarningEcb}));
    QCOMPARE(m_service->encryptAES_ECB(QStringLiteral("k"), sample(30)), underA);
}

void TestEncryptionService::usePendingKeyWithoutPendingKeyStagesAnEmptyOne()
{
    LogCapture log;
    QCOMPARE(m_service->usePendingKey(QStringLiteral("none")), QByteArray());
    QCOMPARE(log.messages(), QStringList({keyWarningEcb}));
    QVERIFY(m_service->hasPendingKey(QStringLiteral("none")));
    QVERIFY(m_service->encryptAES_ECB(QStringLiteral("none"), sample(5)).isEmpty());

    m_service->setPendingKey(QStringLiteral("empty"), QByteArray());
    QVERIFY(m_service->hasPendingKey(QStringLiteral("empty")));
}

void TestEncryptionService::resetPendingKeyKeepsWorkingKey()
{
    QVERIFY(m_service->init_ECB(QStringLiteral("ref"), keyB));
    m_service->setPendingKey(QStringLiteral("k"), keyB);
    m_service->usePendingKey(QStringLiteral("k"));
    m_service->resetPendingKey(QStringLiteral("k"));
    m_service->resetPendingKey(QStringLiteral("never staged"));
    QVERIFY(!m_service->hasPendingKey(QStringLiteral("k")));
    QCOMPARE(m_service->encryptAES_ECB(QStringLiteral("k"), sample(17)),
        m_service->encryptAES_ECB(QStringLiteral("ref"), sample(17)));
}

void TestEncryptionService::randomIvsComeFromTheCGenerator()
{
    const QByteArray expected = randBytes(1234, 32);

    // No key is needed for an IV.
    const QByteArray first = m_service->setRandomIV(QStringLiteral("r"));
    const QByteArray second = m_service->setRandomIV(QStringLiteral("r"));
    QCOMPARE(first.toHex(), expected.left(16).toHex());
    QCOMPARE(second.toHex(), expected.mid(16).toHex());
    QVERIFY(first != second);

    // The second one is registered.
    QVERIFY(m_service->init_CBC(QStringLiteral("r"), keyA, QByteArray()));
    QVERIFY(m_service->init_CBC(QStringLiteral("ref"), keyA, second));
    QCOMPARE(m_service->encryptAES_CBC(QStringLiteral("r"), sample(20), {}),
        m_service->encryptAES_CBC(QStringLiteral("ref"), sample(20), {}));
}

void TestEncryptionService::selfTestPassesWithValidKeys_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("randomIv");
    QTest::newRow("CBC") << int(EncryptionService::CBC) << false;
    QTest::newRow("CBC, random IV") << int(EncryptionService::CBC) << true;
    QTest::newRow("ECB") << int(EncryptionService::ECB) << false;
    QTest::newRow("any other mode runs ECB") << 7 << false;
}

void TestEncryptionService::selfTestPassesWithValidKeys()
{
    QFETCH(int, mode);
    QFETCH(bool, randomIv);
    // Mode 7 is run against an id without IV, where CBC could not pass.
    if (mode == 7)
        QVERIFY(m_service->init_ECB(QStringLiteral("t"), keyA));
    else
        QVERIFY(m_service->init_CBC(QStringLiteral("t"), keyA, ivA));
    if (randomIv)
        m_service->setRandomIV(QStringLiteral("t"));
    const QByteArray data = sample(77);
    const QByteArray before = mode == EncryptionService::CBC
        ? m_service->encryptAES_CBC(QStringLiteral("t"), data, {})
        : m_service->encryptAES_ECB(QStringLiteral("t"), data);

    LogCapture log;
    m_service->performTest(QStringLiteral("t"), EncryptionService::CipherMode(mode), 0, 101, 1);

    const QList<LogCapture::Entry> entries = log.entries();
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[0].type, QtDebugMsg);
    QCOMPARE(entries[0].message, QStringLiteral("START AES test"));
    QCOMPARE(entries[1].type, QtDebugMsg);
    QCOMPARE(summaryErrors(entries[1].message), 0);

    // The test leaves the registries as they were.
    QCOMPARE(mode == EncryptionService::CBC
            ? m_service->encryptAES_CBC(QStringLiteral("t"), data, {})
            : m_service->encryptAES_ECB(QStringLiteral("t"), data),
        before);
}

void TestEncryptionService::selfTestWithNothingToCheckReportsZeroErrors_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<int>("passes");
    QTest::newRow("no pass") << 1 << 50 << 0;
    QTest::newRow("negative passes") << 1 << 50 << -2;
    QTest::newRow("empty range") << 20 << 20 << 3;
    QTest::newRow("reversed range") << 30 << 10 << 3;
}

void TestEncryptionService::selfTestWithNothingToCheckReportsZeroErrors()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(int, passes);
    // An id with nothing registered would fail every real check.
    LogCapture log;
    m_service->performTest(QStringLiteral("nothing"), EncryptionService::CBC, from, to, passes);
    const QStringList lines = log.messages();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QStringLiteral("START AES test"));
    QCOMPARE(summaryErrors(lines[1]), 0);
}

void TestEncryptionService::selfTestLogsEachMismatchWithItsData()
{
    // A key without IV: CBC fails every check with empty results.
    QVERIFY(m_service->init_ECB(QStringLiteral("ecbOnly"), keyA));
    const QByteArray random = randBytes(99, 21);

    LogCapture log;
    m_service->performTest(QStringLiteral("ecbOnly"), EncryptionService::CBC, 10, 12, 1);

    const QList<LogCapture::Entry> entries = log.entries();
    QCOMPARE(entries.size(), 10);
    QCOMPARE(entries.first().message, QStringLiteral("START AES test"));
    QCOMPARE(summaryErrors(entries.last().message), 2);
    QStringList warnings;
    for (const LogCapture::Entry &entry : entries.mid(1, 8)) {
        QCOMPARE(entry.type, QtWarningMsg);
        warnings.append(entry.message);
    }
    QCOMPARE(warnings, mismatchBlock(10, random.left(10)) + mismatchBlock(11, random.mid(10)));
}

void TestEncryptionService::selfTestCountsEveryFailingCheck()
{
    QVERIFY(m_service->init_ECB(QStringLiteral("ecbOnly"), keyA));
    LogCapture log;
    m_service->performTest(QStringLiteral("ecbOnly"), EncryptionService::CBC, 10, 20, 3);

    const QStringList debug = log.messages(QtDebugMsg);
    QCOMPARE(debug.size(), 2);
    QCOMPARE(summaryErrors(debug.last()), 30);
    const QStringList warnings = log.messages(QtWarningMsg);
    QCOMPARE(warnings.size(), 120);
    for (int check = 0; check < 30; ++check) {
        QCOMPARE(warnings[check * 4],
            QStringLiteral("\"AES Error while encrypting a %1 length data\"").arg(10 + check % 10));
    }
}

void TestEncryptionService::selfTestNeverCountsLengthZero()
{
    LogCapture log;
    m_service->performTest(QStringLiteral("nothing"), EncryptionService::ECB, 0, 1, 5);
    QCOMPARE(summaryErrors(log.messages().last()), 0);
    m_service->performTest(QStringLiteral("nothing"), EncryptionService::ECB, 0, 2, 5);
    QCOMPARE(summaryErrors(log.messages().last()), 5);
}

QTEST_GUILESS_MAIN(TestEncryptionService)
#include "tst_encryptionservice.moc"
