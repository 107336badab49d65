// SPDX-License-Identifier: MIT
// zendra-cli run as a user runs it: a smoke test of each command, and the exit status and the
// one error line of each kind of failed request.
#include "ftpserver.h"
#include "testcertificates.h"

#include <QTcpServer>
#include <QTest>

class TestCli : public QObject
{
    Q_OBJECT

    TestCertificates m_certificates;
    QTemporaryDir m_home; // of every run, so the certificates directory is the test's

    // Exit status, standard output, the command's own lines on standard error (without
    // "zendra-cli: ") and whether the log shows a root-CA recovery.
    std::tuple<int, QByteArray, QByteArrayList, bool> run(
        const QStringList &args, const QByteArray &in = {})
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", m_home.path());
        environment.insert("QT_FORCE_STDERR_LOGGING", "1");
        process.setProcessEnvironment(environment);
        process.start(ZENDRA_CLI_PATH, args);
        process.write(in);
        process.closeWriteChannel();
        process.waitForFinished(60000);
        const QByteArray err = process.readAllStandardError();
        QByteArrayList own;
        for (const QByteArray &line : err.split('\n')) {
            if (line.startsWith("zendra-cli: "))
                own << line.mid(12);
        }
        return {process.exitCode(), process.readAllStandardOutput(), own,
            err.contains(">> Update FTP certificate")};
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_certificates.create(), qPrintable(m_certificates.errorString()));
    }

    void aesCommandsRoundTripAndPassTheSelfTest()
    {
        const QByteArray plain("\0binary\r\n\xff\x80", 11);
        const QStringList cbc {"--mode", "cbc", "--key", QByteArray(16, 'k').toHex(), "--iv",
            QByteArray(16, 'v').toHex()};
        const auto [encrypted, cipher, noError, noRecovery]
            = run(QStringList {"encrypt"} + cbc, plain);
        QVERIFY(encrypted == 0 && cipher.size() == 16);
        QCOMPARE(std::get<1>(run(QStringList {"decrypt"} + cbc, cipher)), plain);
        QCOMPARE(std::get<0>(run({"encrypt", "--mode", "ecb", "--key", "abc"})), 2);
        const auto [tested, summary, none, noUpdate] = run({"aes-selftest", "--max-length", "40"});
        QVERIFY(tested == 0 && summary.contains("with 0 error(s)"));
    }

    void requestsEndWithTheirExitStatus_data()
    {
        QTest::addColumn<QString>("chain"); // what the server presents; empty: plain FTP
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("output"); // the start of stdout, or of the error line
        const auto row = [](const char *tag, const QString &chain, const QString &args, int status,
                             const QByteArray &output) {
            QTest::newRow(tag) << chain << args.split(' ') << status << output;
        };
        row("ls", "", "ls SERVER/ --type file --no-ssl", 0, "file\t5\t");
        row("get", "", "get SERVER/a.txt --no-ssl", 0, "hello");
        row("usage", "", "ls http://h/", 2, "ls: \"http://h/\" is not an ftp:// or ftps:// URL");
        row("nothing listening", "", "get CLOSED/a.txt", 3,
            "get: downloading CLOSED/a.txt failed: error 7: ");
        row("login refused", "", "get SERVER/a.txt --password x --no-ssl", 4,
            "get: downloading SERVER/a.txt failed: error 67: ");
        row("remote file missing", "", "get SERVER/none --no-ssl", 6,
            "get: downloading SERVER/none failed: error 78: ");
        row("remote directory missing", "", "ls SERVER/none/ --no-ssl", 6,
            "ls: listing SERVER/none/ failed: error 9: ");
        row("local file error", "", "get SERVER/a.txt /none/a --no-ssl", 7,
            "get: downloading SERVER/a.txt failed: cannot write \"/none/a\": ");
        row("plain FTP refused by default", "", "ls SERVER/", 5,
            "ls: listing SERVER/ failed: error 64: ");
        row("root CA recovered", "fullchain.pem", "get SERVER/a.txt", 0, "hello");
        row("no findable root", "chain-without-root.pem", "get SERVER/a.txt", 5,
            "get: downloading SERVER/a.txt failed: error 77: ");
        row("no findable root, insecure", "chain-without-root.pem", "get SERVER/a.txt --insecure",
            0, "hello");
        row("certificate for another host", "other-chain.pem", "get SERVER/a.txt --ca ROOT", 5,
            "get: downloading SERVER/a.txt failed: error 60: ");
    }
    void requestsEndWithTheirExitStatus()
    {
        QFETCH(QString, chain);
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QByteArray, output);
        QDir(m_home.path()).removeRecursively();
        const auto server = FtpServer::started(chain.isEmpty()
                ? FtpServer::Options()
                : FtpServer::tlsOptions(FtpServer::Tls::Required, m_certificates.file(chain),
                    m_certificates.file(chain.startsWith("other") ? "other.key" : "server.key")));
        QTcpServer closed;
        QVERIFY(server && server->writeFile("a.txt", "hello")
            && closed.listen(QHostAddress::LocalHost));
        const QString url = server->url("ftp", "").chopped(1);
        const QString closedUrl = QStringLiteral("ftp://127.0.0.1:%1").arg(closed.serverPort());
        closed.close();
        args.replaceInStrings("SERVER", url).replaceInStrings("CLOSED", closedUrl);
        args.replaceInStrings("ROOT", m_certificates.rootCaFile());
        output.replace("CLOSED", closedUrl.toUtf8()).replace("SERVER", url.toUtf8());
        // A password of the row's own comes later and wins.
        args = args.mid(0, 1)
            + QStringList {"--user", server->user(), "--password", server->password()}
            + args.mid(1);
        const auto [exitCode, out, own, recovered] = run(args);
        QCOMPARE(exitCode, status);
        // One line: why it failed, or what --insecure let through.
        const bool insecure = args.contains("--insecure");
        QCOMPARE(own.size(), status || insecure ? 1 : 0);
        QCOMPARE(status ? own.first().left(output.size()) : out.left(output.size()), output);
        QVERIFY(!insecure || own.first().startsWith("warning: "));
        QCOMPARE(recovered, !chain.isEmpty());
    }

    // The local file is replaced whole on success and left as it was otherwise; a silent server
    // ends with Ctrl-C (status 130) or the stall limit (status 3). No progress line off a terminal.
    void getReplacesTheLocalFileOnlyOnSuccess_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("end");
        QTest::addColumn<int>("status");
        QTest::newRow("success") << "a.txt"
                                 << "" << 0;
        QTest::newRow("remote file missing") << "none"
                                             << "" << 6;
        QTest::newRow("Ctrl-C while the server is silent") << "big"
                                                           << "SIGINT" << 130;
        QTest::newRow("stall limit") << "big"
                                     << "--stall-timeout 0.3" << 3;
    }
    void getReplacesTheLocalFileOnlyOnSuccess()
    {
        QFETCH(QString, file);
        QFETCH(QString, end);
        QFETCH(int, status);
        FtpServer::Options options;
        options.stallDataAfter = 5000;
        const auto server = FtpServer::started(options);
        QVERIFY(server && server->writeFile("a.txt", "hello")
            && server->writeFile("big", FtpServer::testData(100000)));
        QTemporaryDir local;
        QFile target(local.filePath("target"));
        QVERIFY(target.open(QIODevice::WriteOnly) && target.write("old") == 3);
        target.close();
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        process.start(ZENDRA_CLI_PATH,
            QStringList {"get", server->url("ftp", file), target.fileName(), "--no-ssl", "--user",
                server->user(), "--password", server->password()}
                + (end.startsWith("--") ? end.split(' ') : QStringList()));
        QTRY_VERIFY_WITH_TIMEOUT(!end.startsWith("SIGINT") || server->count("STALL"), 10000);
        if (end == "SIGINT")
            ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitCode(), status);
        QVERIFY(!process.readAllStandardError().contains('\r'));
        QVERIFY(target.open(QIODevice::ReadOnly));
        QCOMPARE(target.readAll(), status ? "old" : "hello");
        QCOMPARE(QDir(local.path()).entryList(QDir::Files), QStringList {"target"});
    }

    // The writing commands against ProFTPD, which keeps existing files: the exit status, the
    // error line and the served tree afterwards (before: a.txt d/). LOCAL is a local file.
    void writingCommandsEndWithTheirExitStatus_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("error"); // its start
        QTest::addColumn<QString>("tree");
        const auto row = [](const char *tag, const char *args, int status, const char *error,
                             const char *tree) {
            QTest::newRow(tag) << args << status << QByteArray(error) << tree;
        };
        row("put into made folders", "put LOCAL SERVER/n/ --create-dirs", 0, "",
            "a.txt d/ n/ n/local");
        row("put over a kept file", "put LOCAL SERVER/a.txt", 8,
            "put: uploading to SERVER/a.txt failed: error 21: QUOT string not accepted: RNTO "
            "a.txt (server: 550 a.txt: ",
            "a.txt d/");
        row("put a missing file", "put /none SERVER/x", 7,
            "put: uploading to SERVER/x failed: cannot read \"/none\": ", "a.txt d/");
        row("mkdir", "mkdir SERVER/d/e", 0, "", "a.txt d/ d/e/");
        row("mkdir, exists", "mkdir SERVER/d", 8,
            "mkdir: making SERVER/d failed: error 21: ", "a.txt d/");
        row("rm a folder", "rm SERVER/d/", 0, "", "a.txt");
        row("rm, missing", "rm SERVER/none", 8,
            "rm: removing SERVER/none failed: error 21: ", "a.txt d/");
        row("mv", "mv SERVER/a.txt d/b.txt", 0, "", "d/ d/b.txt");
        row("get --continue", "get SERVER/a.txt LOCAL --continue --retries 2", 0, "", "a.txt d/");
    }
    void writingCommandsEndWithTheirExitStatus()
    {
        QFETCH(QString, args);
        QFETCH(int, status);
        QFETCH(QByteArray, error);
        QFETCH(QString, tree);
        FtpServer::Options options;
        options.proftpd = true;
        const auto server = FtpServer::started(options);
        QTemporaryDir local;
        QFile file(local.filePath("local"));
        QFile part(file.fileName() + ".part");
        QVERIFY(server && server->writeFile("a.txt", "hello") && server->writeFile("d/x", "")
            && QFile::remove(server->path("root/d/x")) && file.open(QIODevice::WriteOnly)
            && part.open(QIODevice::WriteOnly) && part.write("he") == 2);
        file.close();
        part.close();
        const QString url = server->url("ftp", "").chopped(1);
        const auto [exitCode, out, own, recovered] = run(
            args.replace("SERVER", url).replace("LOCAL", file.fileName()).split(' ')
            + QStringList {"--no-ssl", "--user", server->user(), "--password", server->password()});
        QCOMPARE(exitCode, status);
        QCOMPARE(own.value(0).left(error.size()), error.replace("SERVER", url.toUtf8()));
        QCOMPARE(server->tree(), tree);
        QVERIFY(!args.contains("--continue")
            || (server->count("REST 350") == 1 && file.open(QIODevice::ReadOnly)
                && file.readAll() == "hello" && !part.exists()));
    }

    void secondRunVerifiesWithTheLearnedRoot()
    {
        QDir(m_home.path()).removeRecursively();
        const auto server = FtpServer::started(FtpServer::tlsOptions(FtpServer::Tls::Required,
            m_certificates.fullChainFile(), m_certificates.serverKeyFile()));
        QVERIFY(server);
        const QStringList ls {"ls", server->url("ftp", ""), "--user", server->user(), "--password",
            server->password()};
        QVERIFY(std::get<3>(run(ls)));
        const auto [status, out, own, recovered] = run(ls);
        QVERIFY(status == 0 && !recovered);
        QVERIFY(std::get<3>(run(ls + QStringList {"--forget-ca"})));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
