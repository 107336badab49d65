// SPDX-License-Identifier: MIT
// zendra-cli run as a user runs it: a smoke test of each command, and the exit status and the
// one error line of each kind of failed request; URLs as typed, the library's log only with
// --verbose, anonymous logins and the modes of the files it makes.
#include "ftpserver.h"
#include "testcertificates.h"

#include <QTcpServer>
#include <QTest>

#include <sys/stat.h>

class TestCli : public QObject
{
    Q_OBJECT

    TestCertificates m_certificates;
    QTemporaryDir m_home; // of every run, so the certificates directory is the test's

    // Exit status, standard output, the command's own lines on standard error (without
    // "zendra-cli: ") and whether the log shows a root-CA recovery. On a @p terminal, a
    // pseudo-terminal that script(1) makes, every stream is the terminal and @p in is typed there.
    std::tuple<int, QByteArray, QByteArrayList, bool> run(
        const QStringList &args, const QByteArray &in = {}, bool terminal = false)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", m_home.path());
        environment.insert("QT_FORCE_STDERR_LOGGING", "1");
        process.setProcessEnvironment(environment);
        if (terminal)
            process.start("script", {"-qec", ZENDRA_CLI_PATH " " + args.join(' '), "/dev/null"});
        else
            process.start(ZENDRA_CLI_PATH, args);
        process.write(in);
        process.closeWriteChannel();
        process.waitForFinished(60000);
        const QByteArray err
            = terminal ? process.readAllStandardOutput() : process.readAllStandardError();
        QByteArrayList own;
        for (const QByteArray &line : err.split('\n')) {
            if (line.startsWith("zendra-cli: "))
                own << line.mid(12);
        }
        // The library's lines come with --verbose only.
        if (err.contains(">> ") != args.contains("--verbose"))
            return {-1, err, own, false};
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
        row("ls", "", "ls SERVER/ --type file --no-ssl", 0,
            "file\t5\t2024-01-31T23:59:59Z\ta.txt\n");
        row("a directory without its '/'", "", "ls SERVER/d --no-ssl", 0, "file\t6\t");
        row("a file without its '/'", "", "ls SERVER/a.txt --no-ssl", 0,
            "file\t5\t2024-01-31T23:59:59Z\ta.txt\n");
        row("name as typed", "", "get SERVER/d/100%é.txt --no-ssl", 0, "typed!");
        row("name encoded", "", "get SERVER/d/100%25%C3%A9.txt --no-ssl", 0, "typed!");
        row("get", "", "get SERVER/a.txt --no-ssl", 0, "hello");
        row("usage", "", "ls http://h/", 2, "ls: \"http://h/\" is not an ftp:// or ftps:// URL");
        row("nothing listening", "", "get CLOSED/a.txt", 3,
            "get: downloading CLOSED/a.txt failed: error 7: ");
        row("login refused", "", "get SERVER/a.txt --password x --no-ssl", 4,
            "get: downloading SERVER/a.txt failed: error 67: ");
        row("remote file missing", "", "get SERVER/none --no-ssl", 6,
            "get: downloading SERVER/none failed: error 78: ");
        row("remote directory missing", "", "ls SERVER/none --no-ssl", 6,
            "ls: listing SERVER/none failed: error 9: ");
        row("local file error", "", "get SERVER/a.txt /none/a --no-ssl", 7,
            "get: downloading SERVER/a.txt failed: cannot write \"/none/a\": ");
        row("plain FTP refused by default", "", "ls SERVER/", 5,
            "ls: listing SERVER/ failed: error 64: ");
        // Each failure with its real reason.
        row("root only the server vouches for", "fullchain.pem", "get SERVER/a.txt --verbose", 5,
            "get: downloading SERVER/a.txt failed: nobody but the server vouches for its root CA");
        row("imported root", "fullchain.pem", "get SERVER/a.txt --ca ROOT --verbose", 0, "hello");
        row("no findable root", "chain-without-root.pem", "get SERVER/a.txt --verbose", 5,
            "get: downloading SERVER/a.txt failed: error 60: The root CA of the chain is unknown");
        row("no findable root, insecure", "chain-without-root.pem",
            "get SERVER/a.txt --insecure --verbose", 0, "hello");
        row("certificate for another host", "other-chain.pem",
            "get SERVER/a.txt --ca ROOT --verbose", 5,
            "get: downloading SERVER/a.txt failed: error 60: Host-name mismatch: the certificate "
            "names other.invalid, not 127.0.0.1");
        row("certificate for another host, insecure", "other-chain.pem",
            "get SERVER/a.txt --insecure --verbose", 0, "hello");
        row("expired", "expired.pem", "get SERVER/a.txt --verbose", 5,
            "get: downloading SERVER/a.txt failed: error 60: The certificate \"localhost\" "
            "expired");
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
                    m_certificates.file(chain.startsWith("other") ? "other.key"
                            : chain.startsWith("exp")             ? "expired.key"
                                                                  : "server.key")));
        QTcpServer closed;
        QFile a(server ? server->path("root/a.txt") : QString());
        QVERIFY(server && server->writeFile("a.txt", "hello") && a.open(QIODevice::Append)
            && a.setFileTime(QDateTime(QDate(2024, 1, 31), QTime(23, 59, 59), Qt::UTC),
                QFileDevice::FileModificationTime)
            && server->writeFile("d/100%é.txt", "typed!")
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
        // An output that ends its line is the whole output.
        QCOMPARE(status ? own.first().left(output.size())
                        : out.left(output.endsWith('\n') ? out.size() : output.size()),
            output);
        QVERIFY(!insecure || own.first().startsWith("warning: "));
        QCOMPARE(recovered, !chain.isEmpty() && status != 0);
    }

    // The local file is replaced whole on success, keeping its mode, and left as it was otherwise;
    // a new one gets the umask's mode. A silent server ends with Ctrl-C (status 130) or the stall
    // limit (status 3). No progress line off a terminal.
    void getReplacesTheLocalFileOnlyOnSuccess_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("end");
        QTest::addColumn<int>("status");
        QTest::newRow("success") << "a.txt"
                                 << "" << 0;
        QTest::newRow("success into a new file") << "a.txt"
                                                 << "new" << 0;
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
        QVERIFY(end == "new"
                ? target.remove()
                : target.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        QProcess process;
        process.setChildProcessModifier([] { ::umask(027); });
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
        QCOMPARE(target.permissions() & 0x777, end == "new" ? 0x640 : 0x604);
        QCOMPARE(QDir(local.path()).entryList(QDir::Files), QStringList {"target"});
    }

    // Without --user the CLI logs in as anonymous, and says so with --verbose.
    void logsInAsAnonymousWithoutUser()
    {
        FtpServer::Options options;
        options.anonymous = true;
        const auto server = FtpServer::started(options);
        QVERIFY(server && server->writeFile("a.txt", "hello"));
        QCOMPARE(run({"get", server->url("ftp", "a.txt"), "--no-ssl", "--verbose"}),
            std::make_tuple(0, QByteArray("hello"),
                QByteArrayList {"note: logging in as anonymous, no --user given"}, false));
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
            "put: uploading to SERVER/a.txt failed: error 21: the server refused RNTO a.txt (550 "
            "a.txt: ",
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

    // A root that only its server vouches for is trusted when the user says so: by fingerprint,
    // or on a terminal when asked (default no). It is pinned to the server, and a root that
    // changes is refused with both fingerprints until --forget-ca.
    void unknownRootIsTrustedOnlyWhenTheUserSaysSo()
    {
        QDir(m_home.path()).removeRecursively();
        QTemporaryDir served;
        const auto serve = [&](const QString &chain, const QString &key) {
            return m_certificates.copy(chain, served.filePath("chain"))
                && m_certificates.copy(key, served.filePath("key"));
        };
        QVERIFY(serve("selfsigned.pem", "selfsigned.key"));
        FtpServer::Options options = FtpServer::tlsOptions(
            FtpServer::Tls::Required, served.filePath("chain"), served.filePath("key"));
        options.proftpd = true; // reads its certificate anew for every session
        const auto server = FtpServer::started(options);
        QVERIFY(server);
        const QString url = server->url("ftp", "");
        const QStringList ls {
            "ls", url, "--user", server->user(), "--password", server->password(), "--verbose"};
        const QByteArray self = m_certificates.fingerprint("selfsigned").toUtf8();
        const QByteArray root = m_certificates.fingerprint("root").toUtf8();
        const auto pinned = [&] {
            QFile pin(m_home.filePath("zendra-cli/certificates/pinned_127.0.0.1_%1.pem")
                          .arg(QUrl(url).port()));
            return pin.open(QIODevice::ReadOnly) ? pin.readAll() : QByteArray();
        };

        auto [status, out, own, recovered] = run(ls);
        QVERIFY(status == 5 && own.size() == 1);
        QVERIFY2(own.first().endsWith("run again with --trust-root " + self), own.first());
        std::tie(status, out, own, recovered) = run(ls + QStringList {"--trust-root", self});
        QVERIFY(
            status == 0 && own.size() == 1 && own.first().startsWith("note: pinned the root CA"));
        QCOMPARE(pinned(), m_certificates.certificate("selfsigned").toPem());
        std::tie(status, out, own, recovered) = run(ls);
        QVERIFY(status == 0 && own.isEmpty() && !recovered);

        // The server now presents a chain that ends in another root.
        QVERIFY(serve("fullchain.pem", "server.key"));
        std::tie(status, out, own, recovered) = run(ls);
        QVERIFY(status == 5 && own.size() == 1);
        QVERIFY(own.first().contains(self) && own.first().contains(root));
        QCOMPARE(pinned(), m_certificates.certificate("selfsigned").toPem());
        // Asked on a terminal: Enter says no, y says yes.
        for (const QByteArray &answer : {QByteArray("\n"), QByteArray("y\n")}) {
            std::tie(status, out, own, recovered)
                = run(ls + QStringList {"--forget-ca"}, answer, true);
            QVERIFY(own.first().contains(root));
            QCOMPARE(status, answer == "\n" ? 5 : 0);
            QCOMPARE(pinned(), answer == "\n" ? "" : m_certificates.certificate("root").toPem());
        }
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
