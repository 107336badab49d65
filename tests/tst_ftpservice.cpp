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

    // Each request between two that succeed: exactly one callback, with the bytes received so far
    // (into a file: none) and its outcome, one log line that says how it ended, and the queue
    // goes on.
    void everyRequestEndsWithOneCallback_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("url"); // a path on the server ("" lists), a URL, or "none"
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("code");
        const auto row
            = [](const char *tag, const char *fault, const QString &url, const char *file, int size,
                  int code) { QTest::newRow(tag) << fault << url << file << size << code; };
        row("into memory, empty", "", "data.bin", "", 0, 0);
        row("into memory, 8 MiB", "", "data.bin", "", 8 << 20, 0);
        // A Latin-1 letter tells the path's Latin-1 bytes from its UTF-8 ones; the size is no
        // multiple of a block, so the tail waits in a buffer until the file is closed.
        row("into a file", "", "data.bin", "r\u00e9sultat", 200 * 1024 + 123, 0);
        row("listing", "", "", "", 1000, 0);
        row("nothing listening", "stopped", "data.bin", "", 1000, 7);
        row("login refused", "intruder", "data.bin", "", 1000, 67);
        // Larger than the file buffer, so that a full device fails during the transfer.
        const int size = 256 * 1024;
        row("server killed mid-transfer", "killed", "data.bin", "", size, 18);
        row("data connection dropped", "dropped", "data.bin", "", size, 18);
        row("dropped, into a file", "dropped", "data.bin", "partial", size, 18);
        row("local file on a full device", "", "data.bin", "/dev/full", size, 23);
        // No transfer is attempted, so there is no libcurl code and no warning.
        row("local directory missing", "", "data.bin", "gone/file", size, -1);
        row("empty URL", "", "none", "", 0, 3);
        row("not an FTP URL", "", "nonsense://127.0.0.1/data.bin", "", 0, 1);
        row("huge URL", "", "data.bin?" + QString(9 << 20, 'x'), "", 0, 3);
    }
    void everyRequestEndsWithOneCallback()
    {
        QFETCH(QString, fault);
        QFETCH(QString, url);
        QFETCH(QString, file);
        QFETCH(int, size);
        QFETCH(int, code);
        FtpServer::Options options;
        options.dropDataAfter = fault == "dropped" ? 5000 : -1;
        options.stallDataAfter = fault == "killed" ? 5000 : -1;
        const auto server = FtpServer::started(options);
        const auto next = FtpServer::started();
        const QByteArray content = FtpServer::testData(size);
        QVERIFY(server && next && server->writeFile("data.bin", content)
            && server->writeFile("sub/b", "") && next->writeFile("next", "next"));
        QTemporaryDir local;
        const QString path = file.isEmpty() || file.startsWith('/') ? file : local.filePath(file);
        url = url == "none" ? "" : url.contains("://") ? url : server->url("ftp", url);
        if (fault == "stopped")
            server->stop();
        FtpService service;
        next->logIn(service);
        // What is on disk when the worker answers, on its own thread.
        std::atomic<qint64> sizeAtAnswer {-1};
        connect(
            FtpServiceTestAccess::worker(service), &FtpWorker::requestFinished, this,
            [&] { sizeAtAnswer = QFileInfo(path).size(); }, Qt::DirectConnection);
        LogCapture log;
        Answers answers;
        service.downloadFile(next->url("ftp", "next"), answers.callback(service));
        if (url.endsWith('/')) {
            service.listDirectory(url, [&](const QList<FtpFileInfo> &entries) {
                QStringList names;
                for (const FtpFileInfo &entry : entries)
                    names << entry.name() + ' ' + QString::number(entry.type() ? -1 : entry.size());
                answers.callback(service)(names.join(',').toUtf8());
            });
        } else {
            service.downloadFile(
                url, answers.callback(service), path, fault == "intruder" ? fault : "");
        }
        service.downloadFile(next->url("ftp", "next"), answers.callback(service));
        if (fault == "killed") {
            QTRY_VERIFY_WITH_TIMEOUT(server->count("STALL"), 10000);
            server->kill();
        }
        QVERIFY(answers.wait(3));
        QVERIFY(!QTest::qWaitFor([&] { return answers.data.size() > 3; }, 200));
        const bool partial = path.isEmpty() && (fault == "killed" || fault == "dropped");
        const QByteArray data = url.endsWith('/') ? "data.bin 1000,sub -1"
            : code != 0                           ? (partial ? content.left(5000) : "")
            : path.isEmpty()                      ? content
                                                  : path.toLatin1();
        QVERIFY(answers.data == QList<QByteArray>({"next", data, "next"}));
        const FtpResult result = answers.results[1];
        QCOMPARE(result.code(), code);
        QVERIFY(result.isSuccess() == (code == 0) && result.errorString().isEmpty() == (code == 0));
        QVERIFY(result.url() == url && answers.results[2].isSuccess());
        QFile written(path);
        QVERIFY(path.isEmpty() || code == -1 || code == 23
            || (written.open(QIODevice::ReadOnly)
                && written.readAll() == (code ? content.left(5000) : content)
                && sizeAtAnswer == written.size()));
        const QString name = url.endsWith('/') ? "LISTDIRECTORY"
            : path.isEmpty()                   ? "DOWNLOADFILE"
                                               : "DOWNLOADINFILE";
        QCOMPARE(log.lines(QtDebugMsg).count(requestLine(name, url)), 1);
        const QStringList ends = (code == 0 ? log.lines(QtInfoMsg) : log.lines(QtWarningMsg))
                                     .filter(requestLine(name, url));
        QCOMPARE(ends.size(), code == -1 ? 0 : 1);
        QVERIFY(code == -1
            || ends.first().startsWith(requestLine(name, url)
                + (code ? QStringLiteral(" finished with error  %1 ").arg(code)
                        : " finished with success")));
        QCOMPARE(log.lines(QtWarningMsg).size(), code > 0 ? 1 : 0);
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
