// SPDX-License-Identifier: MIT
// FtpService: its meta-object, its job queue driven by hand, and whole requests against a real
// FTP server on loopback.
#include "ftpserver.h"
#include "ftpservice.h"
#include "ftpservicetestaccess.h"
#include "logcapture.h"
#include "testcertificates.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

using zendra::FtpFileInfo;
using zendra::FtpService;

namespace {

// One request as the service hands it to the worker.
struct Request
{
    QString kind;
    QString url;
    QString username;
    QString password;
    QUuid id;
    QString filePath;
    QThread *thread;
};

// Cuts the service off from its worker and records what it would have sent, so that the test
// plays the worker and answers by hand.
class Recorder
{
public:
    explicit Recorder(FtpService *service) : m_service(service)
    {
        QObject::disconnect(service, nullptr, nullptr, nullptr);
        QObject::connect(
            service, &FtpService::download, service,
            [this](const QString &url, const QString &username, const QString &password,
                const QUuid &id) { record("download", url, username, password, id, QString()); },
            Qt::DirectConnection);
        QObject::connect(
            service, &FtpService::downloadInFile, service,
            [this](const QString &url, const QString &username, const QString &password,
                const QUuid &id, const QString &filePath) {
                record("downloadInFile", url, username, password, id, filePath);
            },
            Qt::DirectConnection);
        QObject::connect(
            service, &FtpService::listDir, service,
            [this](const QString &url, const QString &username, const QString &password,
                const QUuid &id) { record("listDir", url, username, password, id, QString()); },
            Qt::DirectConnection);
    }

    QList<Request> requests() const
    {
        QMutexLocker locker(&m_mutex);
        return m_requests;
    }
    int count() const { return requests().count(); }
    Request last() const { return requests().constLast(); }

    // Plays the worker's answer to the request in flight.
    bool answer(const QUuid &id, const QByteArray &data)
    {
        zendra::FtpServiceTestAccess::onRequestFinished(*m_service, id, data);
        return true;
    }

    QStringList *events = nullptr;

private:
    void record(const QString &kind, const QString &url, const QString &username,
        const QString &password, const QUuid &id, const QString &filePath)
    {
        QMutexLocker locker(&m_mutex);
        m_requests.append({kind, url, username, password, id, filePath, QThread::currentThread()});
        if (events)
            events->append(QStringLiteral("sent %1").arg(url));
    }

    FtpService *m_service;
    mutable QMutex m_mutex;
    QList<Request> m_requests;
};

const QByteArray listingReply = "type=cdir;unique=1;modify=20240131235959; .\r\n"
                                "type=pdir;unique=2; ..\r\n"
                                "type=file;size=4;unique=3;UNIX.mode=0644; a.txt\r\n"
                                "type=dir;unique=4; sub\r\n"
                                "type=file;size=5; no-unique.txt\r\n"
                                "type=OS.unix=slink:/x;unique=5; link\r\n"
                                "\r\n";

QStringList names(const QList<FtpFileInfo> &entries)
{
    QStringList result;
    for (const FtpFileInfo &entry : entries)
        result.append(entry.name());
    return result;
}

// Threads of this process, the worker's among them.
int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

// The server's credentials as the service's defaults.
void logIn(FtpService &service, const FtpServer &server)
{
    service.setCredentials(
        server.user(), server.password(), [](const QString &text) { return text; });
}

} // namespace

class TestFtpService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void metaObjectMatchesTheDeclaredInterface();
    void requestsLeaveOneAtATimeInQueueOrder();
    void callbackThatQueuesARequestGetsItSent();
    void strayAnswerDropsTheHeadJobWithoutItsCallback();
    void answerOnAnEmptyQueueChangesNothing();
    void listingKeepsValidEntriesOfTheRequestedType_data();
    void listingKeepsValidEntriesOfTheRequestedType();
    void listingWithoutCallbackIsDiscarded();
    void jobsKeepTheCredentialsOfTheirQueuingTime();
    void emptyTransformThrowsAndKeepsTheCredentials();
    void endSessionLogsAndClosesTheHandler_data();
    void endSessionLogsAndClosesTheHandler();
    void requestsQueuedFromOtherThreadsLeaveInOrderOneAtATime();
    void destructionDropsQueuedJobsWithoutCallbacks();

    void realRequestsLeaveInQueueOrderOneAtATime();
    void callbacksRunOnTheThreadThatCreatedTheService();
    void twoServicesDownloadingAtOnceGetTheirOwnBytes();
    void realListingIsFiltered_data();
    void realListingIsFiltered();
    void credentialsReachTheServerAsQueued();
    void endSessionMakesTheNextRequestConnectAnew();
    void verifyHostOffAcceptsAnotherHostsCertificate();
    void activateSslDecidesOnTls_data();
    void activateSslDecidesOnTls();
    void unchangedPropertiesSendNothingToTheWorker();
    void destructionWithARequestInFlightEndsTheWorker();
    void hostReturningFromMainExitsCleanly_data();
    void hostReturningFromMainExitsCleanly();

private:
    TestCertificates m_certificates;
};

void TestFtpService::initTestCase()
{
    QVERIFY2(m_certificates.create(), qPrintable(m_certificates.errorString()));
}

void TestFtpService::metaObjectMatchesTheDeclaredInterface()
{
    const QMetaObject &meta = FtpService::staticMetaObject;
    QCOMPARE(meta.className(), "zendra::FtpService");
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);

    QCOMPARE(meta.classInfoCount() - meta.classInfoOffset(), 1);
    const QMetaClassInfo info = meta.classInfo(meta.classInfoOffset());
    QCOMPARE(info.name(), "QML.Element");
    QCOMPARE(info.value(), "auto");

    struct Method
    {
        QMetaMethod::MethodType type;
        QMetaMethod::Access access;
        QByteArray signature;
        QList<QByteArray> parameterNames;
    };
    const QList<QByteArray> request {"url", "username", "password", "id"};
    const QList<Method> expected {
        {QMetaMethod::Signal, QMetaMethod::Public,
            "refreshCertificate(QString,QString,QString,QUuid)", request},
        {QMetaMethod::Signal, QMetaMethod::Public, "download(QString,QString,QString,QUuid)",
            request},
        {QMetaMethod::Signal, QMetaMethod::Public,
            "downloadInFile(QString,QString,QString,QUuid,QString)",
            request + QList<QByteArray> {"filePath"}},
        {QMetaMethod::Signal, QMetaMethod::Public, "listDir(QString,QString,QString,QUuid)",
            request},
        {QMetaMethod::Signal, QMetaMethod::Public, "setCertificate(QString)", {"filePath"}},
        {QMetaMethod::Signal, QMetaMethod::Public, "closeHandler(QString)", {"key"}},
        {QMetaMethod::Signal, QMetaMethod::Public, "verifyPeerChanged(bool)", {"verify"}},
        {QMetaMethod::Signal, QMetaMethod::Public, "verifyHostChanged(bool)", {"verify"}},
        {QMetaMethod::Signal, QMetaMethod::Public, "activateSslChanged(bool)", {"activate"}},
        {QMetaMethod::Slot, QMetaMethod::Private, "onRequestFinished(QUuid,QByteArray)",
            {"id", "data"}},
        {QMetaMethod::Slot, QMetaMethod::Private, "updateCertificate(QList<CertificateInfo>)",
            {"certificates"}},
    };
    QCOMPARE(meta.methodCount() - meta.methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected.at(i).signature);
        QCOMPARE(method.methodType(), expected.at(i).type);
        QCOMPARE(method.access(), expected.at(i).access);
        QCOMPARE(method.parameterNames(), expected.at(i).parameterNames);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
    }

    const QList<QByteArray> properties {"verifyPeer", "verifyHost", "activateSsl"};
    const QList<QByteArray> notifiers {
        "verifyPeerChanged(bool)", "verifyHostChanged(bool)", "activateSslChanged(bool)"};
    QCOMPARE(meta.propertyCount() - meta.propertyOffset(), properties.size());
    for (int i = 0; i < properties.size(); ++i) {
        const QMetaProperty property = meta.property(meta.propertyOffset() + i);
        QCOMPARE(property.name(), properties.at(i));
        QCOMPARE(property.metaType(), QMetaType::fromType<bool>());
        QVERIFY(property.isReadable());
        QVERIFY(property.isWritable());
        QVERIFY(property.isDesignable());
        QVERIFY(property.isScriptable());
        QVERIFY(property.isStored());
        QCOMPARE(property.notifySignal().methodSignature(), notifiers.at(i));
    }
    QCOMPARE(meta.enumeratorCount() - meta.enumeratorOffset(), 0);
    QCOMPARE(meta.constructorCount(), 0);

    FtpService service;
    QCOMPARE(static_cast<void *>(&service), service.qt_metacast("zendra::FtpService"));
    QCOMPARE(service.qt_metacast("Service<FtpService>"),
        static_cast<void *>(static_cast<Service<FtpService> *>(&service)));
    QCOMPARE(&Service<FtpService>::instance(), &service);
}

void TestFtpService::requestsLeaveOneAtATimeInQueueOrder()
{
    FtpService service;
    Recorder recorder(&service);
    QStringList events;
    recorder.events = &events;
    QList<FtpFileInfo> listed;

    service.downloadFile("ftp://127.0.0.1/one",
        [&](const QByteArray &data) { events.append("callback one " + data); });
    service.downloadFile(
        "ftp://127.0.0.1/two",
        [&](const QByteArray &data) { events.append("callback two " + data); }, "/tmp/two.bin");
    service.listDirectory("ftp://127.0.0.1/three/", [&](const QList<FtpFileInfo> &entries) {
        events.append("callback three");
        listed = entries;
    });
    QCoreApplication::processEvents();

    QCOMPARE(events, QStringList {"sent ftp://127.0.0.1/one"});
    QCOMPARE(recorder.last().kind, "download");

    QVERIFY(recorder.answer(recorder.last().id, "1"));
    QCOMPARE(events,
        QStringList({"sent ftp://127.0.0.1/one", "callback one 1", "sent ftp://127.0.0.1/two"}));
    QCOMPARE(recorder.last().kind, "downloadInFile");
    QCOMPARE(recorder.last().filePath, "/tmp/two.bin");

    QVERIFY(recorder.answer(recorder.last().id, "/tmp/two.bin"));
    QCOMPARE(recorder.last().kind, "listDir");
    QVERIFY(recorder.answer(recorder.last().id, listingReply));
    QCoreApplication::processEvents();
    QCOMPARE(events,
        QStringList({"sent ftp://127.0.0.1/one", "callback one 1", "sent ftp://127.0.0.1/two",
            "callback two /tmp/two.bin", "sent ftp://127.0.0.1/three/", "callback three"}));
    QCOMPARE(names(listed), QStringList({".", "..", "a.txt", "sub"}));
    QCOMPARE(recorder.count(), 3);
}

void TestFtpService::callbackThatQueuesARequestGetsItSent()
{
    FtpService service;
    Recorder recorder(&service);
    int innerCalls = 0;
    service.downloadFile("ftp://127.0.0.1/outer", [&](const QByteArray &) {
        service.downloadFile("ftp://127.0.0.1/inner", [&](const QByteArray &) { ++innerCalls; });
    });
    QCOMPARE(recorder.count(), 1);
    QVERIFY(recorder.answer(recorder.last().id, QByteArray()));
    QCoreApplication::processEvents();
    QCOMPARE(recorder.count(), 2);
    QCOMPARE(recorder.last().url, "ftp://127.0.0.1/inner");

    QVERIFY(recorder.answer(recorder.last().id, QByteArray()));
    QCOMPARE(innerCalls, 1);
    QCoreApplication::processEvents();
    QCOMPARE(recorder.count(), 2);
}

void TestFtpService::strayAnswerDropsTheHeadJobWithoutItsCallback()
{
    FtpService service;
    Recorder recorder(&service);
    QStringList called;
    service.downloadFile("ftp://127.0.0.1/a", [&](const QByteArray &) { called << "a"; });
    service.downloadFile("ftp://127.0.0.1/b", [&](const QByteArray &) { called << "b"; });

    QVERIFY(recorder.answer(QUuid::createUuid(), "stray"));
    QVERIFY(called.isEmpty());
    QCOMPARE(recorder.count(), 2);
    QCOMPARE(recorder.last().url, "ftp://127.0.0.1/b");

    QVERIFY(recorder.answer(recorder.last().id, "b"));
    QCOMPARE(called, QStringList {"b"});
}

void TestFtpService::answerOnAnEmptyQueueChangesNothing()
{
    FtpService service;
    Recorder recorder(&service);
    QVERIFY(recorder.answer(QUuid::createUuid(), "nobody"));
    QCOMPARE(recorder.count(), 0);

    int calls = 0;
    service.downloadFile("ftp://127.0.0.1/later", [&](const QByteArray &) { ++calls; });
    QCOMPARE(recorder.count(), 1);
    QVERIFY(recorder.answer(recorder.last().id, QByteArray()));
    QCOMPARE(calls, 1);
}

void TestFtpService::listingKeepsValidEntriesOfTheRequestedType_data()
{
    QTest::addColumn<FtpFileInfo::FileType>("type");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("all") << FtpFileInfo::All << listingReply
                         << QStringList({".", "..", "a.txt", "sub"});
    QTest::newRow("file") << FtpFileInfo::File << listingReply << QStringList {"a.txt"};
    QTest::newRow("dir") << FtpFileInfo::Dir << listingReply << QStringList {"sub"};
    QTest::newRow("cdir") << FtpFileInfo::CurrentDir << listingReply << QStringList {"."};
    QTest::newRow("pdir") << FtpFileInfo::ParentDir << listingReply << QStringList {".."};
    QTest::newRow("no type") << FtpFileInfo::NoType << listingReply << QStringList();
    QTest::newRow("lf only") << FtpFileInfo::All
                             << QByteArray("type=file;unique=9; x\ntype=dir;unique=8; y")
                             << QStringList({"x", "y"});
    QTest::newRow("empty reply") << FtpFileInfo::All << QByteArray() << QStringList();
}

void TestFtpService::listingKeepsValidEntriesOfTheRequestedType()
{
    QFETCH(FtpFileInfo::FileType, type);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, expected);

    FtpService service;
    Recorder recorder(&service);
    int calls = 0;
    QList<FtpFileInfo> listed;
    service.listDirectory(
        "ftp://127.0.0.1/dir/",
        [&](const QList<FtpFileInfo> &entries) {
            ++calls;
            listed = entries;
        },
        type);
    QCOMPARE(recorder.last().kind, "listDir");
    QVERIFY(recorder.answer(recorder.last().id, reply));
    QCOMPARE(calls, 1);
    QCOMPARE(names(listed), expected);
    for (const FtpFileInfo &entry : std::as_const(listed))
        QVERIFY(entry.isValid());
}

void TestFtpService::listingWithoutCallbackIsDiscarded()
{
    FtpService service;
    Recorder recorder(&service);
    service.listDirectory("ftp://127.0.0.1/dir/", {});
    int calls = 0;
    service.downloadFile("ftp://127.0.0.1/next", [&](const QByteArray &) { ++calls; });
    QVERIFY(recorder.answer(recorder.last().id, listingReply));
    QCOMPARE(recorder.count(), 2);
    QCOMPARE(recorder.last().url, "ftp://127.0.0.1/next");
    QVERIFY(recorder.answer(recorder.last().id, QByteArray()));
    QCOMPARE(calls, 1);
}

void TestFtpService::jobsKeepTheCredentialsOfTheirQueuingTime()
{
    FtpService service;
    Recorder recorder(&service);
    service.setCredentials("alice", "secret", [](const QString &text) { return text.toUpper(); });
    service.downloadFile("ftp://127.0.0.1/a", {});
    service.downloadFile("ftp://127.0.0.1/b", {}, QString(), "bob");
    service.listDirectory("ftp://127.0.0.1/c/", [](const QList<FtpFileInfo> &) {});
    service.setCredentials("carol", "other", [](const QString &text) { return text; });
    service.downloadFile("ftp://127.0.0.1/d", {});

    QList<QStringList> seen;
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(recorder.count(), i + 1);
        const Request request = recorder.last();
        seen.append({request.url, request.username, request.password});
        QVERIFY(recorder.answer(request.id, QByteArray()));
    }
    QCOMPARE(seen,
        QList<QStringList>({{"ftp://127.0.0.1/a", "ALICE", "SECRET"},
            {"ftp://127.0.0.1/b", "bob", "SECRET"}, {"ftp://127.0.0.1/c/", "ALICE", "SECRET"},
            {"ftp://127.0.0.1/d", "carol", "other"}}));
}

void TestFtpService::emptyTransformThrowsAndKeepsTheCredentials()
{
    FtpService service;
    Recorder recorder(&service);
    service.setCredentials("alice", "secret", [](const QString &text) { return text; });
    QVERIFY_THROWS_EXCEPTION(std::bad_function_call,
        service.setCredentials("mallory", "guess", std::function<QString(const QString &)>()));
    service.downloadFile("ftp://127.0.0.1/a", {});
    QCOMPARE(recorder.last().username, "alice");
    QCOMPARE(recorder.last().password, "secret");
}

void TestFtpService::endSessionLogsAndClosesTheHandler_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("line");
    QTest::newRow("ftp") << "ftp"
                         << "127.0.0.1"
                         << "\">> End ftp session to host 127.0.0.1\"";
    QTest::newRow("ftps") << "ftps"
                          << "files.example.org"
                          << "\">> End ftps session to host files.example.org\"";
}

void TestFtpService::endSessionLogsAndClosesTheHandler()
{
    QFETCH(QString, scheme);
    QFETCH(QString, host);
    QFETCH(QString, line);

    FtpService service;
    QSignalSpy closed(&service, &FtpService::closeHandler);
    LogCapture log;
    service.endSession(scheme, host);

    const QList<LogCapture::Entry> entries = log.entries();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.at(0).type, QtInfoMsg);
    QCOMPARE(entries.at(0).message, line);
    QVERIFY(!entries.at(0).hasContext);
    QCOMPARE(closed.count(), 1);
    QCOMPARE(closed.at(0).at(0).toString(), scheme + '/' + host);
}

void TestFtpService::requestsQueuedFromOtherThreadsLeaveInOrderOneAtATime()
{
    constexpr int threads = 3;
    constexpr int perThread = 20;
    FtpService service;
    Recorder recorder(&service);
    std::atomic<int> wrongCallbacks {0};
    QHash<QString, int> callbacks;

    std::vector<std::thread> queuers;
    for (int t = 0; t < threads; ++t) {
        queuers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const QString url = QStringLiteral("ftp://127.0.0.1/t%1/%2").arg(t).arg(i);
                service.downloadFile(url, [&, url](const QByteArray &data) {
                    if (QThread::currentThread() != service.thread() || data != url.toUtf8())
                        ++wrongCallbacks;
                    ++callbacks[url];
                });
            }
        });
    }

    int answered = 0;
    while (answered < threads * perThread) {
        QTRY_VERIFY_WITH_TIMEOUT(recorder.count() > answered, 5000);
        // Only the request in flight has left the queue.
        QCOMPARE(recorder.count(), answered + 1);
        const Request request = recorder.last();
        QCOMPARE(request.thread, service.thread());
        QVERIFY(recorder.answer(request.id, request.url.toUtf8()));
        ++answered;
    }
    for (std::thread &queuer : queuers)
        queuer.join();
    QCoreApplication::processEvents();
    QCOMPARE(recorder.count(), threads * perThread);

    QList<int> next(threads, 0);
    for (const Request &request : recorder.requests()) {
        const QStringList parts = QUrl(request.url).path().split('/', Qt::SkipEmptyParts);
        const int t = parts.at(0).mid(1).toInt();
        QCOMPARE(parts.at(1).toInt(), next[t]);
        ++next[t];
    }
    QCOMPARE(callbacks.size(), threads * perThread);
    for (int count : std::as_const(callbacks))
        QCOMPARE(count, 1);
    QCOMPARE(wrongCallbacks.load(), 0);
}

void TestFtpService::destructionDropsQueuedJobsWithoutCallbacks()
{
    int calls = 0;
    {
        FtpService service;
        Recorder recorder(&service);
        for (int i = 0; i < 3; ++i)
            service.downloadFile("ftp://127.0.0.1/f", [&](const QByteArray &) { ++calls; });
        service.listDirectory("ftp://127.0.0.1/", [&](const QList<FtpFileInfo> &) { ++calls; });
        QCOMPARE(recorder.count(), 1);
        QVERIFY(Service<FtpService>::hasInstance());
    }
    QCoreApplication::processEvents();
    QCOMPARE(calls, 0);
    QVERIFY(!Service<FtpService>::hasInstance());
}

void TestFtpService::realRequestsLeaveInQueueOrderOneAtATime()
{
    const auto server = FtpServer::started();
    QVERIFY(server);
    for (int i = 0; i < 4; ++i)
        QVERIFY(
            server->writeFile(QStringLiteral("f%1.txt").arg(i), "file " + QByteArray::number(i)));
    QVERIFY(server->writeFile("dir/inner.txt", "inner"));
    QTemporaryDir local;
    QVERIFY(local.isValid());
    const QString localFile = local.filePath("f1.copy");

    FtpService service;
    logIn(service, *server);
    LogCapture log;
    QStringList done;
    QList<QThread *> threads;
    const auto url = [&](const QString &path) { return server->url("ftp", path); };
    const auto note = [&](const QString &text) {
        done.append(text);
        threads.append(QThread::currentThread());
    };

    service.downloadFile(url("f0.txt"), [&](const QByteArray &data) {
        note("f0 " + data);
        // Queued from inside a callback: it goes to the end of the queue.
        service.downloadFile(url("f3.txt"), [&](const QByteArray &data) { note("f3 " + data); });
    });
    service.listDirectory(url("/"),
        [&](const QList<FtpFileInfo> &entries) { note("list / " + names(entries).join(',')); });
    service.downloadFile(
        url("f1.txt"), [&](const QByteArray &data) { note("f1 " + data); }, localFile);
    service.listDirectory(url("dir/"),
        [&](const QList<FtpFileInfo> &entries) { note("list dir " + names(entries).join(',')); });
    service.downloadFile(url("f2.txt"), [&](const QByteArray &data) { note("f2 " + data); });

    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 6, 20000);
    QStringList rootNames {"dir", "f0.txt", "f1.txt", "f2.txt", "f3.txt"};
    QStringList sortedRoot = done.at(1).mid(7).split(',');
    sortedRoot.sort();
    QCOMPARE(sortedRoot, rootNames);
    done[1] = "list /";
    QCOMPARE(done,
        QStringList({"f0 file 0", "list /", "f1 " + localFile, "list dir inner.txt", "f2 file 2",
            "f3 file 3"}));
    for (QThread *thread : std::as_const(threads))
        QCOMPARE(thread, QThread::currentThread());
    QFile copy(localFile);
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), QByteArray("file 1"));

    // One cached connection served the requests, one after the other, in queue order.
    QCOMPARE(server->connectionCount(), 1);
    QStringList transfers;
    const QList<FtpServer::Session> sessions = server->sessions();
    for (const FtpServer::Command &command : sessions.first().commands) {
        if (command.name == "RETR" || command.name == "MLSD")
            transfers.append(command.name);
    }
    QCOMPARE(transfers, QStringList({"RETR", "MLSD", "RETR", "MLSD", "RETR", "RETR"}));
    // The worker never started a request before the previous one had finished.
    QStringList requestLines;
    for (const QString &line : log.messages()) {
        if (line.startsWith(">> [FTP "))
            requestLines.append(line.endsWith(" finished with success") ? "end" : "start");
    }
    QCOMPARE(requestLines.size(), 12);
    for (int i = 0; i < requestLines.size(); ++i)
        QCOMPARE(requestLines.at(i), i % 2 ? "end" : "start");
}

void TestFtpService::callbacksRunOnTheThreadThatCreatedTheService()
{
    const auto server = FtpServer::started();
    QVERIFY(server);
    QVERIFY(server->writeFile("a.txt", "payload"));
    QThread owner;
    owner.start();
    QObject context;
    context.moveToThread(&owner);
    FtpService *service = nullptr;
    QMetaObject::invokeMethod(
        &context,
        [&] {
            service = new FtpService;
            logIn(*service, *server);
        },
        Qt::BlockingQueuedConnection);

    QMutex mutex;
    QList<QThread *> threads;
    QByteArrayList received;
    // Queued from this thread; sent and answered on the owner's.
    for (int i = 0; i < 3; ++i) {
        service->downloadFile(server->url("ftp", "a.txt"), [&](const QByteArray &data) {
            QMutexLocker locker(&mutex);
            threads.append(QThread::currentThread());
            received.append(data);
        });
    }
    QTRY_COMPARE_WITH_TIMEOUT(
        [&] {
            QMutexLocker locker(&mutex);
            return received.size();
        }(),
        3, 10000);
    QMetaObject::invokeMethod(
        &context,
        [&] {
            delete service;
            context.moveToThread(QCoreApplication::instance()->thread());
        },
        Qt::BlockingQueuedConnection);
    owner.quit();
    QVERIFY(owner.wait(10000));
    QCOMPARE(threads, QList<QThread *>(3, &owner));
    QCOMPARE(received, QByteArrayList(3, "payload"));
    QCOMPARE(server->connectionCount(), 1);
}

void TestFtpService::twoServicesDownloadingAtOnceGetTheirOwnBytes()
{
    const auto server = FtpServer::started();
    QVERIFY(server);
    const QByteArray first = FtpServer::testData(24 << 20, 1);
    const QByteArray second = FtpServer::testData(24 << 20, 2);
    QVERIFY(server->writeFile("first.bin", first));
    QVERIFY(server->writeFile("second.bin", second));
    // Two workers, each on its thread, writing their transfers at the same time.
    FtpService a;
    FtpService b;
    logIn(a, *server);
    logIn(b, *server);
    QByteArrayList fromA;
    QByteArrayList fromB;
    for (int i = 0; i < 3; ++i) {
        a.downloadFile(
            server->url("ftp", "first.bin"), [&](const QByteArray &data) { fromA << data; });
        b.downloadFile(
            server->url("ftp", "second.bin"), [&](const QByteArray &data) { fromB << data; });
    }
    QTRY_VERIFY_WITH_TIMEOUT(fromA.size() == 3 && fromB.size() == 3, 60000);
    QVERIFY(fromA == QByteArrayList(3, first));
    QVERIFY(fromB == QByteArrayList(3, second));
}

void TestFtpService::realListingIsFiltered_data()
{
    QTest::addColumn<FtpFileInfo::FileType>("type");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("all") << FtpFileInfo::All << QStringList({"a.txt", "b.bin", "empty", "sub"});
    QTest::newRow("file") << FtpFileInfo::File << QStringList({"a.txt", "b.bin"});
    QTest::newRow("dir") << FtpFileInfo::Dir << QStringList({"empty", "sub"});
    // This server lists neither "." nor "..".
    QTest::newRow("cdir") << FtpFileInfo::CurrentDir << QStringList();
    QTest::newRow("pdir") << FtpFileInfo::ParentDir << QStringList();
    QTest::newRow("no type") << FtpFileInfo::NoType << QStringList();
}

void TestFtpService::realListingIsFiltered()
{
    QFETCH(FtpFileInfo::FileType, type);
    QFETCH(QStringList, expected);
    const auto server = FtpServer::started();
    QVERIFY(server);
    QVERIFY(server->writeFile("a.txt", "hello"));
    QVERIFY(server->writeFile("b.bin", FtpServer::testData(1000)));
    QVERIFY(server->writeFile("sub/c.txt", "c"));
    QVERIFY(server->makeDirectory("empty"));

    FtpService service;
    logIn(service, *server);
    int calls = 0;
    QList<FtpFileInfo> listed;
    service.listDirectory(
        server->url("ftp", "/"),
        [&](const QList<FtpFileInfo> &entries) {
            ++calls;
            listed = entries;
        },
        type);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 10000);
    QStringList found = names(listed);
    found.sort();
    QCOMPARE(found, expected);
    for (const FtpFileInfo &entry : std::as_const(listed)) {
        QVERIFY(entry.isValid());
        if (entry.name() == "b.bin")
            QCOMPARE(entry.size(), 1000);
    }
}

void TestFtpService::credentialsReachTheServerAsQueued()
{
    const auto server = FtpServer::started();
    QVERIFY(server);
    QVERIFY(server->writeFile("a.txt", "payload"));
    const QString url = server->url("ftp", "a.txt");

    FtpService service;
    // The host keeps its secrets transformed; the transform restores them.
    const auto reverse = [](const QString &text) {
        QString result = text;
        std::reverse(result.begin(), result.end());
        return result;
    };
    QString user = server->user();
    QString password = server->password();
    std::reverse(user.begin(), user.end());
    std::reverse(password.begin(), password.end());
    service.setCredentials(user, password, reverse);

    QStringList answers;
    service.downloadFile(url, [&](const QByteArray &data) { answers << "default " + data; });
    service.downloadFile(
        url, [&](const QByteArray &data) { answers << "stranger " + data; }, QString(), "stranger");
    // Changed after queuing: the first two keep what they were queued with.
    service.setCredentials(server->user(), "wrong", [](const QString &text) { return text; });
    service.downloadFile(url, [&](const QByteArray &data) { answers << "wrong " + data; });
    QVERIFY_THROWS_EXCEPTION(
        std::bad_function_call, service.setCredentials(server->user(), server->password(), {}));
    service.downloadFile(url, [&](const QByteArray &data) { answers << "still wrong " + data; });

    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 4, 30000);
    QCOMPARE(answers, QStringList({"default payload", "stranger ", "wrong ", "still wrong "}));
    QCOMPARE(server->loginCount(), 1);
    QCOMPARE(server->commandCount("RETR"), 1);
    int failed = 0;
    for (const FtpServer::Session &session : server->sessions())
        failed += session.loginFailed ? 1 : 0;
    QCOMPARE(failed, 3);
}

void TestFtpService::endSessionMakesTheNextRequestConnectAnew()
{
    const auto server = FtpServer::started();
    QVERIFY(server);
    QVERIFY(server->writeFile("a.txt", "payload"));
    const QString url = server->url("ftp", "a.txt");
    FtpService service;
    logIn(service, *server);
    int calls = 0;
    const auto count = [&](const QByteArray &data) { calls += data == "payload" ? 1 : 100; };

    service.downloadFile(url, count);
    service.downloadFile(url, count);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 2, 10000);
    QCOMPARE(server->connectionCount(), 1);

    LogCapture log;
    service.endSession("ftp", "127.0.0.1");
    QCOMPARE(log.messages(QtInfoMsg), QStringList {"\">> End ftp session to host 127.0.0.1\""});
    QTRY_COMPARE_WITH_TIMEOUT(server->closedCount(), 1, 10000);
    // Another host name is another handle: ending it leaves the cached one alone.
    service.endSession("ftp", "localhost");
    service.downloadFile(url, count);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 3, 10000);
    QCOMPARE(server->connectionCount(), 2);
    QCOMPARE(server->loginCount(), 2);
    service.downloadFile(url, count);
    QTRY_COMPARE_WITH_TIMEOUT(calls, 4, 10000);
    QCOMPARE(server->connectionCount(), 2);
}

void TestFtpService::verifyHostOffAcceptsAnotherHostsCertificate()
{
    const auto server = FtpServer::started(FtpServer::tlsOptions(FtpServer::Tls::Required,
        m_certificates.otherHostChainFile(), m_certificates.otherHostKeyFile()));
    QVERIFY(server);
    QVERIFY(server->writeFile("a.txt", "over tls"));

    FtpService service;
    logIn(service, *server);
    LogCapture log;
    service.setVerifyPeer(false);
    service.setVerifyHost(false);
    QByteArray received;
    int calls = 0;
    service.downloadFile(server->url("ftp", "a.txt"), [&](const QByteArray &data) {
        ++calls;
        received = data;
    });
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 10000);
    QCOMPARE(received, QByteArray("over tls"));
    QCOMPARE(server->tlsLoginCount(), 1);
    QVERIFY(!log.contains(">> Update FTP certificate"));
    QVERIFY(service.verifyPeer() == false && service.verifyHost() == false);
}

void TestFtpService::activateSslDecidesOnTls_data()
{
    QTest::addColumn<bool>("activate");
    QTest::newRow("on") << true;
    QTest::newRow("off") << false;
}

void TestFtpService::activateSslDecidesOnTls()
{
    QFETCH(bool, activate);
    const auto server = FtpServer::started(FtpServer::tlsOptions(
        FtpServer::Tls::Allowed, m_certificates.fullChainFile(), m_certificates.serverKeyFile()));
    QVERIFY(server);
    QVERIFY(server->writeFile("a.txt", "either way"));

    FtpService service;
    logIn(service, *server);
    QSignalSpy changed(&service, &FtpService::activateSslChanged);
    service.setVerifyPeer(false);
    service.setActivateSsl(activate);
    QCOMPARE(changed.count(), activate ? 0 : 1);
    int calls = 0;
    service.downloadFile(server->url("ftp", "a.txt"),
        [&](const QByteArray &data) { calls += data == "either way" ? 1 : 100; });
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 10000);
    QCOMPARE(server->loginCount(), 1);
    QCOMPARE(server->tlsLoginCount(), activate ? 1 : 0);
}

void TestFtpService::unchangedPropertiesSendNothingToTheWorker()
{
    FtpService service;
    LogCapture log;
    QSignalSpy peer(&service, &FtpService::verifyPeerChanged);
    QSignalSpy host(&service, &FtpService::verifyHostChanged);
    QSignalSpy ssl(&service, &FtpService::activateSslChanged);
    service.setVerifyPeer(true);
    service.setVerifyHost(true);
    service.setActivateSsl(true);
    service.setActivateSsl(false);
    // Queued in order: once the last change has arrived, nothing else was sent before it.
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(">> Set activate ssl to:  false"), 5000);
    QCOMPARE(log.messages(), QStringList {">> Set activate ssl to:  false"});
    QCOMPARE(peer.count(), 0);
    QCOMPARE(host.count(), 0);
    QCOMPARE(ssl.count(), 1);
}

void TestFtpService::destructionWithARequestInFlightEndsTheWorker()
{
    // A server that accepts and then stays silent holds the first request in flight for as long
    // as the test wants.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    const auto server = FtpServer::started();
    QVERIFY(server);
    QVERIFY(server->writeFile("small.txt", "small"));
    const int threadsBefore = threadCount();

    int calls = 0;
    {
        FtpService service;
        logIn(service, *server);
        QCOMPARE(threadCount(), threadsBefore + 1);
        service.downloadFile(
            QStringLiteral("ftp://127.0.0.1:%1/stalled.bin").arg(silent.serverPort()),
            [&](const QByteArray &) { ++calls; });
        service.downloadFile(server->url("ftp", "small.txt"), [&](const QByteArray &) { ++calls; });
        service.listDirectory(
            server->url("ftp", "/"), [&](const QList<FtpFileInfo> &) { ++calls; });
        QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 10000);
    }
    // Hanging up ends the transfer; the worker then goes and its thread ends.
    std::unique_ptr<QTcpSocket> connection(silent.nextPendingConnection());
    QVERIFY(connection);
    connection->abort();
    QTRY_COMPARE_WITH_TIMEOUT(threadCount(), threadsBefore, 20000);
    QCoreApplication::processEvents();
    QCOMPARE(calls, 0);
    // The jobs behind it were never sent.
    QCOMPARE(server->connectionCount(), 0);
}

void TestFtpService::hostReturningFromMainExitsCleanly_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("small file") << "small.txt";
    QTest::newRow("large file") << "large.bin";
    QTest::newRow("missing file") << "missing.txt";
}

void TestFtpService::hostReturningFromMainExitsCleanly()
{
    QFETCH(QString, file);
    const auto server = FtpServer::started();
    QVERIFY(server);
    QVERIFY(server->writeFile("small.txt", "small"));
    QVERIFY(server->writeFile("large.bin", FtpServer::testData(64 * 1024 * 1024)));
    QVERIFY(server->makeDirectory("empty"));

    QProcess host;
    host.start(QStringLiteral(ZENDRA_HOST_PROGRAM), {server->url("ftp", file)});
    QVERIFY2(host.waitForFinished(60000), qPrintable(host.errorString()));
    const QByteArray errors = host.readAllStandardError();
    const QByteArray output = host.readAllStandardOutput();
    QVERIFY2(host.exitStatus() == QProcess::NormalExit, errors.constData());
    QVERIFY2(host.exitCode() == 0, errors.constData());
    QVERIFY2(
        !errors.contains("QThread: Destroyed while thread is still running"), errors.constData());
    // The service went before any answer could reach it.
    QVERIFY2(!output.contains("callback"), output.constData());
}

QTEST_GUILESS_MAIN(TestFtpService)
#include "tst_ftpservice.moc"
