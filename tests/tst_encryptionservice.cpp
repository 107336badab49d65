// SPDX-License-Identifier: MIT
// EncryptionService: AES-128 against the NIST vectors, its refusal of keys and IVs of wrong
// lengths, and its self-test.
#include "logcapture.h"

#include <zendra/encryptionservice.h>

#include <QRegularExpression>
#include <QTest>

#include <cstdlib>
#include <optional>

using zendra::EncryptionService;

namespace {

// NIST SP 800-38A, F.1.1 (ECB-AES128) and F.2.1 (CBC-AES128).
const QByteArray key = QByteArray::fromHex("2b7e151628aed2a6abf7158809cf4f3c");
const QByteArray iv = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
const QByteArray plain
    = QByteArray::fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                          "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
const QByteArray ecbCipher
    = QByteArray::fromHex("3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
                          "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4");
const QByteArray cbcCipher
    = QByteArray::fromHex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
                          "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
const QByteArray otherKey(16, 'k');
const QByteArray otherIv(16, 'v');
const QString keyWarning = QStringLiteral("ERROR, key length must be 16bytes for AES_128_%1");

} // namespace

class TestEncryptionService : public QObject
{
    Q_OBJECT

    std::optional<EncryptionService> m_service;
    std::optional<LogCapture> m_log;

    // Encrypts or decrypts @p data under @p id, with the registered IV in CBC.
    QByteArray cipher(bool cbc, bool encrypt, const QString &id, const QByteArray &data)
    {
        if (cbc)
            return encrypt ? m_service->encryptAES_CBC(id, data, {})
                           : m_service->decryptAES_CBC(id, data, {});
        return encrypt ? m_service->encryptAES_ECB(id, data) : m_service->decryptAES_ECB(id, data);
    }
    // Whether @p id works with key @p k and IV @p v in both modes.
    bool uses(const QString &id, const QByteArray &k, const QByteArray &v)
    {
        EncryptionService reference;
        reference.init_CBC("r", k, v);
        return cipher(true, true, id, plain) == reference.encryptAES_CBC("r", plain, {})
            && cipher(false, true, id, plain) == reference.encryptAES_ECB("r", plain);
    }

private Q_SLOTS:
    void init()
    {
        m_service.emplace();
        m_log.emplace();
    }

    void matchesTheNistVectorsAndPads_data()
    {
        QTest::addColumn<bool>("cbc");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("encryptedLength");
        for (bool cbc : {false, true}) {
            for (const auto &[length, encrypted] :
                {std::pair {64, 80}, {0, 16}, {15, 16}, {16, 32}, {17, 32}})
                QTest::addRow("%s %d", cbc ? "CBC" : "ECB", length) << cbc << length << encrypted;
        }
    }
    void matchesTheNistVectorsAndPads()
    {
        QFETCH(bool, cbc);
        QFETCH(int, length);
        QFETCH(int, encryptedLength);
        QVERIFY(m_service->init_CBC("nist", key, iv));
        const QByteArray encrypted = cipher(cbc, true, "nist", plain.left(length));
        QCOMPARE(encrypted.size(), encryptedLength);
        // The vectors have no padding; ours ends in one block of it.
        if (length == 64)
            QCOMPARE(encrypted.left(64).toHex(), (cbc ? cbcCipher : ecbCipher).toHex());
        QCOMPARE(cipher(cbc, false, "nist", encrypted), plain.left(length));
    }

    void registryKeepsValidKeysAndTheLastIvGiven()
    {
        QVERIFY(m_service->init_CBC("id", key, iv));
        QStringList expected;
        for (int length = 0; length <= 40; length += length == 15 ? 2 : 1) {
            const QByteArray wrong = plain.left(length);
            QVERIFY(!m_service->init_CBC("id", wrong, otherIv) && !m_service->init_ECB("id", wrong)
                && !m_service->init_ECB("fresh", wrong));
            expected << keyWarning.arg("CBC") << keyWarning.arg("ECB") << keyWarning.arg("ECB");
            // An IV argument of a wrong length gives an empty result.
            QVERIFY(m_service->encryptAES_CBC("wrong iv", plain, wrong).isEmpty()
                && m_service->decryptAES_CBC("wrong iv", cbcCipher, wrong).isEmpty());
        }
        QVERIFY(uses("id", key, iv) && cipher(false, true, "fresh", plain).isEmpty());
        // So does a ciphertext of no whole blocks (OpenSSL reports it on stderr).
        QVERIFY(cipher(true, false, "id", plain.left(15)).isEmpty()
            && cipher(false, false, "id", plain.left(33)).isEmpty());
        // A wrong IV is refused, yet the new key is stored beside the old IV.
        QVERIFY(!m_service->init_CBC("id", otherKey, otherIv.left(8)) && uses("id", otherKey, iv));
        // An IV passed to a CBC call wins over the registered one and replaces it.
        const QByteArray padded = cipher(true, true, "id", plain);
        QVERIFY(m_service->init_CBC("id", otherKey, otherIv));
        QCOMPARE(m_service->decryptAES_CBC("id", padded, iv), plain);
        QVERIFY(uses("id", otherKey, iv) && m_service->init_CBC("id", otherKey, otherIv));
        QCOMPARE(m_service->encryptAES_CBC("id", plain, iv), padded);
        QVERIFY(uses("id", otherKey, iv));
        QCOMPARE(m_log->lines(), expected << "ERROR, IV length must be 16bytes for AES_128_CBC");
    }

    void selfTestCountsAndLogsTheMismatches_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QList<int>>("range"); // from, to, passes
        QTest::addColumn<int>("errors");
        const auto row
            = [](const char *tag, const char *setup, int mode, const QList<int> &range,
                  int errors) { QTest::newRow(tag) << setup << mode << range << errors; };
        row("CBC", "key and IV", 0, {0, 101, 1}, 0);
        row("CBC, random IV", "key and random IV", 0, {0, 101, 1}, 0);
        row("any mode but CBC runs ECB", "key", 7, {0, 101, 1}, 0);
        // An empty plaintext equals the empty result of a failure.
        row("length 0 only", "", 0, {0, 1, 5}, 0);
        row("no IV: every check fails", "key", 0, {10, 20, 3}, 30);
    }
    void selfTestCountsAndLogsTheMismatches()
    {
        QFETCH(QString, setup);
        QFETCH(int, mode);
        QFETCH(QList<int>, range);
        QFETCH(int, errors);
        if (!setup.isEmpty())
            QVERIFY(
                setup == "key" ? m_service->init_ECB("t", key) : m_service->init_CBC("t", key, iv));
        if (setup.endsWith("random IV"))
            m_service->setRandomIV("t");
        // The plaintexts are the C library's rand() output, one call per byte.
        std::srand(99);
        QByteArray random;
        for (int i = 0; i < 1000; ++i)
            random.append(char(std::rand() % 256));
        std::srand(99);
        m_service->performTest(
            "t", EncryptionService::CipherMode(mode), range[0], range[1], range[2]);
        const QStringList lines = m_log->lines(QtDebugMsg);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.first(), "START AES test");
        const QRegularExpression summary("^FINISHED AES test in \\d+ ms with (\\d+) error\\(s\\)$");
        QCOMPARE(summary.match(lines.last()).captured(1), QString::number(errors));
        QStringList expected;
        for (int pass = 0, at = 0; errors && pass < range[2]; ++pass) {
            for (int length = range[0]; length < range[1]; at += length++) {
                expected
                    << QStringLiteral("\"AES Error while encrypting a %1 length data\"").arg(length)
                    << "Plain data =  " + random.mid(at, length).toHex() << "Encoded data =  "
                    << "Decoded data =  ";
            }
        }
        QCOMPARE(m_log->lines(QtWarningMsg), expected);
    }
};

QTEST_GUILESS_MAIN(TestEncryptionService)
#include "tst_encryptionservice.moc"
