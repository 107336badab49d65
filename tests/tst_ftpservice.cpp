// SPDX-License-Identifier: MIT
// FtpService and its worker: the job queue with the test in the worker's place, then real
// transfers on loopback: every request type, the handle cache and TLS, faults and bad URLs,
// destruction at bad moments, two services at once, a host that returns from main.
#include "ftpserver.h"
#include "ftpservicetestaccess.h"
#include "ftpworker_p.h"
#include "logcapture.h"
#include "testcertificates.h"

#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using namespace zendra;

namespace {

// Cuts the service off from its worker and records what it sends: "kind url user:password path".
struct Recorder
{
    explicit Recorder(FtpService &service) : service(service)
    {
        QObject::disconnect(&service, nullptr, nullptr, nullptr);
        const auto record = [this](const QString &kind) {
            return [this, kind](const QString &url, const QString &user, const QString &password,
                       const QUuid &id, const QString &path = {}) {
                sent << QStringList {kind, url, user + ':' + password, path}.join(' ');
                ids << id;
            };
        };
        QObject::connect(&service, &FtpService::download, record("download"));
        QObject::connect(&service, &FtpService::downloadInFile, record("downloadInFile"));
        QObject::connect(&service, &FtpService::listDir, record("listDir"));
    }
    // Answers the request sent last, or @p id, in the worker's place.
    void answer(const QByteArray &data, const QUuid &id = {})
    {
        FtpServiceTestAccess::onRequestFinished(service, id.isNull() ? ids.last() : id, data);
    }

    FtpService &service;
    QStringList sent;
    QList<QUuid> ids;
};

// What one service's callbacks received, each with the outcome of its request.
struct Answers
{
    QList<QByteArray> data;
    QList<FtpResult> results;

    std::function<void(const QByteArray &)> callback(FtpService &service)
    {
        return [this, &service](const QByteArray &received) {
            data << received;
            results << service.lastResult();
        };
    }
    bool wait(int count)
    {
        return QTest::qWaitFor([&] { return data.size() >= count; }, 60000);
    }
};

int threadCount()
{
    return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

QString requestLine(const QString &name, const QString &url)
{
    return QStringLiteral(">> [FTP  \"%1\"  ]  \"%2\"").arg(name, url);
}

} // namespace

class TestFtpService : public QObject
{
    Q_OBJECT

    TestCertificates m_certificates;

    std::unique_ptr<FtpServer> tlsServer(FtpServer::Tls tls)
    {
        return FtpServer::started(FtpServer::tlsOptions(
            tls, m_certificates.fullChainFile(), m_certificates.serverKeyFile()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
        QVERIFY2(m_certificates.create(), qPrintable(m_certificates.errorString()));
    }

    void queueSendsOneRequestAtATimeInOrder()
    {
        FtpService service;
        Recorder recorder(service);
        recorder.answer("nobody asked", QUuid::createUuid());
        service.setCredentials(
            "alice", "secret", [](const QString &text) { return text.toUpper(); });
        QStringList events;
        const auto note = [&](const QByteArray &data) { events << data; };
        service.downloadFile("ftp://h/1", [&](const QByteArray &data) {
            events << data;
            // Queued from inside a callback: sent when the queue reaches it.
            service.downloadFile("ftp://h/5", note);
        });
        service.downloadFile("ftp://h/2", note, "/tmp/2", "bob");
        service.downloadFile("ftp://h/3", note);
        // Jobs keep the credentials of their queuing time.
        service.setCredentials("carol", "x", [](const QString &text) { return text; });
        QVERIFY_THROWS_EXCEPTION(std::bad_function_call, service.setCredentials("eve", "y", {}));
        service.listDirectory(
            "ftp://h/4/",
            [&](const QList<FtpFileInfo> &list) {
                events << list.value(0, FtpFileInfo("")).name();
            },
            FtpFileInfo::Dir);
        QCOMPARE(recorder.sent.size(), 1);
        recorder.answer("1");
        recorder.answer("/tmp/2");
        // A stray id costs the head job its callback; the next job is sent all the same.
        recorder.answer("stray", QUuid::createUuid());
        recorder.answer("type=file;unique=1; f\ntype=dir;unique=2; d\n");
        recorder.answer("5");
        QCOMPARE(events, QStringList({"1", "/tmp/2", "d", "5"}));
        QCOMPARE(recorder.sent,
            QStringList({"download ftp://h/1 ALICE:SECRET ",
                "downloadInFile ftp://h/2 bob:SECRET /tmp/2", "download ftp://h/3 ALICE:SECRET ",
                "listDir ftp://h/4/ carol:x ", "download ftp://h/5 carol:x "}));
    }

    void everyRequestTypeDeliversTheServersBytes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        const auto row = [](const char *tag, const char *name, int size) {
            QTest::newRow(tag) << name << size;
        };
        row("into memory, empty", "DOWNLOADFILE", 0);
        row("into memory, 8 MiB", "DOWNLOADFILE", 8 << 20);
        // Not a multiple of a block size: the tail waits in a buffer until the file is closed.
        row("into a file", "DOWNLOADINFILE", 200 * 1024 + 123);
        row("listing", "LISTDIRECTORY", 1000);
    }
    void everyRequestTypeDeliversTheServersBytes()
    {
        QFETCH(QString, name);
        QFETCH(int, size);
        const auto server = FtpServer::started();
        const QByteArray content = FtpServer::testData(size);
        QVERIFY(server && server->writeFile("data.bin", content) && server->writeFile("sub/b", ""));
        QTemporaryDir local;
        // A Latin-1 letter tells the path's Latin-1 bytes from its UTF-8 ones.
        const QString path = name == "DOWNLOADINFILE" ? local.filePath("r\u00e9sultat") : QString();
        FtpService service;
        server->logIn(service);
        // What is on disk when the worker answers, on its own thread.
        std::atomic<qint64> sizeAtAnswer {-1};
        connect(
            FtpServiceTestAccess::worker(service), &FtpWorker::requestFinished, this,
            [&] { sizeAtAnswer = QFileInfo(path).size(); }, Qt::DirectConnection);
        LogCapture log;
        Answers answers;
        const QString url = server->url("ftp", name == "LISTDIRECTORY" ? "" : "data.bin");
        if (name == "LISTDIRECTORY") {
            service.listDirectory(url, [&](const QList<FtpFileInfo> &entries) {
                for (const FtpFileInfo &entry : entries)
                    answers.data << entry.name().toUtf8() + ' '
                            + QByteArray::number(entry.type() ? -1 : entry.size());
                answers.results << service.lastResult();
            });
        } else {
            service.downloadFile(url, answers.callback(service), path);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!answers.results.isEmpty(), 30000);
        if (name == "LISTDIRECTORY") {
            std::sort(answers.data.begin(), answers.data.end());
            QCOMPARE(answers.data, QList<QByteArray>({"data.bin 1000", "sub -1"}));
        } else {
            QVERIFY(answers.data.first() == (path.isEmpty() ? content : path.toLatin1()));
        }
        QFile file(path);
        QVERIFY(path.isEmpty()
            || (file.open(QIODevice::ReadOnly) && file.readAll() == content
                && sizeAtAnswer == size));
        const FtpResult result = answers.results.first();
        QVERIFY(result.isSuccess() && result.code() == 0 && result.errorString().isEmpty());
        QCOMPARE(result.url(), url);
        QCOMPARE(result.attempts(), 1);
        QCOMPARE(log.lines(QtDebugMsg), QStringList(requestLine(name, url)));
        QCOMPARE(
            log.lines(QtInfoMsg), QStringList(requestLine(name, url) + " finished with success"));
        QCOMPARE(log.lines().size(), 2);
    }

    // One handle per scheme and host, kept until its session ends. It asks for TLS if it was made
    // while activateSsl was on, on every connection it opens.
    void handlesAreKeptPerSchemeAndHost()
    {
        const auto first = tlsServer(FtpServer::Tls::Allowed);
        const auto second = tlsServer(FtpServer::Tls::Allowed);
        const auto implicit = tlsServer(FtpServer::Tls::Implicit);
        QVERIFY(first && second && implicit && first->writeFile("a", "1")
            && second->writeFile("a", "2") && implicit->writeFile("a", "3"));
        FtpService service;
        first->logIn(service);
        LogCapture log;
        QVERIFY(service.loadCertificate(m_certificates.rootCaFile(), true));
        Answers answers;
        const auto get = [&](const FtpServer &server, const QString &scheme, const QString &host) {
            service.downloadFile(server.url(scheme, "a", host), answers.callback(service));
            return answers.wait(int(answers.data.size()) + 1) ? answers.data.last() : "time-out";
        };
        QCOMPARE(get(*first, "ftp", "127.0.0.1"), "1");
        service.listDirectory(first->url("ftp", ""), [](const QList<FtpFileInfo> &) {});
        // The handle that listed retrieves a file again.
        QCOMPARE(get(*first, "ftp", "127.0.0.1"), "1");
        QCOMPARE(get(*implicit, "ftps", "127.0.0.1"), "3");
        service.setActivateSsl(false);
        service.setActivateSsl(false);
        // Another port: the cached handle connects anew and still asks for TLS; a new one does not.
        for (const char *host : {"127.0.0.1", "localhost"})
            QCOMPARE(get(*second, "ftp", host), "2");
        // Ending one session closes that handle only; a key that is not cached changes nothing.
        service.endSession("ftp", "localhost");
        service.endSession("ftp", "nowhere");
        QTRY_COMPARE(second->count("CLOSE"), 1);
        for (const char *host : {"127.0.0.1", "localhost"})
            QCOMPARE(get(*second, "ftp", host), "2");
        const QRegularExpression transfers("^(LOGIN|CMD RETR|CMD MLSD)");
        QCOMPARE(first->events().filter(transfers),
            QStringList({"LOGIN 1", "CMD RETR 1", "CMD MLSD 1", "CMD RETR 1"}));
        QCOMPARE(implicit->events().filter(transfers), QStringList({"LOGIN 1", "CMD RETR 1"}));
        QCOMPARE(second->events().filter(transfers),
            QStringList({"LOGIN 1", "CMD RETR 1", "LOGIN 0", "CMD RETR 0", "CMD RETR 1", "LOGIN 0",
                "CMD RETR 0"}));
        QCOMPARE(log.lines().filter(QRegularExpression("^\"?>> (End|Set)")),
            QStringList({">> Set certificate with common name:  QList(\"Zendra Test Root CA\")",
                ">> Set activate ssl to:  false", "\">> End ftp session to host localhost\"",
                "\">> End ftp session to host nowhere\""}));
    }

    void faultsEndWithOneCallbackAndTheQueueGoesOn_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("url"); // a path on the server, or a URL with "://", or none
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("code");
        const auto row
            = [](const char *tag, const char *fault, const QString &url, const char *file,
                  int code) { QTest::newRow(tag) << fault << url << file << code; };
        row("nothing listening", "stopped", "data.bin", "", 7);
        row("login refused", "intruder", "data.bin", "", 67);
        row("server killed mid-transfer", "killed", "data.bin", "", 18);
        row("data connection dropped", "dropped", "data.bin", "", 18);
        row("dropped, into a file", "dropped", "data.bin", "partial", 18);
        row("local file on a full device", "", "data.bin", "/dev/full", 23);
        // No transfer is attempted, so no libcurl code and no warning.
        row("local directory missing", "", "data.bin", "gone/file", -1);
        row("empty URL", "", "", "", 3);
        row("not an FTP URL", "", "nonsense://127.0.0.1/data.bin", "", 1);
        row("huge URL", "", "data.bin?" + QString(9 << 20, 'x'), "", 3);
    }
    void faultsEndWithOneCallbackAndTheQueueGoesOn()
    {
        QFETCH(QString, fault);
        QFETCH(QString, url);
        QFETCH(QString, file);
        QFETCH(int, code);
        FtpServer::Options options;
        options.dropDataAfter = fault == "dropped" ? 5000 : -1;
        options.stallDataAfter = fault == "killed" ? 5000 : -1;
        const auto server = FtpServer::started(options);
        const auto next = FtpServer::started();
        // Larger than the file buffer, so a full device fails during the transfer.
        const QByteArray content = FtpServer::testData(256 * 1024);
        QVERIFY(server && next && server->writeFile("data.bin", content)
            && next->writeFile("next", "next"));
        QTemporaryDir local;
        const QString path = file.isEmpty() || file.startsWith('/') ? file : local.filePath(file);
        url = url.isEmpty() || url.contains("://") ? url : server->url("ftp", url);
        if (fault == "stopped")
            server->stop();
        FtpService service;
        next->logIn(service);
        LogCapture log;
        Answers answers;
        // Before and after it, a request that succeeds, so that the faulty one meets a used handle.
        service.downloadFile(next->url("ftp", "next"), answers.callback(service));
        service.downloadFile(
            url, answers.callback(service), path, fault == "intruder" ? fault : "");
        service.downloadFile(next->url("ftp", "next"), answers.callback(service));
        if (fault == "killed") {
            QTRY_VERIFY_WITH_TIMEOUT(server->count("STALL"), 10000);
            server->kill();
        }
        QVERIFY(answers.wait(3));
        QVERIFY(!QTest::qWaitFor([&] { return answers.data.size() > 3; }, 200));
        // The bytes received so far, into memory; into a file, none.
        const bool partial = path.isEmpty() && (fault == "killed" || fault == "dropped");
        QCOMPARE(
            answers.data, QList<QByteArray>({"next", partial ? content.left(5000) : "", "next"}));
        QCOMPARE(answers.results[1].code(), code);
        QVERIFY(!answers.results[1].errorString().isEmpty() && answers.results[2].isSuccess());
        const QString warning = requestLine(path.isEmpty() ? "DOWNLOADFILE" : "DOWNLOADINFILE", url)
            + QStringLiteral(" finished with error  %1 ").arg(code);
        const QStringList warnings = log.lines(QtWarningMsg);
        QCOMPARE(warnings.size(), code == -1 ? 0 : 1);
        QVERIFY(code == -1 || warnings.first().startsWith(warning));
        QFile partialFile(path);
        QVERIFY(!path.endsWith("partial")
            || (partialFile.open(QIODevice::ReadOnly)
                && partialFile.readAll() == content.left(5000)));
    }

    void destructionLeavesNoCallbackAndNoThread_data()
    {
        QTest::addColumn<QString>("moment");
        QTest::newRow("right after construction") << "construction";
        QTest::newRow("during a transfer") << "transfer";
        QTest::newRow("while a certificate repetition waits") << "repetition";
    }
    void destructionLeavesNoCallbackAndNoThread()
    {
        QFETCH(QString, moment);
        FtpServer::Options options;
        options.stallDataAfter = moment == "transfer" ? 5000 : -1;
        const auto server = moment == "repetition" ? tlsServer(FtpServer::Tls::Required)
                                                   : FtpServer::started(options);
        QVERIFY(server && server->writeFile("data.bin", FtpServer::testData(1 << 20)));
        const int threads = threadCount();
        int callbacks = 0;
        bool repeating = false;
        auto service = std::make_unique<FtpService>();
        server->logIn(*service);
        connect(FtpServiceTestAccess::worker(*service), &FtpWorker::certificateUpdateRequired, this,
            [&] { repeating = true; });
        for (int i = 0; i < 3; ++i)
            service->downloadFile(
                server->url("ftp", "data.bin"), [&](const QByteArray &) { ++callbacks; });
        QTRY_VERIFY_WITH_TIMEOUT(moment != "transfer" || server->count("STALL"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(moment != "repetition" || repeating, 10000);
        const int connections = server->count("CONNECT");
        service.reset();
        // The stalled transfer ends when the server goes.
        if (moment == "transfer")
            server->stop();
        QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threads, 20000);
        QVERIFY(!QTest::qWaitFor([&] { return callbacks > 0; }, 700));
        QVERIFY(moment != "repetition" || server->count("CONNECT") == connections);
    }

    void twoServicesDownloadingAtOnceGetTheirOwnBytes()
    {
        const auto server = FtpServer::started();
        const QByteArray first = FtpServer::testData(16 << 20, 1);
        const QByteArray second = FtpServer::testData(16 << 20, 2);
        QVERIFY(server && server->writeFile("first", first) && server->writeFile("second", second));
        // Two workers, each on its thread, writing their transfers at the same time.
        FtpService a;
        FtpService b;
        server->logIn(a);
        server->logIn(b);
        Answers fromA;
        Answers fromB;
        for (int i = 0; i < 2; ++i) {
            a.downloadFile(server->url("ftp", "first"), fromA.callback(a));
            b.downloadFile(server->url("ftp", "second"), fromB.callback(b));
        }
        QVERIFY(fromA.wait(2) && fromB.wait(2));
        QVERIFY(fromA.data == QList<QByteArray>(2, first)
            && fromB.data == QList<QByteArray>(2, second));
    }

    void hostReturningFromMainExitsCleanly_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("small file") << "small";
        QTest::newRow("large file") << "large";
        QTest::newRow("missing file") << "missing";
    }
    void hostReturningFromMainExitsCleanly()
    {
        QFETCH(QString, file);
        const auto server = FtpServer::started();
        QVERIFY(server && server->writeFile("small", "small")
            && server->writeFile("large", FtpServer::testData(64 << 20)));
        QProcess host;
        host.setProcessChannelMode(QProcess::MergedChannels);
        host.start(QCoreApplication::applicationFilePath(), {"--host", server->url("ftp", file)});
        QVERIFY(host.waitForFinished(60000));
        const QByteArray output = host.readAll();
        // The service went before any answer could reach it.
        QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0
                && !output.contains("QThread") && !output.contains("callback"),
            output.constData());
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    // A host that queues one request and returns from main at once: the service, and right after
    // it the application object, go while the request may still be on its way.
    if (argc == 3 && qstrcmp(argv[1], "--host") == 0) {
        FtpService service;
        service.downloadFile(argv[2], [](const QByteArray &) { std::puts("callback"); });
        return 0;
    }
    TestFtpService test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ftpservice.moc"
