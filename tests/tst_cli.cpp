// SPDX-License-Identifier: MIT
// zendra-cli run as a user runs it: one smoke test per command, and the exit status and the one
// error line of every kind of failed request.
#include "ftpserver.h"
#include "testcertificates.h"

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private:
    // Runs the CLI in a home of its own, so the certificates directory is the test's.
    Run run(const QStringList &args, const QByteArray &input = QByteArray())
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home.filePath("data"));
        environment.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(ZENDRA_CLI_PATH), args);
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {
            process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
    }
    QString learnedRoot() const
    {
        return m_home.filePath("data/zendra-cli/certificates/root_ca.pem");
    }

    TestCertificates m_certificates;
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_certificates.create(), qPrintable(m_certificates.errorString()));
    }
    void init() { QDir(m_home.filePath("data")).removeRecursively(); }

    void aesCommandsRoundTripThroughStandardStreams()
    {
        const QByteArray plain("\0binary\r\n data of 31 bytes\xff\x80", 31);
        const QString key = QStringLiteral("2b7e151628aed2a6abf7158809cf4f3c");
        const QStringList cbc {"--mode", "cbc", "--key", key, "--iv", key};
        const Run encrypted = run(QStringList {"encrypt"} + cbc, plain);
        QCOMPARE(encrypted.exitCode, 0);
        QCOMPARE(encrypted.out.size(), 32);
        const Run decrypted = run(QStringList {"decrypt"} + cbc, encrypted.out);
        QCOMPARE(decrypted.exitCode, 0);
        QCOMPARE(decrypted.out, plain);
        QCOMPARE(run({"decrypt", "--mode", "ecb", "--key", key}, "short").exitCode, 1);
        QCOMPARE(run({"encrypt", "--mode", "ecb", "--key", "abc"}).exitCode, 2);
    }

    void selfTestPasses()
    {
        const Run selfTest = run({"aes-selftest", "--mode", "ecb", "--max-length", "40"});
        QVERIFY2(selfTest.exitCode == 0, selfTest.err.constData());
        QVERIFY(selfTest.out.contains("with 0 error(s)"));
    }

    void requestsEndWithTheirExitStatus_data()
    {
        QTest::addColumn<QString>("chain"); // what the server presents; empty: no TLS
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("output"); // stdout on success, the error line otherwise
        const QString root = m_certificates.rootCaFile();
        QTest::newRow("ls") << QString() << QStringList {"ls", "URL/", "--type", "file"} << 0
                            << QByteArray("file\t5\t");
        QTest::newRow("get") << QString() << QStringList {"get", "URL/a.txt"} << 0
                             << QByteArray("hello");
        QTest::newRow("not an ftp url") << QString() << QStringList {"ls", "http://h/"} << 2
                                        << QByteArray("is not an ftp:// or ftps:// URL");
        QTest::newRow("nothing listening") << QString() << QStringList {"get", "CLOSED/a.txt"} << 3
                                           << QByteArray("failed: error 7: ");
        QTest::newRow("wrong password")
            << QString() << QStringList {"get", "URL/a.txt", "--password", "x"} << 4
            << QByteArray("failed: error 67: ");
        QTest::newRow("missing remote file") << QString() << QStringList {"get", "URL/none.txt"}
                                             << 6 << QByteArray("failed: error 78: ");
        QTest::newRow("unwritable local file")
            << QString() << QStringList {"get", "URL/a.txt", "/nonexistent/a.txt"} << 7
            << QByteArray("failed: cannot write \"/nonexistent/a.txt\": ");
        QTest::newRow("root CA recovered")
            << m_certificates.fullChainFile() << QStringList {"get", "URL/a.txt"} << 0
            << QByteArray("hello");
        QTest::newRow("certificate names another host")
            << m_certificates.otherHostChainFile() << QStringList {"get", "URL/a.txt", "--ca", root}
            << 5 << QByteArray("failed: error 60: ");
    }

    void requestsEndWithTheirExitStatus()
    {
        QFETCH(QString, chain);
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QByteArray, output);
        FtpServer::Options options;
        if (!chain.isEmpty()) {
            const bool other = chain == m_certificates.otherHostChainFile();
            options = FtpServer::tlsOptions(FtpServer::Tls::Required, chain,
                other ? m_certificates.otherHostKeyFile() : m_certificates.serverKeyFile());
        }
        const auto server = FtpServer::started(options);
        QVERIFY(server);
        QVERIFY(server->writeFile("a.txt", "hello"));
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString closedUrl = QStringLiteral("ftp://127.0.0.1:%1").arg(closed.serverPort());
        closed.close();
        args.replaceInStrings(QStringLiteral("URL"), server->url("ftp", QString()).chopped(1));
        args.replaceInStrings(QStringLiteral("CLOSED"), closedUrl);
        args << "--user" << server->user();
        if (!args.contains("--password"))
            args << "--password" << server->password();

        const Run result = run(args);
        QVERIFY2(result.exitCode == status, result.err.constData());
        if (status == 0) {
            QVERIFY2(result.out.startsWith(output), result.out.constData());
            QCOMPARE(QFile::exists(learnedRoot()), !chain.isEmpty());
            return;
        }
        QByteArrayList lines;
        for (const QByteArray &line : result.err.split('\n')) {
            if (line.startsWith("zendra-cli: "))
                lines << line;
        }
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains(output), lines.first().constData());
        if (status == 5)
            QVERIFY(lines.first().endsWith("(gave up after 4 attempts)"));
    }

    void secondRunVerifiesWithTheLearnedRoot()
    {
        const auto server = FtpServer::started(FtpServer::tlsOptions(FtpServer::Tls::Required,
            m_certificates.fullChainFile(), m_certificates.serverKeyFile()));
        QVERIFY(server);
        const QStringList ls {"ls", server->url("ftp", "/"), "--user", server->user(), "--password",
            server->password()};
        const QByteArray recovery(">> Update FTP certificate");
        QVERIFY(run(ls).err.contains(recovery));
        const Run second = run(ls);
        QCOMPARE(second.exitCode, 0);
        QVERIFY2(!second.err.contains(" finished with error "), second.err.constData());
        QVERIFY(run(ls + QStringList {"--forget-ca"}).err.contains(recovery));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
