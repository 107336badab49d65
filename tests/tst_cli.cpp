// SPDX-License-Identifier: MIT
// Runs the zendra-cli binary as a user would: arguments, standard input, output and status.
#include "ftpserver.h"
#include "testcertificates.h"

#include <zendra/encryptionservice.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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

Run runCli(const QStringList &args, const QByteArray &input = QByteArray(),
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
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

// Exactly one line of the program's own on stderr, whatever the library logged around it.
QByteArrayList ownLines(const QByteArray &err)
{
    QByteArrayList lines;
    for (const QByteArray &line : err.split('\n')) {
        if (line.startsWith("zendra-cli: "))
            lines.append(line);
    }
    return lines;
}

// A home of its own for every run, so the certificates directory starts empty and the
// user's own stays untouched.
class IsolatedHome
{
public:
    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_directory.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_directory.filePath("data"));
        environment.remove(QStringLiteral("ZENDRA_PASSWORD"));
        return environment;
    }
    QString certificatesDirectory() const
    {
        return m_directory.filePath(QStringLiteral("data/zendra-cli/certificates"));
    }
    QString filePath(const QString &name) const { return m_directory.filePath(name); }

private:
    QTemporaryDir m_directory;
};

QStringList credentials(const FtpServer &server)
{
    return {
        QStringLiteral("--user"), server.user(), QStringLiteral("--password"), server.password()};
}

QSslCertificate certificateIn(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QSslCertificate();
    return QSslCertificate(file.readAll(), QSsl::Pem);
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void helpIsOfferedForEveryCommand_data();
    void helpIsOfferedForEveryCommand();
    void roundTripThroughStandardStreams_data();
    void roundTripThroughStandardStreams();
    void badInputFailsWithOneLine_data();
    void badInputFailsWithOneLine();
    void selfTestPasses_data();
    void selfTestPasses();

    void listingPrintsOneEntryALine_data();
    void listingPrintsOneEntryALine();
    void downloadWritesTheSameBytesToFileAndStandardOutput_data();
    void downloadWritesTheSameBytesToFileAndStandardOutput();
    void failedTransferExitsWithOneLine_data();
    void failedTransferExitsWithOneLine();
    void ftpsWithNoCaKnownRecoversTheRootCa_data();
    void ftpsWithNoCaKnownRecoversTheRootCa();
    void ftpsWithGivenCaOrWithoutPeerVerificationNeedsNoRecovery_data();
    void ftpsWithGivenCaOrWithoutPeerVerificationNeedsNoRecovery();
    void certificateFailureThatNoRecoveryFixesEndsTheCommand();

private:
    TestCertificates m_certificates;
};

void TestCli::initTestCase()
{
    QVERIFY2(m_certificates.create(), qPrintable(m_certificates.errorString()));
}

void TestCli::helpIsOfferedForEveryCommand_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("usage");
    QTest::newRow("--help") << QStringList {QStringLiteral("--help")}
                            << QStringLiteral("Usage: zendra-cli <command>");
    for (const char *command : {"aes-selftest", "encrypt", "decrypt", "ls", "get"}) {
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

void TestCli::listingPrintsOneEntryALine_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("default") << QStringList() << QStringList {"a.txt", "b.bin", "sub"};
    QTest::newRow("all") << QStringList {"--type", "all"} << QStringList {"a.txt", "b.bin", "sub"};
    QTest::newRow("file") << QStringList {"--type", "file"} << QStringList {"a.txt", "b.bin"};
    QTest::newRow("dir") << QStringList {"--type", "dir"} << QStringList {"sub"};
}

void TestCli::listingPrintsOneEntryALine()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, names);
    const auto server = FtpServer::started();
    QVERIFY(server);
    QVERIFY(server->writeFile("dir/a.txt", "hello"));
    QVERIFY(server->writeFile("dir/b.bin", FtpServer::testData(4096)));
    QVERIFY(server->makeDirectory("dir/sub"));
    const IsolatedHome home;

    const Run run
        = runCli(QStringList {"ls", server->url("ftp", "dir/")} + credentials(*server) + options,
            QByteArray(), home.environment());
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY2(ownLines(run.err).isEmpty(), run.err.constData());

    QStringList lines = QString::fromUtf8(run.out).split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    lines.sort();
    QStringList expected;
    for (const QString &name : names) {
        const QFileInfo local(server->localPath("dir/" + name));
        // MLSD sends the time in UTC; the listing shows it as it came.
        const QString date
            = local.lastModified().toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
        expected.append(local.isDir()
                ? QStringLiteral("dir\t%1\t%2\t%3").arg(local.size()).arg(date, name)
                : QStringLiteral("file\t%1\t%2\t%3").arg(local.size()).arg(date, name));
    }
    expected.sort();
    QCOMPARE(lines, expected);
}

void TestCli::downloadWritesTheSameBytesToFileAndStandardOutput_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("small") << 5;
    QTest::newRow("3 MiB and a bit") << 3 * 1024 * 1024 + 7;
}

void TestCli::downloadWritesTheSameBytesToFileAndStandardOutput()
{
    QFETCH(int, size);
    const auto server = FtpServer::started();
    QVERIFY(server);
    const QByteArray content = FtpServer::testData(size, 7);
    QVERIFY(server->writeFile("f.bin", content));
    const IsolatedHome home;
    const QString url = server->url("ftp", "f.bin");

    const QString target = home.filePath(QStringLiteral("out.bin"));
    const Run toFile = runCli(
        QStringList {"get", url, target} + credentials(*server), QByteArray(), home.environment());
    QVERIFY(toFile.finished);
    QVERIFY2(toFile.exitCode == 0, toFile.err.constData());
    QCOMPARE(toFile.out, QByteArray());
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == content);

    // The password from the environment this time.
    QProcessEnvironment environment = home.environment();
    environment.insert(QStringLiteral("ZENDRA_PASSWORD"), server->password());
    const Run toStdout = runCli({"get", url, "--user", server->user()}, QByteArray(), environment);
    QVERIFY(toStdout.finished);
    QVERIFY2(toStdout.exitCode == 0, toStdout.err.constData());
    QCOMPARE(toStdout.out.size(), content.size());
    QVERIFY(toStdout.out == content);
    QVERIFY(ownLines(toStdout.err).isEmpty());
    QCOMPARE(server->commandCount("RETR"), 2);
}

void TestCli::failedTransferExitsWithOneLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("mentions");
    QTest::addColumn<bool>("transferTried");
    // Placeholders, filled in with the server's values: URL, USER, PASSWORD.
    const QStringList get {"get", "URL/a.txt", "--user", "USER"};
    QTest::newRow("wrong password")
        << get + QStringList {"--password", "wrong"} << "downloading" << true;
    QTest::newRow("missing file") << QStringList {"get", "URL/none.txt", "--user", "USER",
        "--password", "PASSWORD"} << "none.txt"
                                  << true;
    QTest::newRow("listing, wrong password")
        << QStringList {"ls", "URL/", "--user", "USER", "--password", "bad"} << "listing" << true;
    QTest::newRow("unwritable local file")
        << get + QStringList {"--password", "PASSWORD", "/nonexistent/dir/a.txt"}
        << "/nonexistent/dir/a.txt" << false;
    QTest::newRow("not an ftp url")
        << QStringList {"get", "http://127.0.0.1/a.txt"} << "http://" << false;
    QTest::newRow("no url") << QStringList {"ls"} << "missing argument" << false;
    QTest::newRow("too many arguments")
        << QStringList {"get", "URL/a.txt", "out", "more"} << "more" << false;
    QTest::newRow("unknown type") << QStringList {"ls", "URL/", "--type", "link"} << "--type"
                                  << false;
    QTest::newRow("missing ca file")
        << get + QStringList {"--ca", "/nonexistent/ca.pem"} << "/nonexistent/ca.pem" << false;
}

void TestCli::failedTransferExitsWithOneLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, mentions);
    QFETCH(bool, transferTried);
    const auto server = FtpServer::started();
    QVERIFY(server);
    QVERIFY(server->writeFile("a.txt", "hello"));
    const IsolatedHome home;
    const QString base = server->url("ftp", QString());
    for (QString &arg : args) {
        arg.replace(QLatin1String("URL/"), base.endsWith(QLatin1Char('/')) ? base : base + '/');
        if (arg == QLatin1String("USER"))
            arg = server->user();
        else if (arg == QLatin1String("PASSWORD"))
            arg = server->password();
    }

    const Run run = runCli(args, QByteArray(), home.environment());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QByteArray());
    const QByteArrayList own = ownLines(run.err);
    QVERIFY2(own.size() == 1, run.err.constData());
    QVERIFY2(own.first().contains(mentions.toUtf8()), own.first().constData());
    // The library's own report of the transfer stays on stderr beside it.
    QCOMPARE(run.err.contains(" finished with error "), transferTried);
    QCOMPARE(server->connectionCount() > 0, transferTried);
}

void TestCli::ftpsWithNoCaKnownRecoversTheRootCa_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("get") << QStringLiteral("get");
    QTest::newRow("ls") << QStringLiteral("ls");
}

void TestCli::ftpsWithNoCaKnownRecoversTheRootCa()
{
    QFETCH(QString, command);
    const auto server = FtpServer::started(FtpServer::tlsOptions(
        FtpServer::Tls::Required, m_certificates.fullChainFile(), m_certificates.serverKeyFile()));
    QVERIFY(server);
    QVERIFY(server->writeFile("a.txt", "over tls"));
    const IsolatedHome home;

    const QString url = server->url("ftp", command == QLatin1String("get") ? "a.txt" : "/");
    const Run run = runCli(
        QStringList {command, url} + credentials(*server), QByteArray(), home.environment());
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    if (command == QLatin1String("get"))
        QCOMPARE(run.out, QByteArray("over tls"));
    else
        QVERIFY2(run.out.startsWith("file\t8\t") && run.out.endsWith("\ta.txt\n"), run.out);
    QVERIFY2(run.err.contains(">> Update FTP certificate"), run.err.constData());
    QVERIFY2(run.err.contains(">> Certificate correctly updated"), run.err.constData());
    QVERIFY2(!run.err.contains("Peer verification should be disabled"), run.err.constData());
    QVERIFY(ownLines(run.err).isEmpty());

    const QSslCertificate written
        = certificateIn(home.certificatesDirectory() + QStringLiteral("/root_ca.pem"));
    QVERIFY(!written.isNull());
    QCOMPARE(written, certificateIn(m_certificates.rootCaFile()));
    QVERIFY(server->tlsLoginCount() >= 1);
}

void TestCli::ftpsWithGivenCaOrWithoutPeerVerificationNeedsNoRecovery_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("imported");
    QTest::addColumn<bool>("otherHost");
    QTest::newRow("--ca") << QStringList {"--ca", "ROOT"} << QStringLiteral("root.pem") << false;
    QTest::newRow("--no-verify-peer") << QStringList {"--no-verify-peer"} << QString() << false;
    // A certificate for another host name passes only with the host check off.
    QTest::newRow("--ca --no-verify-host, other host")
        << QStringList {"--ca", "ROOT", "--no-verify-host"} << QStringLiteral("root.pem") << true;
}

void TestCli::ftpsWithGivenCaOrWithoutPeerVerificationNeedsNoRecovery()
{
    QFETCH(QStringList, options);
    QFETCH(QString, imported);
    QFETCH(bool, otherHost);
    options.replaceInStrings(QStringLiteral("ROOT"), m_certificates.rootCaFile());
    FtpServer::Options serverOptions;
    serverOptions.tls = FtpServer::Tls::Required;
    serverOptions.certificateChainFile
        = otherHost ? m_certificates.otherHostChainFile() : m_certificates.fullChainFile();
    serverOptions.keyFile
        = otherHost ? m_certificates.otherHostKeyFile() : m_certificates.serverKeyFile();
    const auto server = FtpServer::started(serverOptions);
    QVERIFY(server);
    const QByteArray content = FtpServer::testData(100000, 3);
    QVERIFY(server->writeFile("a.bin", content));
    const IsolatedHome home;

    const Run run
        = runCli(QStringList {"get", server->url("ftp", "a.bin")} + credentials(*server) + options,
            QByteArray(), home.environment());
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY(run.out == content);
    QVERIFY2(!run.err.contains(">> Update FTP certificate"), run.err.constData());
    QVERIFY(!run.err.contains(" finished with error "));
    QVERIFY(!QFile::exists(home.certificatesDirectory() + QStringLiteral("/root_ca.pem")));
    if (!imported.isEmpty()) {
        QCOMPARE(certificateIn(home.certificatesDirectory() + '/' + imported),
            certificateIn(m_certificates.rootCaFile()));
    }
    QCOMPARE(server->tlsLoginCount(), 1);
}

void TestCli::certificateFailureThatNoRecoveryFixesEndsTheCommand()
{
    const auto server = FtpServer::started(FtpServer::tlsOptions(FtpServer::Tls::Required,
        m_certificates.otherHostChainFile(), m_certificates.otherHostKeyFile()));
    QVERIFY(server);
    QVERIFY(server->writeFile("a.txt", "over tls"));
    const IsolatedHome home;

    // The worker repeats a request whose certificate names another host for ever.
    const Run run = runCli(
        QStringList {"get", server->url("ftp", "a.txt"), "--ca", m_certificates.rootCaFile()}
            + credentials(*server),
        QByteArray(), home.environment());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QByteArray());
    const QByteArrayList own = ownLines(run.err);
    QVERIFY2(own.size() == 1, run.err.constData());
    QVERIFY2(own.first().contains("error 60") && own.first().contains("gave up after 8 attempts"),
        own.first().constData());
    QCOMPARE(server->commandCount("RETR"), 0);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
