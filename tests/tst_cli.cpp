// SPDX-License-Identifier: MIT
// Runs the zendra-cli binary as a user would: arguments, standard input, output and status.
#include <zendra/encryptionservice.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using zendra::EncryptionService;

namespace {

const QString key = QStringLiteral("2b7e151628aed2a6abf7158809cf4f3c");
const QString iv = QStringLiteral("000102030405060708090a0b0c0d0e0f");
const QString otherKey = QStringLiteral("00112233445566778899aabbccddeeff");

struct Run
{
    bool finished;
    int exitCode;
    QByteArray out;
    QByteArray err;
};

Run runCli(const QStringList &args, const QByteArray &input = QByteArray())
{
    QProcess process;
    process.start(QStringLiteral(ZENDRA_CLI_PATH), args);
    if (!process.waitForStarted(10000))
        return {false, -1, {}, {}};
    process.write(input);
    process.closeWriteChannel();
    const bool finished
        = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    return {finished, process.exitCode(), process.readAllStandardOutput(),
        process.readAllStandardError()};
}

QStringList cipherArgs(const QString &command, const QString &mode, const QString &withKey)
{
    QStringList args {command, QStringLiteral("--mode"), mode, QStringLiteral("--key"), withKey};
    if (mode == QLatin1String("cbc"))
        args << QStringLiteral("--iv") << iv;
    return args;
}

// Every byte value, then a text-like tail with line ends and a NUL.
QByteArray binaryData(int length)
{
    QByteArray data(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i)
        data[i] = char(i % 251 == 0 ? 0 : (i * 13) % 256);
    if (length >= 4)
        data.replace(length - 4, 4, QByteArray("\r\n\0\n", 4));
    return data;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void helpIsOfferedForEveryCommand_data();
    void helpIsOfferedForEveryCommand();
    void roundTripThroughStandardStreams_data();
    void roundTripThroughStandardStreams();
    void badInputFailsWithOneLine_data();
    void badInputFailsWithOneLine();
    void selfTestPasses_data();
    void selfTestPasses();
};

void TestCli::helpIsOfferedForEveryCommand_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("usage");
    QTest::newRow("--help") << QStringList {QStringLiteral("--help")}
                            << QStringLiteral("Usage: zendra-cli <command>");
    for (const char *command : {"aes-selftest", "encrypt", "decrypt"}) {
        const QString name = QLatin1String(command);
        QTest::addRow("%s --help", command) << QStringList {name, QStringLiteral("--help")}
                                            << QStringLiteral("Usage: zendra-cli ") + name;
        QTest::addRow("%s -h", command) << QStringList {name, QStringLiteral("-h")}
                                        << QStringLiteral("Usage: zendra-cli ") + name;
    }
}

void TestCli::helpIsOfferedForEveryCommand()
{
    QFETCH(QStringList, args);
    QFETCH(QString, usage);
    const Run run = runCli(args);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith(usage.toUtf8()), run.out.constData());
    QCOMPARE(run.err, QByteArray());
}

void TestCli::roundTripThroughStandardStreams_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("length");
    for (const QString &mode : {QStringLiteral("cbc"), QStringLiteral("ecb")}) {
        for (int length : {0, 1, 15, 16, 17, 4099, 1 << 20})
            QTest::addRow("%s %d", qPrintable(mode), length) << mode << length;
    }
}

void TestCli::roundTripThroughStandardStreams()
{
    QFETCH(QString, mode);
    QFETCH(int, length);
    const QByteArray plain = binaryData(length);

    const Run encrypted = runCli(cipherArgs(QStringLiteral("encrypt"), mode, key), plain);
    QVERIFY(encrypted.finished);
    QCOMPARE(encrypted.exitCode, 0);
    QCOMPARE(encrypted.err, QByteArray());

    // Byte for byte what the library gives for the same key and IV.
    EncryptionService service;
    QVERIFY(service.init_CBC(QStringLiteral("ref"), QByteArray::fromHex(key.toLatin1()),
        QByteArray::fromHex(iv.toLatin1())));
    const QByteArray expected = mode == QLatin1String("cbc")
        ? service.encryptAES_CBC(QStringLiteral("ref"), plain, QByteArray())
        : service.encryptAES_ECB(QStringLiteral("ref"), plain);
    QCOMPARE(encrypted.out.size(), (length / 16 + 1) * 16);
    QVERIFY(encrypted.out == expected);

    const Run decrypted = runCli(cipherArgs(QStringLiteral("decrypt"), mode, key), encrypted.out);
    QVERIFY(decrypted.finished);
    QCOMPARE(decrypted.exitCode, 0);
    QCOMPARE(decrypted.err, QByteArray());
    QCOMPARE(decrypted.out.size(), plain.size());
    QVERIFY(decrypted.out == plain);
}

void TestCli::badInputFailsWithOneLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("mentions");

    const QString e = QStringLiteral("encrypt");
    const QString d = QStringLiteral("decrypt");
    const QString cbc = QStringLiteral("cbc");
    const QString ecb = QStringLiteral("ecb");
    const QByteArray text("some data");

    QTest::newRow("short key") << cipherArgs(e, ecb, key.left(30)) << text << "--key";
    QTest::newRow("long key") << cipherArgs(e, cbc, key + "00") << text << "--key";
    QTest::newRow("odd hex key") << cipherArgs(e, ecb, key.left(31)) << text << "--key";
    QTest::newRow("non-hex key") << cipherArgs(e, ecb, "zz" + key.mid(2)) << text << "--key";
    QTest::newRow("missing key") << QStringList {e, "--mode", "ecb"} << text << "--key";
    QTest::newRow("missing mode") << QStringList {e, "--key", key} << text << "--mode";
    QTest::newRow("unknown mode") << cipherArgs(e, "ofb", key) << text << "--mode";
    QTest::newRow("cbc without iv")
        << QStringList {e, "--mode", "cbc", "--key", key} << text << "--iv";
    QTest::newRow("short iv") << QStringList {d, "-m", "cbc", "-k", key, "--iv", iv.left(16)}
                              << text << "--iv";
    QTest::newRow("non-hex iv") << QStringList {e, "-m", "cbc", "-k", key, "--iv", "g" + iv.mid(1)}
                                << text << "--iv";
    QTest::newRow("iv with ecb") << QStringList {e, "-m", "ecb", "-k", key, "--iv", iv} << text
                                 << "--iv";
    QTest::newRow("unknown option") << QStringList {e, "--frobnicate"} << text << "frobnicate";
    QTest::newRow("extra argument")
        << cipherArgs(e, ecb, key) + QStringList {"file"} << text << "file";
    QTest::newRow("unknown command") << QStringList {"encipher"} << text << "encipher";
    QTest::newRow("self-test mode")
        << QStringList {"aes-selftest", "--mode", "ctr"} << QByteArray() << "--mode";

    QTest::newRow("decrypt empty") << cipherArgs(d, ecb, key) << QByteArray() << "decryption";
    QTest::newRow("decrypt partial block")
        << cipherArgs(d, cbc, key) << QByteArray(17, 'x') << "decryption";

    EncryptionService service;
    service.init_CBC(QStringLiteral("k"), QByteArray::fromHex(key.toLatin1()),
        QByteArray::fromHex(iv.toLatin1()));
    // Fixed data whose padding does not survive decryption under the other key.
    const QByteArray plain = binaryData(100);
    QTest::newRow("decrypt ecb, wrong key")
        << cipherArgs(d, ecb, otherKey) << service.encryptAES_ECB(QStringLiteral("k"), plain)
        << "decryption";
    QTest::newRow("decrypt cbc, wrong key")
        << cipherArgs(d, cbc, otherKey)
        << service.encryptAES_CBC(QStringLiteral("k"), plain, QByteArray()) << "decryption";
}

void TestCli::badInputFailsWithOneLine()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(QString, mentions);
    const Run run = runCli(args, input);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(
        run.err.startsWith("zendra-cli: ") && run.err.endsWith('\n') && run.err.count('\n') == 1,
        run.err.constData());
    QVERIFY2(run.err.contains(mentions.toUtf8()), run.err.constData());
}

void TestCli::selfTestPasses_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("default") << QStringList {QStringLiteral("aes-selftest")};
    QTest::newRow("cbc") << QStringList {"aes-selftest", "--mode", "cbc", "--passes", "2"};
    QTest::newRow("ecb") << QStringList {"aes-selftest", "-m", "ecb", "--max-length", "40"};
}

void TestCli::selfTestPasses()
{
    QFETCH(QStringList, args);
    const Run run = runCli(args);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QByteArray());
    static const QRegularExpression expected(
        QStringLiteral("^START AES test\nFINISHED AES test in \\d+ ms with 0 error\\(s\\)\n$"));
    QVERIFY2(expected.match(QString::fromUtf8(run.out)).hasMatch(), run.out.constData());
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
